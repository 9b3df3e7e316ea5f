#!/usr/bin/python3
"""Soak: steady traffic through kstd (a daemon with its own timing: 10 s
manager cycle, 5 s reconnection pause) to the SMSC simulator for --duration
seconds (default one hour), while the simulator drops the connection every
--drop-every seconds (alternately closing every connection at once and
closing one at the next frame it receives, unanswered) and the SMTP server refuses some of the confirmation
e-mails that delivery notifications cause.

At the end every message must have reached the simulator (no loss), the
daemon must have counted exactly one acknowledgement per message (so it
never submitted again a message it knew acknowledged), no message may have
been submitted again after the simulator had acknowledged it a second or
more before the connection closed, and the daemon's resident size must not
have grown between the first and the last tenth of the run. Exits with
status 1 if any of that fails.

    bench/soak.py [--build DIR] [--duration 3600] [--rate 20] [--drop-every 180]
"""

import collections
import statistics
import subprocess
import sys
import time

import benchlib


def options(parser):
    parser.add_argument("--duration", type=float, default=3600.0, help="seconds of traffic")
    parser.add_argument("--rate", type=float, default=20.0, help="messages per second")
    parser.add_argument("--drop-every", type=float, default=None,
                        help="seconds between connection drops (default: 180, or a quarter of a short run)")
    parser.add_argument("--mail-every", type=int, default=20, help="every Nth message asks for a confirmation")
    parser.add_argument("--refuse-every", type=int, default=500,
                        help="every Mth confirmation goes to an address the SMTP server refuses")
    parser.add_argument("--growth-limit-mb", type=float, default=2.0,
                        help="largest accepted growth of the resident size")


class Traffic:
    """The simulator's log as submissions with their results and the times
    the connections closed."""

    def __init__(self, sim, prefix):
        self.by_text = collections.defaultdict(list)
        pending = {}
        self.closed = {}
        for record in sim.records():
            if record.get("event") == "close":
                self.closed[record["conn"]] = record["t"]
            if "trn" not in record or record.get("bad"):
                continue
            ot = int(record["ot"])
            if record["dir"] == "in" and record["or"] == "O" and ot == 51:
                from smscsim import _decode_frame
                frame = _decode_frame(record)
                text = frame.get("text", "")
                if not text.startswith(prefix):
                    continue
                entry = {"conn": record["conn"], "t": record["t"], "result": None, "result_t": None}
                self.by_text[text].append(entry)
                pending[(record["conn"], int(record["trn"]))] = entry
            elif record["dir"] == "out" and record["or"] == "R" and ot == 51:
                entry = pending.pop((record["conn"], int(record["trn"])), None)
                if entry is not None:
                    entry["result"] = record["fields"][0]
                    entry["result_t"] = record["t"]


def main():
    args = benchlib.parse_args(__doc__, options)
    if args.drop_every is None:
        args.drop_every = 180.0 if args.duration >= 1200 else max(20.0, args.duration / 4)
    import kst
    from smscsim import SmscSim
    from smtpserver import SmtpServer
    benchlib.header("Soak: %.0f s at %.0f messages/s, connection dropped every %.0f s"
                    % (args.duration, args.rate, args.drop_every))

    sim = SmscSim(password="tajne", settings={"notify": "on", "notify_status": "0"})
    smtp = SmtpServer(refuse_prefix="refuse")
    extra = "[SMTP]\nServerHost = 127.0.0.1\nServerPort = %d\nFrom = kstd@bench.test\n" % smtp.port
    daemon = None
    client = None
    failures = []
    try:
        # The daemon's own timing: no test seams.
        daemon = benchlib.Daemon("bench-soak", benchlib.emi_ini(sim.ucp_port, "tajne", window=96,
                                                                throughput=1000, extra=extra), fast=False)
        sim.wait_for(lambda: sim.logins(), 60, what="the daemon's login")
        count = int(args.duration * args.rate)
        prefix = "S"
        client = subprocess.Popen(
            [benchlib.kstbench(args.build), "send", daemon.ior_path, "--count", str(count), "--rate",
             str(args.rate), "--prefix", prefix, "--mail-every", str(args.mail_every), "--refuse-every",
             str(args.refuse_every)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        start = time.monotonic()
        samples = []  # (seconds, RSS kB)
        drops = 0
        next_drop = start + args.drop_every
        next_sample = start
        while client.poll() is None:
            now = time.monotonic()
            if now >= next_sample:
                samples.append((now - start, benchlib.rss_kb(daemon.pid)[0]))
                next_sample += max(5.0, args.duration / 120)
            if now >= next_drop:
                # Alternately: every connection closed at once, and the
                # connection closed at the next frame it receives, leaving
                # that frame unanswered.
                if drops % 2 == 0:
                    dropped = sim.drop()
                    print("%6.0f s: connection dropped (%d)" % (now - start, dropped), flush=True)
                else:
                    sim.set_mode(close_after=1)
                    print("%6.0f s: connection to be closed at its next frame" % (now - start), flush=True)
                drops += 1
                next_drop += args.drop_every
            time.sleep(0.2)
        out, err = client.communicate()
        calls = benchlib.parse_pairs(out.strip().splitlines()[-1]) if out.strip() else {}
        if client.returncode != 0:
            failures.append("the client failed: %s" % err.strip())
        samples.append((time.monotonic() - start, benchlib.rss_kb(daemon.pid)[0]))

        # Everything queued reaches the simulator; the reconnection after the
        # last drop may take a manager cycle and a pause.
        def all_there():
            return len(Traffic(sim, prefix).by_text) >= count
        try:
            kst.wait_until(all_there, 120, interval=1.0, what="every message at the simulator")
        except AssertionError as e:
            failures.append(str(e))
        time.sleep(2)  # the last acknowledgements
        stats = benchlib.run_client(args.build, ["stats", daemon.ior_path, 1])
        traffic = Traffic(sim, prefix)

        lost = count - len(traffic.by_text)
        resubmitted = {t: e for t, e in traffic.by_text.items() if len(e) > 1}
        after_ack = []
        for text, entries in resubmitted.items():
            entries.sort(key=lambda e: e["t"])
            for earlier in entries[:-1]:
                closed = traffic.closed.get(earlier["conn"])
                if earlier["result"] == "A" and (closed is None or closed - earlier["result_t"] >= 1.0):
                    after_ack.append(text)
        acks = sum(1 for entries in traffic.by_text.values() for e in entries if e["result"] == "A")
        print()
        print("messages: %d sent by the client (%d calls failed), %d reached the simulator, %d lost"
              % (count, calls.get("failures", 0), len(traffic.by_text), lost))
        print("submitted more than once: %d messages (their earlier copy unacknowledged, or acknowledged by "
              "the simulator just before the connection closed)" % len(resubmitted))
        print("submitted again although acknowledged a second or more before the close: %d" % len(after_ack))
        print("acknowledgements: %d sent by the simulator, %d counted by the daemon (sent), queue %d"
              % (acks, stats["sent"], stats["queue"]))
        print("connections closed by the simulator: %d, logins: %d, protocol violations: %d"
              % (drops, len(sim.logins()), len(sim.violations())))
        # The warm-up-free run: everything the daemon counted is ours.
        if lost:
            failures.append("%d messages lost" % lost)
        if after_ack:
            failures.append("%d acknowledged messages submitted again: %s" % (len(after_ack), after_ack[:5]))
        if stats["sent"] != count:
            failures.append("the daemon counted %d acknowledgements for %d messages" % (stats["sent"], count))
        if sim.violations():
            failures.append("protocol violations at the simulator")

        confirmations = count // args.mail_every + (1 if count % args.mail_every else 0)
        refused = len([i for i in range(0, count, args.mail_every)
                       if (i // args.mail_every + 1) % args.refuse_every == 0])
        mails = len(smtp.messages())
        rcpts = smtp.rcpt_log()
        print("confirmations: %d asked for, %d to refused addresses; mails delivered %d, daemon counted %d, "
              "refused RCPTs %d (a permanent refusal is not tried again)"
              % (confirmations, refused, mails, stats["confirmations"],
                 sum(1 for r in rcpts if r.startswith("refuse"))))

        tenth = max(1, len(samples) // 10)
        early = statistics.median(kb for _, kb in samples[tenth:2 * tenth] or samples[:1])
        late = statistics.median(kb for _, kb in samples[-tenth:])
        print("resident size: %s" % ", ".join("%.0f s %.1f MB" % (t, kb / 1024)
                                              for t, kb in samples[::max(1, len(samples) // 12)]))
        print("resident size early %.1f MB, late %.1f MB, growth %.2f MB (limit %.1f MB)"
              % (early / 1024, late / 1024, (late - early) / 1024, args.growth_limit_mb))
        if (late - early) / 1024 > args.growth_limit_mb:
            failures.append("resident size grew by %.2f MB" % ((late - early) / 1024))
        print("machine after: %s" % benchlib.machine())
    finally:
        if client and client.poll() is None:
            client.kill()
            client.wait()
        if daemon:
            daemon.stop()
        smtp.cleanup()
        sim.cleanup()
    if failures:
        print("SOAK FAILED: " + "; ".join(failures))
        sys.exit(1)
    print("soak passed")


if __name__ == "__main__":
    main()
