"""The SMSC sender in the real kstd when things go wrong or get crowded: a
burst cut by the SMSC closing the connection, a queue much longer than the
window, a queue held back by the throughput limit, a negative result, a
connection dropped between result and notification, a window of 0, numbers
that would break a frame, and broken frames from the SMSC. Every message
must arrive, none twice once the SMSC has acknowledged it, and
a full window or a spent second must not cost the connection."""

import collections
import time

from emisender_support import KSTSEND, EmiDaemonTestCase, fields_of, main
from kst import log_records
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
    def test_negative_result_is_logged_and_not_retried(self):
        self.start_daemon()
        self.sim.set_mode(submit="nack", submit_error=24)
        self.kstsend("602555666", "Odmitnuta", remote="10.9.8.7")
        sub = self.sim.wait_for(self.sim.submissions, what="the submission")[0]
        kind, lines = self.wait_record("error.log", "SMS was not acknowledged")[0]
        self.assertEqual(kind, "ERROR")
        self.assertEqual(lines, ["SMS was not acknowledged", "IP Address: 10.9.8.7",
                                 "Destination Address: 602555666", "User Data: Odmitnuta", "OnDisplay: No"])
        # Past the resubmission delay: still the one submission, nothing
        # counted, the connection kept.
        time.sleep(17)
        self.assertEqual(len(self.sim.submissions()), 1)
        self.assertEqual(self.sim.submissions()[0]["trn"], sub["trn"])
        stats = self.stats()
        self.assertEqual((stats["sent"], stats["queued"]), ("0", "0"))
        self.assertEqual(len(self.sim.events("connect")), 1)
        self.assertNotIn("SMS was not acknowledged during last 15s", self.log("error.log"))


class Reconnection(EmiDaemonTestCase):
    def test_acknowledged_message_waits_for_its_notification_across_a_reconnection(self):
        self.start_daemon()
        self.sim.set_mode(notify=False)
        self.kstsend("602123123", "Pocka na potvrzeni", mail_to="eva@example.org")
        self.wait_stat("sent", 1)
        adc, scts = self.sim.sent(ot=51, or_="R")[0]["SM"].split(":")

        # The SMSC drops the connection; the manager connects again.
        self.assertEqual(self.sim.drop(), 1)
        self.wait_log_line("error.log", r"ERROR    - EMI: read error: ")
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

if __name__ == "__main__":
    main()
