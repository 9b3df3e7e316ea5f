"""Sending through the modem: status report requests, confirmation e-mails
from status reports, class 0 messages, the access and error records, and a
refused message that goes back to the queue while the manager restores the
connection. Real kstd, modem emulator, kstsend and aiosmtpd."""

import time

from kst import wait_until
from mesender import MeSenderTest
from smtpserver import SmtpServer

TARGET = "+420603111222"


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
        self.assertEqual(sent["dcs"], 0xF0)
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

        self.modem.report(sent["mr"], status=0, scts="2004-12-07 14:03:09", discharge="2004-12-07 14:05:01")
        mail = self.smtp.wait_for_messages(1, timeout=30)[0]
        self.assertEqual(mail.rcpt_tos, ["someone@example.org"])
        self.assertEqual(mail["Subject"], "Zprava byla odeslana")
        body = mail.body.replace("\r\n", "\n")
        self.assertEqual(body.rstrip("\n"),
                         "Vase zprava na +420603111222 byla odeslana 7.12.2004 v 14:3:9.\n\nMeet at noon")

        report = self.wait_record("receive.log", "Status Report received", count=2)[1]
        lines = report["lines"]
        self.assertEqual(lines[:3], ["Status Report received", "Destination Address: " + TARGET, "User Data: "])
        self.assertTrue(lines[3].startswith("Service Centre Time Stamp: 12/07/04 14:03:09"), lines)
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

        # Each went as two concatenated messages of 152 and 9 characters
        # that ask for a report and share a concatenation number of their own.
        pairs = list(zip(sent[0::2], sent[1::2]))
        numbers = set()
        for part, (first, second) in zip(expected, pairs):
            headers = [bytes.fromhex(s["udh"]) for s in (first, second)]
            self.assertEqual([h[:2] + h[3:] for h in headers], [b"\x00\x03\x02\x01", b"\x00\x03\x02\x02"])
            self.assertEqual(headers[0][2], headers[1][2])
            numbers.add(headers[0][2])
            self.assertEqual(first["text"] + second["text"], part)
            self.assertEqual(len(first["text"]), 152)
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


class RefusedSend(SendingTest):
    def test_refused_message_goes_to_the_end_of_the_queue_and_is_sent_after_reconnection(self):
        self.start()
        self.modem.fault("send", "cms:500", count=1, stage="pdu")
        opened = len(self.modem.events("open"))
        # Two messages in one request: the first is refused and must come
        # after the second.
        self.kstsend("+420600000001,+420600000002", "Twice")
        error = self.wait_record_prefix("error.log", "Send SMS requested but error occured: ")
        self.assertIn("500", error["lines"][0])
        self.assertEqual(error["type"], "e")
        self.assertEqual(error["lines"][1:], ["IP Address: 127.0.0.1", "Destination Address: +420600000001",
                                              "User Data: Twice", "OnDisplay: No"])

        sent = self.wait_sent(2, timeout=60)
        self.assertEqual([s["destination"] for s in sent], ["+420600000002", "+420600000001"])
        self.assertEqual(len(self.modem.events("send-refused")), 1)
        # The connection was dropped and made again by the manager.
        self.assertGreater(len(self.modem.events("open")), opened)
        self.assertGreaterEqual(self.routings_set(), 2)
        stats = self.stats()
        self.assertEqual((stats["sent"], stats["queued"]), ("2", "0"))
        accepted = [r for r in self.records("access.log") if r["lines"][0] == "Send SMS requested"]
        self.assertEqual([r["lines"][2] for r in accepted],
                         ["Destination Address: +420600000002", "Destination Address: +420600000001"])

    def wait_record_prefix(self, name, prefix, timeout=30.0):
        return wait_until(lambda: next((r for r in self.records(name) if r["lines"][0].startswith(prefix)), None),
                          timeout, what="a record beginning %r" % prefix)

    def test_repeated_refusals_reconnect_each_time(self):
        self.start()
        self.modem.fault("send", "cms:38", count=3, stage="pdu")
        self.kstsend(TARGET, "Persistent")
        sent = self.wait_sent(1, timeout=90)
        self.assertEqual(sent[0]["text"], "Persistent")
        refusals = [r for r in self.records("error.log")
                    if r["lines"][0].startswith("Send SMS requested but error occured: ")]
        self.assertEqual(len(refusals), 3)
        self.assertEqual(len(self.modem.sent()), 1)
        self.assertGreaterEqual(self.routings_set(), 3)


if __name__ == "__main__":
    import unittest
    unittest.main(verbosity=2)
