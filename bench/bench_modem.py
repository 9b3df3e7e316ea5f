#!/usr/bin/python3
"""Sending through the modem: kstd (real, in its sandbox, the pty shim
preloaded as in the tests) against the modem emulator (tools/modememu).

Prints two figures:
- messages per minute with a full queue: COUNT messages queued in one
  request, measured at the emulator from the first accepted message to the
  last;
- how long a modem that stops answering in the middle of a send blocks
  sending: from the emulator's receipt of AT+CMGS to the daemon releasing
  the line.

Run it once per build tree to compare builds (--build DIR); a build needs
kstd, kstsend and the pty shim. No test asserts these figures.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.environ.get("KST_BUILD_DIR", os.path.join(SOURCE_DIR, "build")),
                        help="the build tree (default: %(default)s)")
    parser.add_argument("--count", type=int, default=20, help="messages in the full queue (default 20)")
    parser.add_argument("--incoming", type=int, default=5,
                        help="messages delivered to the modem while the queue is full (default 5)")
    parser.add_argument("--no-hang", action="store_true", help="skip the hung modem")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    os.environ["KST_BUILD_DIR"] = args.build
    os.environ["KST_SOURCE_DIR"] = SOURCE_DIR
    sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "harness"))
    sys.path.insert(0, HERE)
    import benchlib
    import kst
    import modememu
    from modememu import ModemEmu

    for program in ("src/kstd", "tools/kstsend/kstsend", "tools/ptyshim/libkstptyshim.so"):
        if not os.path.exists(os.path.join(args.build, program)):
            sys.exit("%s is not built in %s" % (program, args.build))

    benchlib.header("Sending through the modem emulator (%s)" % args.build)
    sandbox = kst.Sandbox("bench-modem")
    modem = ModemEmu(os.path.join(sandbox.root, "modem")).start()
    kstd = None
    try:
        me = {"Device": modem.device, "BaudRate": "", "ReceiveAllSms": "0"}
        sandbox.write_ini(kst.basic_ini(sandbox, me=me))
        environment = modememu.preload_env()
        environment["KSTD_TEST_MANAGER_CYCLE_MS"] = "300"
        environment["KSTD_TEST_RECONNECT_PAUSE_MS"] = "100"
        kstd = sandbox.start_kstd(env=environment)
        sandbox.wait_ior(30)
        kst.wait_until(lambda: modem.status()["cnmi"] == [2, 1, 0, 2, 1], 30, what="the modem sender ready")
        time.sleep(1)

        since = modem.last_seq()
        for first in range(0, args.count, 500):  # a request names at most 1000 numbers
            numbers = ",".join("+42060%07d" % i for i in range(first, min(args.count, first + 500)))
            result = sandbox.run_inside([kst.binary("kstsend"), numbers, "Full queue"])
            if result.returncode != 0:
                sys.exit("kstsend failed: %s" % result.stderr)
        # Messages that arrive while the queue is full: the daemon must read
        # them between its sends, not after the queue is empty.
        delivered = []
        deadline = time.monotonic() + 30
        while len(delivered) < args.incoming and time.monotonic() < deadline:
            if len(modem.events("sms-submit", since)) >= args.count:
                break
            if modem.events("sms-submit", since):
                delivered.append(modem.deliver("+420777%06d" % len(delivered), "Incoming %d" % len(delivered)))
                time.sleep(0.05)
            else:
                time.sleep(0.01)
        budget = 30 + args.count * 10
        submits = kst.wait_until(
            lambda: (lambda found: found if len(found) >= args.count else None)(modem.events("sms-submit", since)),
            budget, what="%d messages at the modem" % args.count)
        times = [record["t"] for record in submits[:args.count]]
        span = times[-1] - times[0]
        per_minute = (args.count - 1) / span * 60 if span > 0 else float("inf")
        print("full queue: %d messages in %.2f s from the first to the last: %.1f messages/min "
              "(%.3f s per message)" % (args.count, span, per_minute, span / max(1, args.count - 1)))
        if delivered:
            kst.wait_until(lambda: len([r for r in modem.log(since) if r["dir"] == "rx"
                                        and r["text"].startswith("AT+CMGR=")]) >= len(delivered),
                           30, what="the incoming messages read")
            log = modem.log(since)
            urcs = [r for r in log if r["dir"] == "urc" and r["text"].startswith("+CMTI:")]
            reads = [r for r in log if r["dir"] == "rx" and r["text"].startswith("AT+CMGR=")]
            latencies = [read["t"] - urc["t"] for urc, read in zip(urcs, reads)]
            during = len([read for read in reads if read["t"] < times[-1]])
            print("incoming while sending: %d messages, read %.3f-%.3f s after their indication, "
                  "%d of them before the last queued message went" % (len(delivered), min(latencies),
                                                                       max(latencies), during))
        sys.stdout.flush()

        if not args.no_hang:
            modem.fault("silent", "on")
            since = modem.last_seq()
            result = sandbox.run_inside([kst.binary("kstsend"), "+420609999999", "Into silence"])
            if result.returncode != 0:
                sys.exit("kstsend failed: %s" % result.stderr)
            command = modem.wait_for(lambda r: r["dir"] == "rx" and r["text"].startswith("AT+CMGS="),
                                     timeout=30, since=since)
            released = modem.wait_for(lambda r: r["dir"] == "event" and r["name"] == "close",
                                      timeout=180, since=command["n"])
            print("hung modem: sending blocked %.1f s (AT+CMGS unanswered until the line was released)"
                  % (released["t"] - command["t"]))
            modem.fault("silent", "off")
    finally:
        if kstd is not None:
            kstd.stop(timeout=90)
        modem.stop()
        sandbox.close()
    print("machine after: %s" % benchlib.machine())


if __name__ == "__main__":
    main()
