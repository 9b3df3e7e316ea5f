"""The SMSC sender in the real kstd when things go wrong or get crowded: a
burst cut by the SMSC closing the connection, a queue much longer than the
window, a queue held back by the throughput limit, refusals of each class
(final, "try later" up to the limit, "try later" then accepted), a
connection dropped between result and notification, a window of 0, a
throughput that is not a positive number, numbers that would break a frame,
broken frames from the SMSC, the stop with results on their way and with
unanswered submissions, and two messages sharing one notification key.
Every message must arrive, none twice once the SMSC has acknowledged it, and
a full window or a spent second must not cost the connection."""

import collections
import time

from emisender_support import KSTSEND, EmiDaemonTestCase, fields_of, log_records, main, records_titled
from wirecapture import WireCapture

# The daemon splits a long text into parts "i/5 ..." of one SMS each.
LONG_TEXT = "".join("cast%d-" % i + chr(ord("a") + i) * 146 for i in range(5))


def numbers(count, start):
    return ["7%08d" % (start + i) for i in range(count)]


class Traffic:
    """The simulator's log read as submissions and their results."""

    def __init__(self, sim):
        self.submissions = []  # dicts: key, conn, trn, t, result ("A", "N" or None), sm
        pending = {}
        for frame in sim.frames():
            if frame["dir"] == "in" and frame["or"] == "O" and frame["ot"] == 51:
                entry = {"key": (frame["AdC"], frame["text"]), "conn": frame["conn"], "trn": frame["trn"],
                         "t": frame["t"], "result": None, "sm": None}
                self.submissions.append(entry)
                pending[(frame["conn"], frame["trn"])] = entry
            elif frame["dir"] == "out" and frame["or"] == "R" and frame["ot"] == 51:
                entry = pending.pop((frame["conn"], frame["trn"]), None)
                if entry is not None:
                    entry["result"] = frame["fields"][0]
                    entry["sm"] = frame["fields"][-1]
        self.by_key = collections.defaultdict(list)
        for entry in self.submissions:
            self.by_key[entry["key"]].append(entry)


class Burst(EmiDaemonTestCase):
    def send_burst(self, count_numbers, start):
        targets = numbers(count_numbers, start)
        self.kstsend(",".join(targets), LONG_TEXT)
        return targets

    def test_connection_closed_in_the_middle_of_a_burst(self):
        self.start_daemon(emi={"WindowSize": "20", "Throughput": "100000"})
        # What reached the daemon is read from the wire: the simulator logs
        # results it has queued, and a closed connection takes the unsent
        # ones with it.
        capture = WireCapture(self.sim.workdir, self.sim.ucp_port)
        self.addCleanup(capture.stop)
        self.sim.set_mode(close_after=150)
        self.send_burst(100, 1000)
        self.wait_stat("sent", 500, timeout=120)
        self.wait_stat("queued", 0)
        capture.stop()
        delivered = {fields[-1] for stream, trn, kind, ot, fields in capture.frames_from_server()
                     if kind == "R" and ot == 51 and fields[0] == "A"}
        traffic = Traffic(self.sim)
        closes = [e for e in self.sim.events("close") if e.get("reason") == "close_after"]
        self.assertEqual(len(closes), 1, "the simulator closed the connection once")
        self.assertGreaterEqual(len(self.sim.events("login")), 2, "the manager reconnected")
        self.assertEqual(len(traffic.by_key), 500, "every message submitted")
        for key, entries in traffic.by_key.items():
            acknowledged = [i for i, e in enumerate(entries) if e["result"] == "A" and e["sm"] in delivered]
            self.assertEqual(len(acknowledged), 1,
                             "%r acknowledged %d times: %r" % (key, len(acknowledged), entries))
            self.assertEqual(acknowledged[0], len(entries) - 1,
                             "%r submitted again after its acknowledgement: %r" % (key, entries))
        self.assertIn("EMI: Problems during sending detected", self.log("error.log"))

    def test_queue_much_longer_than_the_window(self):
        self.start_daemon(emi={"WindowSize": "5", "Throughput": "100000"})
        self.send_burst(200, 5000)
        self.wait_stat("sent", 1000, timeout=180)
        self.wait_stat("queued", 0)
        traffic = Traffic(self.sim)
        self.assertEqual(len(traffic.submissions), 1000, "every message submitted once")
        self.assertEqual(len(traffic.by_key), 1000)
        self.assertTrue(all(e["result"] == "A" for e in traffic.submissions))
        self.assertEqual(len(self.sim.events("connect")), 1, "the connection was kept")
        self.assertEqual(len(self.sim.events("close")), 0)
        # Never more than five submissions awaited their results.
        self.assertLessEqual(max(e["trn"] for e in traffic.submissions), 5)
        errors = self.log("error.log")
        self.assertNotIn("No free transaction ID", errors)
        self.assertNotIn("Problems during sending detected", errors)

    def test_throughput_limit_holds_the_queue_back(self):
        self.start_daemon(emi={"WindowSize": "96", "Throughput": "40"})
        self.send_burst(30, 9000)
        self.wait_stat("sent", 150, timeout=120)
        traffic = Traffic(self.sim)
        self.assertEqual(len(traffic.submissions), 150, "every message submitted once")
        self.assertEqual(len(self.sim.events("connect")), 1, "the connection was kept")
        errors = self.log("error.log")
        self.assertNotIn("Data throughput overloaded", errors)
        self.assertNotIn("Problems during sending detected", errors)



class NegativeResult(EmiDaemonTestCase):
    def test_refusals_by_class(self):
        self.start_daemon(emi={"RetryRefused": "2"})
        # Final codes: every third submission refused with 02 (syntax error).
        self.sim.set_mode(nack_every=3, submit_error=2)
        targets = ["60255500%d" % i for i in range(9)]
        for number in targets:
            self.kstsend(number, "Zprava pro " + number, remote="10.9.8.7")
        self.wait_stat("sent", 6)
        title = "SMS was not acknowledged: 02 = Syntax error"
        refused = self.wait_record("error.log", title, count=3)
        self.assertEqual(refused[0], ("ERROR", [title, "IP Address: 10.9.8.7", "Destination Address: 602555002",
                                                "User Data: Zprava pro 602555002", "OnDisplay: No"]))
        self.assertEqual([fields_of(lines)["Destination Address"] for kind, lines in refused],
                         [targets[2], targets[5], targets[8]])
        access = [fields_of(lines)["Destination Address"]
                  for kind, lines in log_records(self.log("access.log")) if lines[0] == "Send SMS requested"]
        self.assertEqual(sorted(access), sorted(set(targets) - {targets[2], targets[5], targets[8]}),
                         "the access log has the accepted messages only")

        # A code that says "try later", for good: two retries after 5 and
        # 10 s, then the message is given up with its code.
        self.sim.set_mode(nack_every=0, submit="nack", submit_error=1)
        self.kstsend("602666777", "Zkusit pozdeji")
        final = "SMS was not acknowledged: 01 = Checksum error, not sent again after 2 retries"
        self.wait_record("error.log", final, timeout=40)
        subs = [s for s in self.sim.submissions() if s["AdC"] == "00420602666777"]
        self.assertEqual(len(subs), 3)
        gaps = [b["t"] - a["t"] for a, b in zip(subs, subs[1:])]
        self.assertGreaterEqual(gaps[0], 4.0, gaps)
        self.assertGreaterEqual(gaps[1], 9.0, gaps)
        retries = [lines[0] for kind, lines in log_records(self.log("error.log"))
                   if lines[0].startswith("SMS was not acknowledged: 01 = Checksum error, it will")]
        self.assertEqual(retries, ["SMS was not acknowledged: 01 = Checksum error, it will be sent again in 5 s "
                                   "(retry 1 of 2)",
                                   "SMS was not acknowledged: 01 = Checksum error, it will be sent again in 10 s "
                                   "(retry 2 of 2)"])

        # A code outside the table (an SMSC's own, such as throttling), then
        # acceptance: the retry delivers the message, once.
        self.sim.set_mode(submit_error=99)
        self.kstsend("602888999", "Po chvili")
        self.wait_record("error.log", "SMS was not acknowledged: 99 = unknown error code, it will be sent again "
                                      "in 5 s (retry 1 of 2)")
        self.sim.set_mode(submit="ack")
        self.wait_stat("sent", 7, timeout=20)
        subs = [s for s in self.sim.submissions() if s["AdC"] == "00420602888999"]
        self.assertEqual(len(subs), 2)
        time.sleep(1)
        self.assertEqual(self.stats()["queued"], "0")
        self.assertEqual(len(self.sim.events("connect")), 1, "refusals cost no connection")
        self.assertNotIn("SMS was not acknowledged during last 15s", self.log("error.log"))
        self.assertEqual(len(records_titled(self.log("access.log"), "Send SMS requested")), 7)


class Reconnection(EmiDaemonTestCase):
    def test_acknowledged_message_waits_for_its_notification_across_a_reconnection(self):
        self.start_daemon()
        self.sim.set_mode(notify=False)
        self.kstsend("602123123", "Pocka na potvrzeni", mail_to="eva@example.org")
        self.wait_stat("sent", 1)
        adc, scts = self.sim.sent(ot=51, or_="R")[0]["SM"].split(":")

        # The SMSC drops the connection; the manager connects again.
        self.assertEqual(self.sim.drop(), 1)
        self.wait_log_line("error.log", r"ERROR    - EMI: read error: Connection closed by the peer\n")
        self.wait_log_line("error.log", "EMI: Problems during sending detected")
        self.sim.wait_for(lambda: self.sim.logins()[1:], timeout=30, what="the second login")
        self.wait_active()

        # The acknowledged message was not returned to the queue: its
        # notification, on the new connection, still finds it.
        self.sim.notify(adc, scts, 0)
        mail = self.smtp.wait_for_messages(1, timeout=30)[0]
        self.assertEqual(mail.rcpt_tos, ["eva@example.org"])
        self.assertIn("Vase zprava na 602123123 byla odeslana", mail.body)
        kind, lines = self.wait_record("receive.log", "Status Report received")[0]
        self.assertEqual(fields_of(lines)["Notification e-mail"], "eva@example.org")
        self.assertEqual(len(self.sim.submissions()), 1, "submitted once")
        self.assertEqual(self.stats()["queued"], "0")


class Settings(EmiDaemonTestCase):
    def test_window_of_zero(self):
        # A window of 0 could submit nothing: it is reported and 1 is used.
        self.start_daemon(emi={"WindowSize": "0"})
        self.wait_log_line("error.log", r"ERROR    - Invalid EMI/WindowSize setting '0' in INI file "
                                        r"\(a whole number from 1 to 96\), using 1$")
        self.kstsend("602000111", "Odeslat")
        self.wait_stat("sent", 1)
        self.assertEqual([sub["AdC"] for sub in self.sim.submissions()], ["00420602000111"])
        self.assertEqual(len(self.sim.events("connect")), 1)


class RefusedInput(EmiDaemonTestCase):
    def test_numbers_that_would_break_the_frame_never_reach_the_smsc(self):
        self.start_daemon()
        self.sim.set("notify", "off")
        refused = ["1/x/y/1/999", "777\x02111\x03", "420777111000"]
        for number in refused:
            done = self.sandbox.run_inside([KSTSEND, number, "x"])
            self.assertEqual(done.returncode, 3, done.stderr)
            self.assertIn(b"nothing was queued", done.stderr)
        # A line feed in every logged value of a message that goes out, and
        # in a refused number next to it.
        self.kstsend("+420777111000,777\n222", "first\n2020-01-01 00:00:00,000 INFO     - forged",
                     mail_to="a@example.org\nX", remote="10.0.0.1\nIP Address: 6.6.6.6")
        records = self.wait_record("error.log", "SMS refused: invalid destination address", count=4)
        self.assertEqual([fields_of(lines)["Destination Address"] for _, lines in records],
                         ["1/x/y/1/999", "777\\x02111\\x03", "420777111000", "777\\n222"])
        self.assertEqual({kind for kind, _ in records}, {"ERROR"})
        self.wait_stat("sent", 1)
        access = log_records(self.log("access.log"))
        self.assertEqual(access, [("INFO", ["Send SMS requested", "IP Address: 10.0.0.1\\nIP Address: 6.6.6.6",
                                            "Destination Address: +420777111000",
                                            "User Data: first\\n2020-01-01 00:00:00,000 INFO     - forged",
                                            "Notification e-mail: a@example.org\\nX", "OnDisplay: No"])])
        # Exactly the one valid number reached the SMSC, and nothing queued.
        self.assertEqual([sub["AdC"] for sub in self.sim.submissions()], ["00420777111000"])
        self.assertEqual(self.stats()["queued"], "0")


class BrokenFrames(EmiDaemonTestCase):
    def test_bad_checksum_or_length_is_answered_and_the_session_kept(self):
        self.start_daemon()
        self.sim.set("bad_crc", "1")
        broken = self.sim.inject_52("+420601111222", self.laid, "broken")
        self.sim.send_badlen()
        answers = self.sim.wait_for(lambda: (lambda r: r if len(r) >= 2 else None)(self.sim.results_in(ot=52)),
                                    what="the answers to both broken frames")
        self.assertEqual((answers[0]["trn"], answers[0]["NACK"], answers[0]["EC"]), (broken["trn"], "N", "01"))
        self.assertEqual((answers[1]["NACK"], answers[1]["EC"]), ("N", "02"))
        self.wait_log_line("error.log", r"ERROR    - EMI: frame refused: Bad checksum$")
        self.wait_log_line("error.log", r"ERROR    - EMI: frame refused: Malformed frame$")
        # The session goes on: a good message comes in once, one goes out.
        self.sim.inject_52("+420601111222", self.laid, "whole")
        self.assertEqual([d["env"]["UD"] for d in self.wait_dumps(2)], ["whole", "whole"])
        self.kstsend("602000111", "after")
        self.wait_stat("sent", 1)
        self.assertEqual(len(self.dumps()), 2)
        self.assertEqual(len(self.sim.submissions()), 1)
        self.assertEqual(len(self.sim.events("connect")), 1)
        self.assertEqual(len(self.sim.logins()), 1)
        self.assertEqual(self.stats()["received"], "1")
        self.assertNotIn("EMI: read error", self.log("error.log"))


class Throughput(EmiDaemonTestCase):
    """A throughput that is not a positive number sends one message a
    second, on one connection, without a refusal of the library."""

    def check_one_per_second(self, value):
        self.start_daemon(emi={"WindowSize": "10", "Throughput": value})
        self.kstsend("602100001,602100002,602100003", "Pomalu")
        self.wait_stat("sent", 3, timeout=30)
        subs = self.sim.submissions()
        self.assertEqual(len(subs), 3)
        gaps = [b["t"] - a["t"] for a, b in zip(subs, subs[1:])]
        for gap in gaps:
            self.assertGreater(gap, 0.9, "more than one a second: %r" % gaps)
        errors = self.log("error.log")
        self.assertNotIn("Data throughput overloaded", errors)
        self.assertNotIn("Problems during sending detected", errors)
        self.assertEqual(len(self.sim.events("connect")), 1)

    def test_zero(self):
        self.check_one_per_second("0")

    def test_empty(self):
        self.check_one_per_second("")

    def test_negative(self):
        self.check_one_per_second("-5")

    def test_not_a_number(self):
        self.check_one_per_second("fast")


class Stop(EmiDaemonTestCase):
    def stop_daemon(self):
        self.assertEqual(self.kstd.stop(timeout=60), 0)

    def test_stop_waits_for_results_on_their_way(self):
        self.start_daemon()
        self.sim.set_mode(submit_delay=1500)
        self.kstsend(",".join("60277700%d" % i for i in range(5)), "Na ceste")
        self.sim.wait_for(lambda: self.sim.submissions()[4:], what="five submissions")
        self.stop_daemon()
        counts = self.sim.counts()
        self.assertEqual((counts["submits"], counts["unsent"]), (5, 0), "every result reached the daemon")
        results = self.sim.sent(ot=51, or_="R")
        close = [e for e in self.sim.events("close")]
        self.assertEqual(len(close), 1)
        self.assertGreater(close[0]["t"], max(r["t"] for r in results), "closed after the last result")
        self.assertEqual(len(records_titled(self.log("access.log"), "Send SMS requested")), 5)
        errors = self.log("error.log")
        self.assertIn("INFO     - EMI: Stopped with 0 submission(s) unanswered and 0 refused message(s) waiting "
                      "for a retry", errors)
        self.assertIn("INFO     - 0 message(s) still queued, dropped at the stop", errors)

    def test_stop_with_unanswered_submissions_and_a_queue(self):
        self.start_daemon(emi={"WindowSize": "2"})
        self.sim.set_mode(submit="ignore")
        self.kstsend(",".join("60288800%d" % i for i in range(5)), "Bez odpovedi")
        self.sim.wait_for(lambda: self.sim.submissions()[1:], what="two submissions")
        time.sleep(0.5)
        self.stop_daemon()
        self.assertEqual(len(self.sim.submissions()), 2)
        errors = self.log("error.log")
        self.assertIn("INFO     - EMI: Stopped with 2 submission(s) unanswered and 0 refused message(s) waiting "
                      "for a retry", errors)
        self.assertIn("INFO     - 3 message(s) still queued, dropped at the stop", errors)


class SharedNotificationKey(EmiDaemonTestCase):
    def test_two_messages_with_one_key(self):
        self.start_daemon()
        # The SMSC stamps both messages to one number with the same second.
        self.sim.set_mode(notify=False, scts="070512153000")
        self.kstsend("602123987", "Prvni", mail_to="a@example.org")
        self.kstsend("602123987", "Druha", mail_to="b@example.org")
        self.wait_stat("sent", 2)
        keys = {r["SM"] for r in self.sim.sent(ot=51, or_="R")}
        self.assertEqual(keys, {"00420602123987:070512153000"})
        self.sim.notify("00420602123987", "070512153000", 0)
        self.wait_log_line("error.log", r"INFO     - EMI: Warning: 2 messages wait for the notification key "
                                        r"00420602123987:070512153000; this notification is taken for the oldest "
                                        r"of them$")
        self.assertEqual(self.smtp.wait_for_messages(1)[0].rcpt_tos, ["a@example.org"])
        # The second notification has one candidate left: no warning.
        self.sim.notify("00420602123987", "070512153000", 0)
        self.assertEqual(self.smtp.wait_for_messages(2)[1].rcpt_tos, ["b@example.org"])
        self.assertEqual(self.log("error.log").count("EMI: Warning:"), 1)


if __name__ == "__main__":
    main()
