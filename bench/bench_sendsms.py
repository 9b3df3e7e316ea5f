#!/usr/bin/python3
"""SendSms calls per second with 1 and 4 client threads: against the real
kstd (a daemon, console on /dev/null, no sender connected, so every call
only queues) and against kstbench's servant that does nothing, which is the
ORB's own cost of a call. The runs alternate between the two servers and
are repeated; the median of each is reported.

    bench/bench_sendsms.py [--build DIR] [--seconds 3] [--repeat 3]
"""

import os
import statistics
import subprocess

import benchlib


def options(parser):
    parser.add_argument("--seconds", type=float, default=3.0, help="length of one run")
    parser.add_argument("--repeat", type=int, default=3, help="runs per server and thread count")
    parser.add_argument("--quiet-console", action="store_true",
                        help="also run a kstd whose console output is dropped before it is formatted "
                             "(LD_PRELOAD quiet_console.so): what the trace costs")
    parser.add_argument("--perf", metavar="FILE",
                        help="record a server with perf (cpu-clock, call graphs) during its last 4-thread run")
    parser.add_argument("--perf-target", default="kstd", choices=("kstd", "quiet", "null"),
                        help="the server --perf records (default kstd)")
    parser.add_argument("--orb", metavar="NAME=VALUE", action="append", default=[],
                        help="an ORB option for kstd (the variable ORB<NAME> in its environment); repeatable")


def main():
    args = benchlib.parse_args(__doc__, options)
    import kst
    benchlib.header("SendSms rate")

    print("store: %s" % args.store)
    orb_env = {"ORB" + name: value for name, _, value in (option.partition("=") for option in args.orb)}
    if orb_env:
        print("kstd's ORB options: %s" % " ".join("%s=%s" % item for item in sorted(orb_env.items())))
    daemon = benchlib.Daemon("bench-sendsms", benchlib.with_store(benchlib.nowhere_ini, args.store), env=orb_env)
    quiet = None
    if args.quiet_console:
        shim = os.path.join(args.build, "bench", "quiet_console.so")
        quiet = benchlib.Daemon("bench-sendsms-quiet", benchlib.nowhere_ini, env={"LD_PRELOAD": shim})
    null_ior = os.path.join(daemon.sandbox.root, "null.ior")
    env = dict(os.environ)
    env.update(kst.ORB_ENV)
    null = subprocess.Popen([benchlib.kstbench(args.build), "null-server", null_ior], env=env,
                            stdin=subprocess.DEVNULL)
    try:
        kst.wait_until(lambda: os.path.exists(null_ior), 20, what="the null servant's IOR")
        targets = {"kstd": daemon.ior_path, "null": null_ior}
        pids = {"kstd": daemon.pid, "null": null.pid}
        if quiet:
            targets["quiet"] = quiet.ior_path
            pids["quiet"] = quiet.pid
        results = {(name, threads): [] for name in targets for threads in (1, 4)}
        cpu = {name: [0.0, 0.0] for name in targets}
        for run in range(args.repeat):
            for threads in (1, 4):
                for name, ior in targets.items():
                    profile = (args.perf and name == args.perf_target and threads == 4 and run == args.repeat - 1)
                    recorder = benchlib.perf_record(pids[name], args.perf) if profile else None
                    before = benchlib.cpu_seconds(pids[name])
                    line = benchlib.run_client(args.build, ["rate", ior, threads, args.seconds])
                    after = benchlib.cpu_seconds(pids[name])
                    if recorder:
                        benchlib.perf_stop(recorder)
                    cpu[name][0] += after[0] - before[0]
                    cpu[name][1] += after[1] - before[1]
                    cpu[name].append(line["calls"])
                    results[(name, threads)].append(line["rate"])
                    print("run %d: %-5s threads=%d calls/s=%d" % (run + 1, name, threads, line["rate"]),
                          flush=True)
        print()
        for threads in (1, 4):
            kstd = statistics.median(results[("kstd", threads)])
            empty = statistics.median(results[("null", threads)])
            print("threads=%d kstd=%d calls/s null servant=%d calls/s kstd/null=%.0f%% (target >= 70%%)"
                  % (threads, kstd, empty, 100.0 * kstd / empty))
            if quiet:
                silent = statistics.median(results[("quiet", threads)])
                print("threads=%d kstd without console trace=%d calls/s quiet/null=%.0f%%"
                      % (threads, silent, 100.0 * silent / empty))
        for name in targets:
            calls = sum(cpu[name][2:])
            print("server CPU per call, %s: %.1f us user + %.1f us system"
                  % (name, 1e6 * cpu[name][0] / calls, 1e6 * cpu[name][1] / calls))
        rss, _ = benchlib.rss_kb(daemon.pid)
        print("kstd queued %d messages meanwhile (RSS %d MB)" % (sum(cpu["kstd"][2:]), rss // 1024))
        print("machine after: %s" % benchlib.machine())
    finally:
        null.terminate()
        null.wait(20)
        daemon.stop()
        if quiet:
            quiet.stop()


if __name__ == "__main__":
    main()
