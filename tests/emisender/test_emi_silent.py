"""The SMSC sender in the real kstd against an SMSC that never answers
submissions: each message is submitted again about every 15 s, every
expired transaction id is logged once, the fifth submission ends the
connection and the message goes back to the queue; after the manager has
reconnected, it is delivered. Then an SMSC that holds its results and sends
them late, in order and out of order. About three minutes."""

import re
import time

from emisender_support import EmiDaemonTestCase, main, records_titled

RESEND_TITLE = "SMS was not acknowledged during last 15s, it will be send again."


class SilentSmsc(EmiDaemonTestCase):
    def test_unanswered_submissions(self):
        self.start_daemon(emi={"WindowSize": "10"})
        self.sim.set_mode(submit="ignore")
        self.kstsend("602444555", "Nikdo neodpovida", remote="10.0.0.7")
        subs = self.sim.wait_for(lambda: self.sim.submissions()[4:] and self.sim.submissions(),
                                 timeout=100, what="five submissions")
        # The SMSC answers again before the message comes back.
        self.sim.set_mode(submit="ack")
        first_conn = [s for s in subs if s["conn"] == subs[0]["conn"]]
        self.assertEqual(len(first_conn), 5)
        for sub in first_conn:
            self.assertEqual((sub["AdC"], sub["text"]), ("00420602444555", "Nikdo neodpovida"))
        gaps = [b["t"] - a["t"] for a, b in zip(first_conn, first_conn[1:])]
        for gap in gaps:
            self.assertGreater(gap, 15.0, "resubmitted before 15 s: %r" % gaps)
            self.assertLess(gap, 22.0, "resubmitted long after 15 s: %r" % gaps)

        # The connection is dropped after the fifth submission, the message
        # is delivered on the next one, and only once.
        self.wait_stat("sent", 1, timeout=30)
        closes = self.sim.events("close")
        self.assertEqual([c["conn"] for c in closes], [subs[0]["conn"]])
        later = [s for s in self.sim.submissions() if s["conn"] != subs[0]["conn"]]
        self.assertEqual(len(later), 1, "delivered once after the reconnection")
        self.assertEqual(later[0]["text"], "Nikdo neodpovida")
        self.assertGreater(later[0]["t"], first_conn[-1]["t"])
        self.assertEqual(self.stats()["queued"], "0")

        errors = self.log("error.log")
        # Each submission's id expired once, except the last one's: the
        # connection ended before.
        expired = re.findall(r"ERROR    - EMI: Response to trnid = (\d+) not received !$", errors, re.M)
        self.assertEqual(len(expired), 4, errors)
        self.assertEqual([int(t) for t in expired], [s["trn"] for s in first_conn[:4]])
        resent = records_titled(errors, RESEND_TITLE)
        self.assertEqual(len(resent), 4)
        self.assertEqual(resent[0], ("INFO", [RESEND_TITLE, "IP Address: 10.0.0.7", "Destination Address: 602444555",
                                              "User Data: Nikdo neodpovida", "OnDisplay: No"]))
        self.assertEqual(errors.count("EMI: Problems during sending detected, returning SMSs in the EMI's que "
                                      "back to main que."), 1)
        self.assertEqual(errors.count("EMI: Connection established"), 2)
        # The access log has the message once: when the SMSC accepted it.
        self.assertEqual(len(records_titled(self.log("access.log"), "Send SMS requested")), 1)
        # Returning it to the queue counts down to the entries that stay.
        self.assertEqual(re.findall(r"^Size of EMI que: (\d+)$", self.kstd.stdout(), re.M), ["1", "0"])


def outstanding_peak(sim):
    """The most submissions that awaited their result at once, per the
    simulator's log (a held result is not sent yet)."""
    peak = 0
    open_ids = {}
    for frame in sim.frames():
        if frame["ot"] != 51:
            continue
        key = frame["conn"]
        if frame["dir"] == "in" and frame["or"] == "O":
            open_ids[key] = open_ids.get(key, 0) + 1
        elif frame["dir"] == "out" and frame["or"] == "R":
            open_ids[key] = open_ids.get(key, 0) - 1
        peak = max(peak, open_ids.get(key, 0))
    return peak


class StalledSmsc(EmiDaemonTestCase):
    """The SMSC holds its results for a while, then sends them, in order or
    not: every result settles the message whose submission carried its id."""

    def send_numbered(self, count):
        messages = {}
        for i in range(count):
            number, text = "60250%04d" % i, "Zprava cislo %d" % i
            self.kstsend(number, text, mail_to="m%d@example.org" % i)
            messages["m%d@example.org" % i] = (number, text)
        return messages

    def check_settled_once(self, messages, submissions_each):
        self.wait_stat("sent", len(messages), timeout=60)
        self.wait_stat("queued", 0)
        mails = self.smtp.wait_for_messages(len(messages), timeout=60)
        time.sleep(1)
        self.assertEqual(len(self.smtp.messages()), len(messages), "one mail per message")
        for mail in mails:
            (address,) = mail.rcpt_tos
            number, text = messages[address]
            self.assertIn("Vase zprava na %s byla odeslana" % number, mail.body, "the mail names its message")
            self.assertTrue(mail.body.replace("\r\n", "\n").rstrip("\n").endswith(text), mail.body)
        subs = self.sim.submissions()
        by_text = {}
        for sub in subs:
            by_text.setdefault(sub["text"], []).append(sub)
        self.assertEqual(sorted(by_text), sorted(text for number, text in messages.values()))
        first_accepted = {}
        accepted = [r for r in self.sim.sent(ot=51, or_="R") if r["fields"][0] == "A"]
        for text, entries in by_text.items():
            self.assertEqual(len(entries), submissions_each, "%r submitted %d times" % (text, len(entries)))
        # No message went out again after the SMSC had accepted it (the
        # accepted submission is the last one with the result's id before it).
        for result in accepted:
            matching = [s for s in subs if s["conn"] == result["conn"] and s["trn"] == result["trn"]
                        and s["t"] <= result["t"]]
            first_accepted.setdefault(matching[-1]["text"], result["t"])
        for text, entries in by_text.items():
            self.assertLessEqual(max(e["t"] for e in entries), first_accepted[text])
        self.assertEqual(len(self.sim.events("connect")), 1, "the connection was kept")
        access = records_titled(self.log("access.log"), "Send SMS requested")
        self.assertEqual(len(access), len(messages), "each accepted message recorded once")

    def test_held_results_released_in_order_with_a_full_window(self):
        self.start_daemon(emi={"WindowSize": "5"})
        self.sim.set_mode(hold=1, notify_delay=200)
        messages = self.send_numbered(20)
        self.sim.wait_for(lambda: len(self.sim.submissions()) >= 5, what="five submissions")
        # Past the resubmission delay and the results' time-out: the window is
        # full of submissions that still await their results, so none is
        # sent again and no id is given out twice.
        self.wait_log_line("error.log", r"EMI: Response to trnid = 5 not received !", timeout=30)
        time.sleep(7)
        self.assertEqual(len(self.sim.submissions()), 5)
        self.sim.set_mode(hold=0)
        self.assertEqual(self.sim.release(), 5)
        self.check_settled_once(messages, 1)
        self.assertLessEqual(outstanding_peak(self.sim), 5)
        self.assertNotIn("SMS was not acknowledged", self.log("error.log"))

    def test_held_results_released_out_of_order_after_resubmissions(self):
        self.start_daemon(emi={"WindowSize": "10"})
        self.sim.set_mode(hold=1, notify_delay=200)
        messages = self.send_numbered(4)
        # Each message is submitted again with a fresh id while the first
        # submission's id still awaits its result.
        subs = self.sim.wait_for(lambda: self.sim.submissions()[7:] and self.sim.submissions(), timeout=40,
                                 what="eight submissions")
        self.assertEqual(sorted(s["trn"] for s in subs), list(range(1, 9)))
        self.sim.set_mode(hold=0)
        # The resubmissions' results come first, then the first ones'.
        self.assertEqual(self.sim.release(reverse=True), 8)
        self.check_settled_once(messages, 2)
        time.sleep(17)
        self.assertEqual(len(self.sim.submissions()), 8, "nothing submitted a third time")
        self.assertLessEqual(outstanding_peak(self.sim), 10)
        self.assertEqual(self.stats()["sent"], "4")
        # Both submissions of each message were delivered: the second
        # notification finds no entry and mails nobody.
        self.wait_record("receive.log", "Status Report received", count=8)
        self.assertEqual(len(self.smtp.messages()), 4)


if __name__ == "__main__":
    main()
