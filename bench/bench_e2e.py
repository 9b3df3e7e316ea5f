#!/usr/bin/python3
"""End to end through the SMSC sender: kstd (a daemon, console on
/dev/null) submits to the SMSC simulator, which answers every submission at
once (EMI/WindowSize 96, EMI/Throughput 100000).

1. Throughput: --count messages (default 20,000) from SendSms calls (two
   client threads) to submissions at the simulator; messages per second
   from the first call to the last submission. The CPU time of the daemon
   and of the simulator over that span tells which one was the bottleneck.
2. Latency at a light steady load: --latency-count messages at --latency-rate
   per second (default 2,000 at 100/s); for each, the time from the return
   of its SendSms call (and from the call's start) to its submission at the
   simulator (the simulator's log time): p50, p99 and maximum.

    bench/bench_e2e.py [--build DIR] [--count 20000] [--latency-count 2000]
"""

import os

import benchlib


def options(parser):
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--threads", type=int, default=2, help="client threads of the throughput run")
    parser.add_argument("--latency-count", type=int, default=2000)
    parser.add_argument("--latency-rate", type=float, default=100.0)
    parser.add_argument("--perf", metavar="FILE", help="record kstd with perf during the throughput run")
    parser.add_argument("--manager-cycle-ms", type=int, default=None,
                        help="shorten the sender manager's cycle (test seam; default: the daemon's own 10 s)")
    parser.add_argument("--quiet-console", action="store_true",
                        help="run kstd with its console output dropped before formatting "
                             "(LD_PRELOAD quiet_console.so)")


def submissions_by_text(sim, prefix):
    """{text: [log time, ...]} of the submissions whose text starts with prefix."""
    out = {}
    for frame in sim.submissions():
        text = frame.get("text", "")
        if text.startswith(prefix):
            out.setdefault(text, []).append(frame["t"])
    return out


def main():
    args = benchlib.parse_args(__doc__, options)
    from smscsim import SmscSim
    benchlib.header("End to end through the SMSC sender")

    sim = SmscSim(password="tajne")
    # The reconnection pause is shortened so that the first connection comes
    # at once; the manager keeps its own cycle unless asked.
    env = {"KSTD_TEST_MANAGER_CYCLE_MS": str(args.manager_cycle_ms) if args.manager_cycle_ms else ""}
    if args.quiet_console:
        env["LD_PRELOAD"] = os.path.join(args.build, "bench", "quiet_console.so")
    daemon = None
    try:
        daemon = benchlib.Daemon("bench-e2e", benchlib.with_store(benchlib.emi_ini(sim.ucp_port, "tajne"), args.store),
                                 env=env)
        sim.wait_for(lambda: sim.logins(), 30, what="the daemon's login")
        print("manager cycle: %s" % ("%d ms (test seam)" % args.manager_cycle_ms if args.manager_cycle_ms
                                     else "the daemon's own"))
        # A first message proves the sender active before the clock starts.
        benchlib.run_client(args.build, ["send", daemon.ior_path, "--count", 1, "--prefix", "warm"])
        sim.wait_for(lambda: submissions_by_text(sim, "warm"), 30, what="the warm-up submission")

        # Throughput.
        prefix = "T"
        recorder = benchlib.perf_record(daemon.pid, args.perf) if args.perf else None
        daemon_cpu = benchlib.cpu_seconds(daemon.pid)
        sim_cpu = benchlib.cpu_seconds(sim.process.pid)
        calls = benchlib.run_client(args.build, ["send", daemon.ior_path, "--count", args.count,
                                                 "--threads", args.threads, "--prefix", prefix])
        sim.wait_for(lambda: sim.counts()["submits"] >= args.count + 1, 600, interval=0.2,
                     what="%d submissions" % args.count)
        daemon_cpu = [b - a for a, b in zip(daemon_cpu, benchlib.cpu_seconds(daemon.pid))]
        sim_cpu = [b - a for a, b in zip(sim_cpu, benchlib.cpu_seconds(sim.process.pid))]
        if recorder:
            benchlib.perf_stop(recorder)
        subs = submissions_by_text(sim, prefix)
        missing = args.count - len(subs)
        duplicates = sum(len(times) - 1 for times in subs.values())
        first = calls["first_call_ns"] / 1e9
        last = max(max(times) for times in subs.values())
        span = last - first
        print("throughput: %d messages, first SendSms to last submission %.2f s = %.0f messages/s "
              "(target >= 10000)" % (args.count, span, args.count / span))
        print("  SendSms calls alone: %.2f s = %.0f calls/s (%d client threads)"
              % (calls["seconds"], calls["rate"], args.threads))
        print("  CPU over the span: kstd %.2f s user + %.2f s system, simulator %.2f s user + %.2f s system"
              % (daemon_cpu[0], daemon_cpu[1], sim_cpu[0], sim_cpu[1]))
        print("  simulator busy %.0f%% of the span, kstd %.0f%% (of one core)"
              % (100 * sum(sim_cpu) / span, 100 * sum(daemon_cpu) / span))
        print("  missing %d, submitted twice %d, protocol violations %d"
              % (missing, duplicates, len(sim.violations())))
        times = sorted([first] + [t for ts in subs.values() for t in ts])
        gaps = sorted(((b - a, a - first) for a, b in zip(times, times[1:])), reverse=True)
        print("  CPU per message: kstd %.0f us (at most %.0f messages/s on one core)"
              % (1e6 * sum(daemon_cpu) / args.count, args.count / sum(daemon_cpu)))
        print("  longest pauses between submissions: %s"
              % ", ".join("%.3f s at %.1f s" % gap for gap in gaps[:3]))

        # Latency at a steady light load.
        prefix = "L"
        times_path = os.path.join(daemon.sandbox.root, "latency.times")
        benchlib.run_client(args.build, ["send", daemon.ior_path, "--count", args.latency_count,
                                         "--rate", args.latency_rate, "--prefix", prefix,
                                         "--times", times_path])
        sim.wait_for(lambda: len(submissions_by_text(sim, prefix)) >= args.latency_count, 120,
                     what="the latency run's submissions")
        subs = submissions_by_text(sim, prefix)
        from_return, from_call = [], []
        with open(times_path) as f:
            for line in f:
                index, called, returned = (int(x) for x in line.split())
                text = "%s%08d" % (prefix, index)
                if returned and text in subs:
                    submitted = min(subs[text])
                    from_return.append((submitted - returned / 1e9) * 1000)
                    from_call.append((submitted - called / 1e9) * 1000)
        print("latency at %.0f messages/s, %d messages:" % (args.latency_rate, len(from_return)))
        for name, values in (("SendSms return -> submission", from_return),
                             ("SendSms call -> submission", from_call)):
            print("  %s: p50 %.3f ms, p99 %.3f ms, max %.3f ms%s"
                  % (name, benchlib.percentile(values, 0.5), benchlib.percentile(values, 0.99), max(values),
                     " (target p50 < 2 ms)" if "return" in name else ""))
        early = sum(1 for v in from_return if v < 0)
        if early:
            print("  %d submissions reached the simulator before their SendSms call had returned" % early)
        sim.assert_no_violations()
        print("machine after: %s" % benchlib.machine())
    finally:
        if daemon:
            daemon.stop()
        sim.cleanup()


if __name__ == "__main__":
    main()
