#!/usr/bin/python3
"""Accepted submissions per second over HTTP and through CORBA, in the same
run, against one kstd with the SQLite store (no SMSC listens, so the
messages only queue; Limits/MaxQueued is raised so that none is refused).

1. HTTP: 4 keep-alive connections, POST /v1/messages (one destination,
   one part) for --seconds; every answer must be 202. The load comes from
   bench/httpload (one thread per connection), or with --client wrk from
   wrk -t4 with http_post.lua.
2. CORBA: kstbench rate, 4 client threads, SendSms for --seconds.
3. Latency: the same client paced at about half the HTTP rate (each connection waits
   1 ms after every answer, the number of connections sets the rate); p50
   and p99 of the accept latency (request sent to 202 received).

    bench/bench_http.py [--build DIR] [--store normal|full] [--seconds 10] [--repeat 3] [--perf FILE] [--client httpload|wrk]
"""

import os
import re
import subprocess

import benchlib

KEY = "bench-key"


def options(parser):
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3, help="interleaved runs of each (median)")
    parser.add_argument("--perf", metavar="FILE", help="record kstd with perf during the first HTTP run")
    parser.add_argument("--client", choices=("httpload", "wrk"), default="httpload",
                        help="load generator: bench/httpload (default) or wrk with http_post.lua")


def load(args, port, seconds, delay_ms=None, connections=4):
    if args.client == "wrk":
        return wrk(port, seconds, delay_ms, connections)
    result = benchlib.httpload(args.build, port, seconds, "POST", "/v1/messages",
                               body='{"to": "+420{to}", "text": "benchmark message {n}"}',
                               headers=("Authorization: Bearer " + KEY, "Content-Type: application/json"),
                               connections=connections, delay_ms=delay_ms or 0)
    if result["not_accepted"] or result["errors_socket"]:
        raise RuntimeError("%d answers were not 202, %d socket errors" % (result["not_accepted"],
                                                                           result["errors_socket"]))
    result["rate"] = result["requests"] / result["seconds"]
    return result


def wrk(port, seconds, delay_ms=None, connections=4):
    env = dict(os.environ)
    env["KST_API_KEY"] = KEY
    if delay_ms is not None:
        env["KST_DELAY_MS"] = "%g" % delay_ms
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "http_post.lua")
    done = subprocess.run(["wrk", "-t%d" % min(4, connections), "-c%d" % connections, "-d%ds" % seconds, "--timeout", "10s", "-s", script,
                           "http://127.0.0.1:%d/v1/messages" % port], capture_output=True, text=True, env=env,
                          timeout=seconds + 60)
    match = re.search(r"^RESULT (.*)$", done.stdout, re.M)
    if done.returncode != 0 or not match:
        raise RuntimeError("wrk failed (%d): %s%s" % (done.returncode, done.stdout, done.stderr))
    result = benchlib.parse_pairs(match.group(1))
    if result["errors_status"]:
        raise RuntimeError("%d answers were not 202" % result["errors_status"])
    result["rate"] = result["requests"] / result["seconds"]
    return result


def main():
    args = benchlib.parse_args(__doc__, options)
    if args.store == "memory":
        raise SystemExit("the HTTP interface needs the SQLite store")
    import statistics

    import kst
    benchlib.header("HTTP and CORBA submissions")
    port = kst.free_port()
    print("store: sqlite, sync %s" % args.store)

    def ini(sandbox):
        section, _ = kst.http_section(sandbox, keys=(KEY,), port=port)
        return benchlib.nowhere_ini(sandbox) + benchlib.store_section(args.store) + \
            "[Limits]\nMaxQueued = 100000000\n" + section

    daemon = benchlib.Daemon("bench-http", ini)
    try:
        http_rates, corba_rates = [], []
        for run in range(args.repeat):
            recorder = benchlib.perf_record(daemon.pid, args.perf) if args.perf and run == 0 else None
            before = benchlib.cpu_seconds(daemon.pid)
            result = load(args, port, args.seconds)
            after = benchlib.cpu_seconds(daemon.pid)
            if recorder:
                benchlib.perf_stop(recorder)
            http_rates.append(result["rate"])
            print("run %d: HTTP  %d accepted/s (kstd CPU %.1f us per request)" % (
                run + 1, result["rate"], 1e6 * (sum(after) - sum(before)) / result["requests"]), flush=True)
            before = benchlib.cpu_seconds(daemon.pid)
            line = benchlib.run_client(args.build, ["rate", daemon.ior_path, 4, args.seconds])
            after = benchlib.cpu_seconds(daemon.pid)
            corba_rates.append(line["rate"])
            print("run %d: CORBA %d accepted/s (kstd CPU %.1f us per call)" % (
                run + 1, line["rate"], 1e6 * (sum(after) - sum(before)) / line["calls"]), flush=True)
        http = statistics.median(http_rates)
        corba = statistics.median(corba_rates)
        print()
        print("HTTP, 4 keep-alive connections: %d accepted/s (target >= 10000)" % http)
        print("CORBA SendSms, 4 client threads: %d accepted/s" % corba)

        # Half the rate: the pause between requests is whole milliseconds,
        # so every connection waits 1 ms after each answer and the number of
        # connections sets the rate (one request takes about 0.3 ms more).
        connections = max(1, int(round(http / 2 * 1.3 / 1000.0)))
        paced = load(args, port, args.seconds, delay_ms=1, connections=connections)
        print("paced with %d connections" % connections)
        print("paced at %d requests/s (target %d): p50 %.2f ms, p99 %.2f ms, max %.2f ms (target p99 < 5 ms)" % (
            paced["rate"], http / 2, paced["p50_us"] / 1000.0, paced["p99_us"] / 1000.0, paced["max_us"] / 1000.0))
        print("machine after: %s" % benchlib.machine())
    finally:
        daemon.stop()


if __name__ == "__main__":
    main()
