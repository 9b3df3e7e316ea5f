"""Both senders configured: the SMSC sender (at the SMSC simulator) is used
while it is connected, the modem (at the modem emulator) while it is not,
and no message is lost or sent twice across the switches. A status report
of the modem never confirms a message the SMSC sender registered."""

import time

from kst import wait_until
from mesender import MeSenderTest
from smscsim import SmscSim
from smtpserver import SmtpServer

EMI_ACTIVE = ("Sender thread(EMI): used for sending", "Sender thread(ME): connected")
ME_ACTIVE = ("Sender thread(EMI): disconnected", "Sender thread(ME): used for sending")


class BothSenders(MeSenderTest):
    def setUp(self):
        super().setUp()
        self.sim = SmscSim()
        self.addCleanup(self.sim.cleanup)
        self.smtp = SmtpServer()
        self.addCleanup(self.smtp.cleanup)

    def start(self):
        emi = {"Address": "127.0.0.1", "Port": str(self.sim.ucp_port), "WindowSize": "10", "Throughput": "100"}
        smtp = "[SMTP]\nServerHost = 127.0.0.1\nServerPort = %d\n" % self.smtp.port
        self.start_kstd(me=self.me_section(), emi=emi, extra=smtp)
        wait_until(lambda: self.modem.status()["cnmi"] == [2, 1, 0, 2, 1], 30, what="the modem's routing")
        self.wait_devices(EMI_ACTIVE)

    def devices(self):
        stats = self.stats()
        return stats.get("device 1"), stats.get("device 2")

    def wait_devices(self, expected, timeout=30.0):
        wait_until(lambda: self.devices() == expected, timeout, what="devices %s" % (expected,))

    def submitted_texts(self, sim):
        return [s["text"] for s in sim.submissions()]

    def modem_texts(self):
        return [s["text"] for s in self.modem.sent()]


class Failover(BothSenders):
    def test_modem_sends_while_the_smsc_is_away(self):
        self.start()
        port = self.sim.ucp_port
        self.kstsend("+420600000001", "one")
        self.sim.wait_for(lambda: "one" in self.submitted_texts(self.sim), 20, what="'one' at the SMSC")
        first_smsc = self.submitted_texts(self.sim)
        self.assertEqual(self.modem_texts(), [])

        self.sim.stop()
        self.kstsend("+420600000002", "two")
        self.kstsend("+420600000003", "three")
        wait_until(lambda: len(self.modem_texts()) >= 2, 60, what="two messages through the modem")
        self.assertEqual(self.devices(), ME_ACTIVE)

        # The SMSC comes back on the same port: the SMSC sender is
        # reconnected and preferred again, the modem only connected.
        self.sim = SmscSim(port=port)
        self.addCleanup(self.sim.cleanup)
        self.wait_devices(EMI_ACTIVE, timeout=60)
        self.kstsend("+420600000004", "four")
        self.sim.wait_for(lambda: "four" in self.submitted_texts(self.sim), 30, what="'four' at the SMSC")
        # Time for anything sent twice to show up.
        time.sleep(3)
        second_smsc = self.submitted_texts(self.sim)
        modem = self.modem_texts()
        self.assertEqual(sorted(first_smsc + modem + second_smsc), sorted(["one", "two", "three", "four"]))
        self.assertEqual(sorted(modem), ["three", "two"])
        stats = self.stats()
        self.assertEqual((stats["sent"], stats["queued"]), ("4", "0"))
        self.sim.assert_no_violations()


class Owners(BothSenders):
    def test_modem_report_does_not_confirm_a_message_of_the_smsc_sender(self):
        self.sim.set_mode(notify=False)
        self.start()
        target = "+420603111222"
        self.kstsend("-m", "someone@example.org", target, "Through the SMSC")
        result = self.sim.wait_for(lambda: self.sim.sent(ot=51, or_="R"), 20, what="the SMSC's result")[0]
        adc, _, scts = result["SM"].partition(":")

        # The SMSC sender's acknowledged entry carries reference 0; a modem
        # report quoting 0 for the same number is not about it.
        self.modem.report(0, recipient=target)
        report = self.wait_record("receive.log", "Status Report received")[0]
        self.assertNotIn("Notification e-mail: ", "\n".join(report["lines"]))
        time.sleep(2)
        self.assertEqual(self.smtp.messages(), [])

        # The entry is still there for the SMSC's own notification.
        self.sim.notify(adc, scts, 0)
        mail = self.smtp.wait_for_messages(1, timeout=30)[0]
        self.assertEqual(mail.rcpt_tos, ["someone@example.org"])
        self.assertIn("Through the SMSC", mail.body)


if __name__ == "__main__":
    import unittest
    unittest.main(verbosity=2)
