"""Sending through the modem: status report requests, confirmation e-mails
from status reports, class 0 messages, the access and error records, and a
refused message that goes back to the queue while the manager restores the
connection. Real kstd, modem emulator, kstsend and aiosmtpd."""

import time

from kst import wait_until
from mesender import MeSenderTest
from smtpserver import SmtpServer

TARGET = "+420603111222"


def scts_of(sent):
    """The service centre time stamp of a report on `sent`: when the modem
    took it (UTC, zone 0)."""
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(int(sent["time"])))


def confirmation_date(scts):
    """The date and time as the confirmation e-mail writes them."""
    t = time.strptime(scts, "%Y-%m-%d %H:%M:%S")
    return "%d.%d.%d v %d:%d:%d" % (t.tm_mday, t.tm_mon, t.tm_year, t.tm_hour, t.tm_min, t.tm_sec)


def mail_text(mail):
    """The message text a confirmation names (after its first paragraph)."""
    return mail.body.replace("\r\n", "\n").split("\n\n", 1)[1].rstrip("\n")


class SendingTest(MeSenderTest):
    def setUp(self):
        super().setUp()
        self.smtp = SmtpServer()
        self.addCleanup(self.smtp.cleanup)

    def start(self, hide=()):
        smtp = "[SMTP]\nServerHost = 127.0.0.1\nServerPort = %d\nFrom = kstd@example.org\n" % self.smtp.port
        self.start_kstd(extra=smtp, hide=hide)
        self.wait_ready()

    def wait_sent(self, count, timeout=30.0):
        return wait_until(lambda: self.modem.sent() if len(self.modem.sent()) >= count else None,
                          timeout, what="%d message(s) sent by the modem" % count)

    def routings_set(self):
        """How often the modem was told to route messages and reports to the
        daemon: once per connection the manager completed."""
        return self.modem.commands().count("AT+CNMI=2,1,0,2,1")


class Sending(SendingTest):
    def test_message_without_confirmation_asks_for_no_report(self):
        self.start()
        self.kstsend(TARGET, "Hello")
        sent = self.wait_sent(1)[0]
        self.assertEqual((sent["destination"], sent["text"], sent["dcs"]), (TARGET, "Hello", 0))
        self.assertFalse(sent["status_report_request"])
        access = self.wait_record("access.log", "Send SMS requested")[0]
        self.assertEqual(access["lines"], ["Send SMS requested", "IP Address: 127.0.0.1",
                                           "Destination Address: " + TARGET, "User Data: Hello",
                                           "OnDisplay: No"])
        self.assertEqual(access["type"], "i")
        wait_until(lambda: self.stats()["sent"] == "1", 10, what="the sent counter")
        self.assertEqual(self.stats()["queued"], "0")

        # Nothing was registered: a report quoting the reference confirms
        # nothing.
        self.modem.report(sent["mr"])
        report = self.wait_record("receive.log", "Status Report received")[0]
        self.assertNotIn("Notification e-mail: ", "\n".join(report["lines"]))
        time.sleep(2)
        self.assertEqual(self.smtp.messages(), [])
        self.assertEqual(self.stats()["confirmations sent"], "0")

    def test_class_0_message(self):
        self.start()
        self.kstsend("-f", TARGET, "Look at once")
        sent = self.wait_sent(1)[0]
        # Class 0 in the general data coding group, default alphabet.
        self.assertEqual(sent["dcs"], 0x10)
        self.assertEqual(sent["message_class"], 0)
        self.assertEqual(sent["text"], "Look at once")
        access = self.wait_record("access.log", "Send SMS requested")[0]
        self.assertEqual(access["lines"][-1], "OnDisplay: Yes")

    def test_hidden_access_record(self):
        self.start(hide=("AccessLog_HideIp", "AccessLog_HideDestinationAddress", "AccessLog_HideUserData",
                         "AccessLog_HideEmail"))
        self.kstsend("-m", "someone@example.org", TARGET, "Private")
        access = self.wait_record("access.log", "Send SMS requested")[0]
        self.assertEqual(access["lines"], ["Send SMS requested", "IP Address: <hidden>",
                                           "Destination Address: <hidden>", "User Data: <hidden>",
                                           "Notification e-mail: <hidden>", "OnDisplay: No"])


class Confirmations(SendingTest):
    def test_status_report_sends_the_confirmation(self):
        self.start()
        self.kstsend("-m", "someone@example.org", TARGET, "Meet at noon")
        sent = self.wait_sent(1)[0]
        self.assertTrue(sent["status_report_request"])
        access = self.wait_record("access.log", "Send SMS requested")[0]
        self.assertIn("Notification e-mail: someone@example.org", access["lines"])

        # A report about the same reference for another number is not about
        # this message.
        self.modem.report(sent["mr"], recipient="+420777000999")
        other = self.wait_record("receive.log", "Status Report received")[0]
        self.assertEqual(other["lines"][1], "Destination Address: +420777000999")
        self.assertNotIn("Notification e-mail: ", "\n".join(other["lines"]))

        scts = scts_of(sent)
        self.modem.report(sent["mr"], status=0, scts=scts, discharge="2004-12-07 14:05:01")
        mail = self.smtp.wait_for_messages(1, timeout=30)[0]
        self.assertEqual(mail.rcpt_tos, ["someone@example.org"])
        self.assertEqual(mail["Subject"], "Zprava byla odeslana")
        body = mail.body.replace("\r\n", "\n")
        self.assertEqual(body.rstrip("\n"), "Vase zprava na +420603111222 byla odeslana %s.\n\nMeet at noon"
                         % confirmation_date(scts))

        report = self.wait_record("receive.log", "Status Report received", count=2)[1]
        lines = report["lines"]
        self.assertEqual(lines[:3], ["Status Report received", "Destination Address: " + TARGET, "User Data: "])
        self.assertTrue(lines[3].startswith("Service Centre Time Stamp: " +
                                            time.strftime("%m/%d/%y %H:%M:%S", time.strptime(scts, "%Y-%m-%d %H:%M:%S"))),
                        lines)
        self.assertTrue(lines[4].startswith("Discharge Time: 12/07/04 14:05:01"), lines)
        self.assertEqual(lines[5:7], ["Notification e-mail: someone@example.org", "Status Code: 0"])
        self.assertTrue(lines[7].startswith("Status Description: "), lines)
        self.assertNotIn("\0", self.sandbox.read_log("receive.log"))
        wait_until(lambda: self.stats()["confirmations sent"] == "1", 10, what="the confirmation counter")

        # The entry is settled: the same report again confirms nothing.
        self.modem.report(sent["mr"], status=0x41)
        again = self.wait_record("receive.log", "Status Report received", count=3)[2]
        self.assertNotIn("Notification e-mail: ", "\n".join(again["lines"]))
        self.assertEqual(again["lines"][-2:], [
            "Status Code: 65",
            "Status Description: Incompatible destination (Permanent Error, "
            "SC is not making any more transfer attempts)"])
        time.sleep(2)
        self.assertEqual(len(self.smtp.messages()), 1)

    def test_long_text_parts_go_concatenated_and_are_confirmed(self):
        self.start()
        # Ten parts' worth of text: the first five are queued, each with its
        # counter "n/10 " before 156 characters, 161 in all.
        text = "".join("w%03d " % i for i in range(300))[:1405]
        expected = ["%d/10 %s" % (n + 1, text[n * 156:(n + 1) * 156]) for n in range(5)]
        self.assertEqual({len(part) for part in expected}, {161})
        self.kstsend("-m", "someone@example.org", TARGET, text)
        sent = self.wait_sent(10)
        accepted = self.wait_record("access.log", "Send SMS requested", count=5)
        self.assertEqual([r["lines"][3] for r in accepted], ["User Data: " + part for part in expected])

        # Each went as two concatenated messages of 153 and 8 characters
        # that ask for a report and share a concatenation number of their own.
        pairs = list(zip(sent[0::2], sent[1::2]))
        numbers = set()
        for part, (first, second) in zip(expected, pairs):
            headers = [bytes.fromhex(s["udh"]) for s in (first, second)]
            self.assertEqual([h[:2] + h[3:] for h in headers], [b"\x00\x03\x02\x01", b"\x00\x03\x02\x02"])
            self.assertEqual(headers[0][2], headers[1][2])
            numbers.add(headers[0][2])
            self.assertEqual(first["text"] + second["text"], part)
            self.assertEqual(len(first["text"]), 153)
            for message in (first, second):
                self.assertEqual(message["destination"], TARGET)
                self.assertTrue(message["status_report_request"])
        self.assertEqual(len(numbers), 5)
        wait_until(lambda: self.stats()["sent"] == "5", 10, what="the sent counter")

        # The report of a first part confirms nothing; that of the last part
        # confirms its text.
        self.modem.report(pairs[0][0]["mr"])
        report = self.wait_record("receive.log", "Status Report received")[0]
        self.assertNotIn("Notification e-mail: ", "\n".join(report["lines"]))
        for first, second in pairs:
            self.modem.report(second["mr"])
        mails = self.smtp.wait_for_messages(5, timeout=30)
        self.assertEqual(sorted(m.body.replace("\r\n", "\n").split("\n\n", 1)[1].rstrip("\n") for m in mails),
                         sorted(expected))
        self.assertEqual({tuple(m.rcpt_tos) for m in mails}, {("someone@example.org",)})
        wait_until(lambda: self.stats()["confirmations sent"] == "5", 10, what="the confirmation counter")
        time.sleep(1)
        self.assertEqual(len(self.smtp.messages()), 5)
        self.assertEqual(len(self.modem.sent()), 10)

    def test_hidden_report_record(self):
        self.start(hide=("ReceiveLog_HideDestinationAddress", "ReceiveLog_HideUserData", "AccessLog_HideEmail"))
        self.kstsend("-m", "someone@example.org", TARGET, "Secret")
        sent = self.wait_sent(1)[0]
        self.modem.report(sent["mr"])
        report = self.wait_record("receive.log", "Status Report received")[0]
        self.assertEqual(report["lines"][1:3], ["Destination Address: <hidden>", "User Data: <hidden>"])
        self.assertEqual(report["lines"][5], "Notification e-mail: <hidden>")
        # The e-mail itself carries the real values.
        mail = self.smtp.wait_for_messages(1, timeout=30)[0]
        self.assertEqual(mail.rcpt_tos, ["someone@example.org"])
        self.assertIn("Secret", mail.body)


class ReportClasses(SendingTest):
    """Only a report that the recipient has the message confirms it; each
    report is matched to its own message by recipient, reference and the
    centre's time stamp."""

    def sent_messages(self, texts, recipient=TARGET):
        for text in texts:
            self.kstsend("-m", "someone@example.org", recipient, text)
        sent = self.wait_sent(len(texts), timeout=120)
        self.assertEqual([s["text"] for s in sent], list(texts))
        return {s["text"]: s for s in sent}

    def test_each_status_class_out_of_order_repeated_and_unknown(self):
        self.start()
        sent = self.sent_messages(["Congested first", "Refused for good", "Given up", "Delivered twice",
                                   "Delivered late"])

        def report(text, status, **kw):
            message = sent[text]
            self.modem.report(message["mr"], status=status, scts=scts_of(message), recipient=TARGET, **kw)

        report("Delivered twice", 0x00)
        report("Given up", 0x60)            # temporary error, no more attempts
        report("Congested first", 0x20)     # congestion, still trying
        report("Refused for good", 0x41)    # incompatible destination
        report("Refused for good", 0x41)    # the same report again
        report("Delivered twice", 0x00)
        report("Refused for good", 0x00)    # a delivery after the final failure: not believed
        self.modem.report((sent["Delivered late"]["mr"] + 100) % 256, status=0, recipient=TARGET)  # unknown
        report("Delivered late", 0x21)      # SME busy, still trying
        report("Congested first", 0x00)
        # Replaced: received all the same. Written an hour east of UTC.
        self.modem.report(sent["Delivered late"]["mr"], status=0x02, recipient=TARGET, tz=4,
                          scts=time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(int(sent["Delivered late"]["time"]) + 3600)))

        records = self.wait_record("receive.log", "Status Report received", count=11)
        self.assertEqual([r["lines"][-2] for r in records],
                         ["Status Code: %d" % c for c in (0, 96, 32, 65, 65, 0, 0, 0, 33, 0, 2)])
        mails = self.smtp.wait_for_messages(3, timeout=30)
        time.sleep(2)
        mails = self.smtp.messages()
        self.assertEqual(sorted(mail_text(m) for m in mails),
                         ["Congested first", "Delivered late", "Delivered twice"])
        mailed = [r for r in records if "Notification e-mail: someone@example.org" in r["lines"]]
        self.assertEqual(len(mailed), 3)

        # The final failures are recorded with their meaning, once each.
        failed = [r for r in self.records("error.log") if r["lines"][0].startswith("SMS not delivered: ")]
        self.assertEqual(sorted((r["lines"][0], r["lines"][3]) for r in failed), [
            ("SMS not delivered: status 65: Incompatible destination (Permanent Error, "
             "SC is not making any more transfer attempts)", "User Data: Refused for good"),
            ("SMS not delivered: status 96: " + records[1]["lines"][-1][len("Status Description: "):],
             "User Data: Given up")])
        self.assertEqual(self.stats()["confirmations sent"], "3")

    def test_reference_wrap_with_one_recipient(self):
        self.start()
        # A network takes a while for each message, so that 256 of them take
        # seconds (a real one: minutes), and the centre's time stamps tell a
        # message from the one that took its reference again.
        self.modem.set(send_delay=0.02)
        texts = ["Message %03d" % i for i in range(300)]
        sent = self.sent_messages(texts)
        self.assertEqual(sent["Message 000"]["mr"], sent["Message 256"]["mr"])
        self.assertGreaterEqual(sent["Message 256"]["time"] - sent["Message 000"]["time"], 2)
        # The latest first: the reports of the first 44 messages come after
        # those of the messages that took their references again; some come
        # twice.
        order = list(reversed(texts)) + ["Message 010", "Message 270", "Message 299"]
        for text in order:
            # The modem's store holds 20 reports until the daemon reads them.
            wait_until(lambda: self.modem.status()["stores"]["SM"] < 15, 30, what="room in the modem's store")
            self.modem.report(sent[text]["mr"], status=0, scts=scts_of(sent[text]), recipient=TARGET)
        self.smtp.wait_for_messages(300, timeout=120)
        time.sleep(2)
        named = sorted(mail_text(m) for m in self.smtp.messages())
        self.assertEqual(named, texts)


class RefusedSend(SendingTest):
    def wait_record_prefix(self, name, prefix, timeout=30.0, count=1):
        def found():
            matching = [r for r in self.records(name) if r["lines"][0].startswith(prefix)]
            return matching if len(matching) >= count else None
        return wait_until(found, timeout, what="%d record(s) beginning %r" % (count, prefix))

    def connection_setups(self):
        """PIN queries and modem openings so far: each connection makes one of each."""
        return (len([c for c in self.modem.commands() if c == "AT+CPIN?"]), len(self.modem.events("open")))

    def test_permanent_refusal_is_dropped_and_temporary_one_retried_in_order(self):
        self.start()
        setups = self.connection_setups()
        routings = self.routings_set()
        # The first message: unassigned number, for good. The second:
        # network out of order, then congestion, then taken.
        self.modem.fault("send_script", ["cms:1", "cms:38", "cms:42"])
        self.kstsend("+420600000001,+420600000002,+420600000003", "Ordered")
        sent = self.wait_sent(2, timeout=60)
        self.assertEqual([s["destination"] for s in sent], ["+420600000002", "+420600000003"])

        dropped = self.wait_record_prefix("error.log", "Send SMS refused, not sent: ")
        self.assertEqual(len(dropped), 1)
        self.assertEqual(dropped[0]["type"], "e")
        self.assertIn("1", dropped[0]["lines"][0])
        self.assertEqual(dropped[0]["lines"][2], "Destination Address: +420600000001")
        retried = self.wait_record_prefix("error.log", "Send SMS refused for now, will retry: ", count=2)
        self.assertEqual([r["lines"][2] for r in retried], ["Destination Address: +420600000002"] * 2)
        self.assertTrue(any("38" in r["lines"][0] for r in retried), retried)
        self.assertTrue(any("42" in r["lines"][0] for r in retried), retried)

        # Refused three times in all, each once on the line; nothing else
        # tried again, and the connection stayed.
        refused = self.modem.events("send-refused")
        self.assertEqual([r["data"]["decoded"]["destination"] for r in refused],
                         ["+420600000001", "+420600000002", "+420600000002"])
        time.sleep(1)
        self.assertEqual(len(self.modem.sent()), 2)
        self.assertEqual(self.connection_setups(), setups)
        self.assertEqual(self.routings_set(), routings)
        stats = self.stats()
        self.assertEqual((stats["sent"], stats["queued"]), ("2", "0"))
        accepted = [r["lines"][2] for r in self.records("access.log") if r["lines"][0] == "Send SMS requested"]
        self.assertEqual(accepted, ["Destination Address: +420600000002", "Destination Address: +420600000003"])

    def test_temporary_refusals_are_bounded(self):
        self.start()
        setups = self.connection_setups()
        self.modem.fault("send", "cms:41", count=4, stage="pdu")
        self.kstsend(TARGET, "Persistent")
        given_up = self.wait_record_prefix("error.log", "Send SMS refused, not sent: ", timeout=60)
        self.assertIn("refused 4 times, giving up", given_up[0]["lines"][0])
        self.assertEqual(len(self.wait_record_prefix("error.log", "Send SMS refused for now, will retry: ",
                                                     count=3)), 3)
        self.assertEqual(len(self.modem.events("send-refused")), 4)
        self.assertEqual(self.modem.sent(), [])
        self.assertEqual(self.connection_setups(), setups)
        # The next message goes as usual.
        self.kstsend(TARGET, "Next")
        self.assertEqual(self.wait_sent(1)[0]["text"], "Next")
        self.assertEqual(self.stats()["queued"], "0")

    def test_modem_out_of_order_reconnects_and_keeps_the_order(self):
        self.start()
        # SIM failure: the modem, not the message; a new connection settles it.
        self.modem.fault("send", "cms:313", count=1, stage="pdu")
        opened = len(self.modem.events("open"))
        self.kstsend("+420600000001,+420600000002", "Twice")
        error = self.wait_record_prefix("error.log", "Send SMS requested but error occured: ")[0]
        self.assertIn("313", error["lines"][0])
        self.assertEqual(error["type"], "e")
        self.assertEqual(error["lines"][1:], ["IP Address: 127.0.0.1", "Destination Address: +420600000001",
                                              "User Data: Twice", "OnDisplay: No"])

        sent = self.wait_sent(2, timeout=60)
        self.assertEqual([s["destination"] for s in sent], ["+420600000001", "+420600000002"])
        self.assertEqual(len(self.modem.events("send-refused")), 1)
        self.assertGreater(len(self.modem.events("open")), opened)
        self.assertGreaterEqual(self.routings_set(), 2)
        stats = self.stats()
        self.assertEqual((stats["sent"], stats["queued"]), ("2", "0"))

    def test_silent_modem_blocks_sending_for_the_send_timeout_only(self):
        smtp = "[SMTP]\nServerHost = 127.0.0.1\nServerPort = %d\n" % self.smtp.port
        self.start_kstd(me=self.me_section(SendTimeout="2"), extra=smtp)
        self.wait_ready()
        self.modem.fault("silent", "on")
        self.kstsend(TARGET, "Through silence")
        self.wait_command("AT+CMGS=")
        error = self.wait_record_prefix("error.log", "Send SMS requested but error occured: ", timeout=30)[0]
        self.assertIn("timeout", error["lines"][0])
        self.modem.fault("silent", "off")
        sent = self.wait_sent(1, timeout=60)
        self.assertEqual(sent[0]["text"], "Through silence")
        time.sleep(1)
        self.assertEqual(len(self.modem.sent()), 1)

    def wait_command(self, prefix):
        return self.modem.wait_command(prefix, timeout=20)


class LostLine(SendingTest):
    def test_line_lost_while_idle_is_recorded_with_its_cause(self):
        self.start()
        self.modem.stop()
        lost = self.wait_record_prefix("error.log", "ME: Connection lost: ")
        self.assertEqual(lost["type"], "e")
        self.assertIn("Input/output error", lost["lines"][0])

    def wait_record_prefix(self, name, prefix, timeout=30.0):
        return wait_until(lambda: next((r for r in self.records(name) if r["lines"][0].startswith(prefix)), None),
                          timeout, what="a record beginning %r" % prefix)


if __name__ == "__main__":
    import unittest
    unittest.main(verbosity=2)
