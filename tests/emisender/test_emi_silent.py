"""The SMSC sender in the real kstd against an SMSC that never answers
submissions: each message is submitted again about every 15 s, every
expired transaction id is logged once, the fifth submission ends the
connection and the message goes back to the queue; after the manager has
reconnected, it is delivered. About 80 seconds."""

import re

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
        self.assertEqual(len(records_titled(self.log("access.log"), "Send SMS requested")), 6)


if __name__ == "__main__":
    main()
