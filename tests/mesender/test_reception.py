"""Reception through the modem: received messages run the configured
executables with their nine variables and are logged and counted;
indications for "MT", cell broadcasts, stored messages of other kinds,
indications of empty or missing entries, and the flush of the receive
store. Real kstd, modem emulator, kstsend and shell scripts."""

import os
import signal
import time

from kst import Gate, wait_until
from mesender import MeSenderTest

ORIGINATOR = "+420603111222"
NAMES = ["OA", "SCADDRESS", "SCTIME", "ALPHABET", "UD", "MWI_ENABLED", "MWI", "CLASS", "UDHI"]


class ReceptionTest(MeSenderTest):
    def start(self, hide=(), receive_all=False, sections=""):
        self.executables, self.dump_dir = self.dump_executables()
        self.start_kstd(self.me_section(ReceiveAllSms="1" if receive_all else "0"),
                        extra="[SmsProcessing]\nExecutables = %s\n" % self.executables + sections, hide=hide)
        self.wait_ready()

    def wait_dumps(self, count, timeout=30.0):
        return wait_until(lambda: self.read_dumps(self.dump_dir) if len(self.read_dumps(self.dump_dir)) >= count
                          else None, timeout, what="%d run(s) of the executables" % count)

    def occupied(self, store="SM"):
        return self.modem.entries(store)


class Deliver(ReceptionTest):
    def test_received_message_runs_the_executables_and_is_logged_hidden(self):
        self.start(hide=("ReceiveLog_HideOriginatingAddress", "ReceiveLog_HideUserData"))
        text = "Hi; echo $HOME > /dev/null"
        self.modem.deliver(ORIGINATOR, text, scts="2024-05-06 07:08:09")
        dumps = self.wait_dumps(2)
        self.assertEqual([name.split("-", 1)[1] for name, _ in dumps], ["first", "second"])
        for _, env in dumps:
            values = [env.get(name) for name in NAMES]
            self.assertEqual(values[0], ORIGINATOR)
            self.assertEqual(values[1], "+420603052000")
            self.assertTrue(values[2].startswith("05/06/24 07:08:09 ("), values[2])
            self.assertEqual(values[3:], ["7bit", text, "", "", "", ""])

        record = self.wait_record("receive.log", "SMS received")[0]
        self.assertEqual(record["type"], "i")
        self.assertEqual(record["lines"], ["SMS received", "SC Address: +420603052000",
                                           "Originating Address: <hidden>",
                                           "Timestamp: " + dumps[0][1]["SCTIME"], "User data: <hidden>"])
        self.assertNotIn("\0", self.sandbox.read_log("receive.log"))
        self.assertEqual(self.stats()["received"], "1")
        # Read and deleted from the store it was indicated in.
        self.assertEqual(self.occupied(), [])
        commands = self.modem.commands()
        self.assertIn("AT+CMGR=%d" % 1, commands)
        self.assertIn("AT+CMGD=%d" % 1, commands)

    def test_indication_for_mt_reads_the_receive_store(self):
        self.start()
        self.modem.set(indication_store="MT")
        since = self.modem.last_seq()
        answer = self.modem.deliver(ORIGINATOR, "Via MT")
        self.assertEqual(answer["indicated"], "MT")
        self.wait_dumps(2)
        record = self.wait_record("receive.log", "SMS received")[0]
        self.assertEqual(record["lines"][-1], "User data: Via MT")
        store_selections = [c for c in self.modem.commands(since) if c.startswith("AT+CPMS=")]
        self.assertNotIn('AT+CPMS="MT"', store_selections)
        self.assertIn('AT+CPMS="SM"', store_selections)
        self.assertEqual(self.occupied(), [])

    def test_several_messages_in_order(self):
        self.start()
        for number in range(3):
            self.modem.deliver(ORIGINATOR, "Message %d" % number)
        records = self.wait_record("receive.log", "SMS received", count=3)
        self.assertEqual([r["lines"][-1] for r in records],
                         ["User data: Message %d" % n for n in range(3)])
        dumps = self.wait_dumps(6)
        self.assertEqual([env["UD"] for _, env in dumps],
                         ["Message %d" % n for n in range(3) for _ in range(2)])
        self.assertEqual(self.stats()["received"], "3")
        self.assertEqual(self.occupied(), [])


class Unicode(ReceptionTest):
    def test_extension_characters_ucs2_and_concatenated_parts_reach_the_executables_as_utf8(self):
        """Encoding = unicode: a 7-bit text with the extension table (read
        again as its PDU, as gsmlib loses the escape) and Greek capitals, and
        a UCS-2 message in two parts (the second first) reach the executables
        as UTF-8, the parts as one run with the joined text."""
        self.start(sections="[General]\nEncoding = unicode\n")
        gsm = "Cena 5\u20ac [sleva] {x} ~|^\\ \u0394\u03a3 @"
        self.modem.deliver(ORIGINATOR, gsm)
        first = self.wait_dumps(2)
        # The dumps read the environment as ISO-8859-1.
        as_read = lambda text: text.encode("utf-8").decode("latin-1")  # noqa: E731
        self.assertEqual([(env["ALPHABET"], env["UD"]) for _, env in first], [("7bit", as_read(gsm))] * 2)
        whole = "\u017dlu\u0165ou\u010dk\u00fd k\u016f\u0148 \U0001F40E \u0440\u0443\u0441\u0441\u043a\u0438\u0439"
        self.modem.deliver("+420603999888", whole[10:], dcs=8, udh="0003330202")
        time.sleep(1)
        self.assertEqual(len(self.read_dumps(self.dump_dir)), 2)
        self.modem.deliver("+420603999888", whole[:10], dcs=8, udh="0003330201")
        dumps = self.wait_dumps(4)
        self.assertEqual([(env["OA"], env["ALPHABET"], env["UD"]) for _, env in dumps[2:]],
                         [("+420603999888", "ucs2", as_read(whole))] * 2)
        record = self.wait_record("receive.log", "Concatenated SMS joined")[0]
        self.assertIn("Parts: 2", record["lines"])
        wait_until(lambda: self.occupied() == [] or None, 10, what="the store emptied")
        self.assertEqual(self.stats()["received"], "3")


class OtherEntries(ReceptionTest):
    def test_cell_broadcast_is_printed_and_deleted(self):
        self.start()
        answer = self.modem.cell_broadcast("Storm warning", route="indicate")
        self.assertEqual(answer["store"], "BM")
        self.wait_output(r"Storm warning")
        wait_until(lambda: self.occupied("BM") == [], 20, what="the broadcast deleted")
        self.assertEqual(self.records("receive.log"), [])
        self.assertEqual(self.stats()["received"], "0")

    def test_submit_found_in_the_store_is_ignored_and_deleted(self):
        self.start()
        self.modem.submit_entry("+420777000222", "Draft", indicate=True)
        # Deleted once handled.
        wait_until(lambda: self.occupied() == [], 20, what="the entry deleted")
        self.assertEqual(self.records("receive.log"), [])

    def test_indications_of_empty_and_missing_entries_are_survived(self):
        self.start()
        for round, answer in enumerate(("cms", "ok"), 1):
            with self.subTest(empty_slot=answer):
                self.modem.fault("empty_slot", answer)
                since = self.modem.last_seq()
                # An empty slot, then one the store does not have.
                self.modem.command("urc", lines=['+CMTI: "SM",7', '+CMTI: "SM",99'])
                # The empty one is read and erased.
                wait_until(lambda: "AT+CMGD=7" in self.modem.commands(since), 20, what="the empty entry erased")
                self.assertIn("AT+CMGR=7", self.modem.commands(since))
                # The sender is still connected and receives; its indication
                # is handled after the two above.
                before = len(self.records("receive.log"))
                self.modem.deliver(ORIGINATOR, "After " + answer)
                record = self.wait_record("receive.log", "SMS received", count=before + 1)[-1]
                self.assertEqual(record["lines"][-1], "User data: After " + answer)
                commands = self.modem.commands(since)
                self.assertNotIn("AT+CMGR=99", commands)
                self.assertNotIn("AT+CMGD=99", commands)
                self.assertEqual(self.modem.events("open", since), [], "the line was never opened again")


class ReceiveAll(ReceptionTest):
    def test_messages_stored_without_indication_are_flushed(self):
        self.modem.fault("indications", "off")
        # One waits in the store before the daemon starts.
        self.modem.deliver(ORIGINATOR, "Before start", route="store")
        self.start(receive_all=True)
        self.modem.deliver(ORIGINATOR, "Silent one")
        self.modem.report(1, recipient=ORIGINATOR, route="store")
        records = self.wait_record("receive.log", "SMS received", count=2)
        self.assertEqual(sorted(r["lines"][-1] for r in records),
                         ["User data: Before start", "User data: Silent one"])
        self.wait_record("receive.log", "Status Report received")
        wait_until(lambda: self.occupied() == [], 20, what="the store flushed")
        self.assertEqual(self.stats()["received"], "2")
        self.wait_dumps(4)

    def test_without_receive_all_silent_messages_stay(self):
        self.modem.fault("indications", "off")
        self.start(receive_all=False)
        self.modem.deliver(ORIGINATOR, "Stays")
        time.sleep(7)
        self.assertEqual(self.records("receive.log"), [])
        self.assertEqual(len(self.occupied()), 1)
        self.assertFalse([c for c in self.modem.commands() if c.startswith(("AT+CMGR", "AT+CMGL"))],
                         "no entry was read")


class Durable(ReceptionTest):
    def test_a_message_read_before_a_kill_runs_its_executables_after_the_restart_once(self):
        _, self.dump_dir = self.dump_executables()
        script = os.path.join(self.sandbox.root, "dump-env.sh")

        def start(run):
            gate = Gate(self.sandbox.root, run)
            self.addCleanup(gate.close)
            self.start_kstd(self.me_section(),
                            extra="[SmsProcessing]\nExecutables = %s\n"
                            % gate.command([script, "run%d" % run, self.dump_dir]))
            self.wait_ready()
            return gate

        gate = start(1)
        self.modem.deliver(ORIGINATOR, "Kept")
        wait_until(gate.started, timeout=30, what="the executables to start")
        # Committed before it was deleted from the modem's memory.
        wait_until(lambda: self.occupied() == [], timeout=10, what="the entry to be deleted")
        self.kstd.signal(signal.SIGKILL)
        self.kstd.wait(10)
        self.kstd = None
        if os.path.exists(self.sandbox.ior_path):
            os.unlink(self.sandbox.ior_path)
        gate.close()

        gate = Gate(self.sandbox.root, 2)
        gate.open()
        start(2)
        self.assertIn("Recovered 0 queued, 0 unacknowledged, 0 confirmations, 1 received messages",
                      "\n".join(self.error_log_texts()))
        dumps = self.wait_dumps(1)
        time.sleep(1.5)
        dumps = self.read_dumps(self.dump_dir)
        self.assertEqual([name.split("-", 1)[1] for name, _ in dumps], ["run2"])
        self.assertEqual((dumps[0][1]["OA"], dumps[0][1]["UD"]), (ORIGINATOR, "Kept"))


if __name__ == "__main__":
    import unittest
    unittest.main(verbosity=2)
