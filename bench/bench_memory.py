#!/usr/bin/python3
"""Memory with a long queue: kstd (a daemon, console on /dev/null) with no
connected sender gets --messages messages of 160 characters (default
1,000,000; SendSms calls of 1,000 destinations each); its resident size is
read from /proc before and after, and getStats round trips are timed with
the empty and with the full queue. With a file store (--store normal or
full) the daemon is then restarted and the time until it is ready is taken;
then it is restarted once more with the SMSC simulator to send to, and the
time from the start of the process to the first submission the simulator
receives is taken. The daemon runs with the benchmarks' short manager cycle
(300 ms) and reconnection pause (100 ms); with its own (a 5-second pause
before the first connection, activation one 10-second cycle later) the
first submission comes about 15 s after the start, whatever the store.

    bench/bench_memory.py [--build DIR] [--messages 1000000]
"""

import benchlib


def options(parser):
    parser.add_argument("--messages", type=int, default=1000000)
    parser.add_argument("--per-call", type=int, default=1000, help="destinations per SendSms call")
    parser.add_argument("--stats-calls", type=int, default=200)


def first_submission(daemon, queued, store):
    """Restarts the daemon with the simulator to send to; prints the time
    from the start to the first submission."""
    from smscsim import SmscSim
    sim = SmscSim(password="tajne")
    try:
        start, ready = daemon.restart(benchlib.with_store(benchlib.emi_ini(sim.ucp_port, "tajne"), store))
        first = sim.wait_for(lambda: sim.submissions()[:1], 60, interval=0.01, what="the first submission")[0]
        # The text begins with the number of the SendSms call that queued it.
        print("restart with %d queued: first submission %.2f s after the start (ready after %.2f s; "
              "target < 5 s), a message of SendSms call %s" % (queued, first["t"] - start, ready,
                                                              int(first["text"][1:9])))
    finally:
        daemon.terminate()
        sim.cleanup()


def main():
    args = benchlib.parse_args(__doc__, options)
    benchlib.header("Memory with a long queue")
    print("store: %s" % args.store)
    daemon = benchlib.Daemon("bench-memory", benchlib.with_store(benchlib.nowhere_ini, args.store))
    try:
        empty = benchlib.run_client(args.build, ["stats", daemon.ior_path, args.stats_calls])
        rss_before, _ = benchlib.rss_kb(daemon.pid)
        calls = args.messages // args.per_call
        fill = benchlib.run_client(args.build, ["send", daemon.ior_path, "--count", calls, "--threads", 2,
                                                "--numbers", args.per_call, "--length", 160, "--prefix", "M"])
        full = benchlib.run_client(args.build, ["stats", daemon.ior_path, args.stats_calls])
        queued = full["queue"]
        rss_after, peak = benchlib.rss_kb(daemon.pid)
        print("queued %d messages of 160 characters in %.1f s (%d SendSms calls of %d destinations)"
              % (queued, fill["seconds"], calls, args.per_call))
        print("resident size: %.1f MB empty, %.1f MB with the queue (peak %.1f MB), %.0f bytes per message "
              "(target < 500 MB)" % (rss_before / 1024, rss_after / 1024, peak / 1024,
                                     (rss_after - rss_before) * 1024.0 / max(1, queued)))
        for name, line in (("empty queue", empty), ("%d queued" % queued, full)):
            print("getStats round trip, %s: p50 %.3f ms, p99 %.3f ms, max %.3f ms (%d calls; target < 10 ms)"
                  % (name, line["p50_ms"], line["p99_ms"], line["max_ms"], line["calls"]))
        if queued != args.messages:
            print("WARNING: the queue holds %d messages, %d were sent" % (queued, args.messages))
        if args.store != "memory":
            _, seconds = daemon.restart()
            again = benchlib.run_client(args.build, ["stats", daemon.ior_path, args.stats_calls])
            rss_restarted, _ = benchlib.rss_kb(daemon.pid)
            print("restart with %d queued: ready (IOR file written) %.2f s after the start, queue %d, "
                  "resident size %.1f MB" % (queued, seconds, again["queue"], rss_restarted / 1024))
            first_submission(daemon, queued, args.store)
        print("machine after: %s" % benchlib.machine())
    finally:
        daemon.stop()


if __name__ == "__main__":
    main()
