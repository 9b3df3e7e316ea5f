"""Debian's gsmlib, used as the daemon's modem sender uses it, against the
modem emulator on a pseudo-terminal."""

import os
import shutil
import sys
import unittest

import modememu
from probe import Probe

# gsmlib's GsmErrorClass values
CHAT_ERROR = 2
CAPABILITY_ERROR = 5
OS_ERROR = 0

# Event types of gsmlib's GsmEvent
NORMAL_SMS, CELL_BROADCAST, STATUS_REPORT = 0, 1, 2

WORK_ROOT = os.path.join(modememu.build_dir(), "tests", "modem", "work-gsmlib")


class ModemTest(unittest.TestCase):
    emulator_args = ()

    def setUp(self):
        self.workdir = os.path.join(WORK_ROOT, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.workdir, ignore_errors=True)
        os.makedirs(self.workdir)
        self.modem = modememu.ModemEmu(self.workdir, args=self.emulator_args).start()
        self.addCleanup(self.modem.stop)
        self.probe = Probe(self.workdir)
        self.addCleanup(self.probe.close)

    def connect(self, pin="-"):
        return self.probe.connect(self.modem.device, pin=pin)

    def wait_indications(self, count, rounds=6):
        """waitEvent (5 s at most each) until count indications arrived."""
        seen = []
        for _ in range(rounds):
            answer = self.probe.ok("wait 5")
            seen.extend(answer["indications"])
            if len(seen) >= count:
                break
        return seen

    def drain(self):
        answer, entries = self.probe.run("drain")
        self.assertTrue(answer["ok"], answer)
        return entries


class ConnectionTest(ModemTest):
    def test_open_pin_meta_init_and_routing_off(self):
        pin, meta, init = self.connect()
        self.assertEqual(pin["status"], "READY")
        self.assertNotIn("status2", pin)
        self.assertEqual((meta["manufacturer"], meta["model"], meta["revision"], meta["serial"]),
                         ("Kestrova Test Modems", "KTM-900", "1.0.7", "351234567890123"))
        self.assertEqual(meta["stores"], ["SM", "ME", "MT"])
        self.assertEqual(init["stores"], ["SM", "SM", "SM"])
        self.assertEqual(init["routing"], "full")
        self.probe.ok("routing 0 0 0 1")
        # What gsmlib sends, in order, for open, PIN check, MeTa, getMEInfo,
        # getSMSStoreNames, getSMSStore, setMessageService(1), routing on/off.
        identity = ["AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN"]
        self.assertEqual(self.modem.commands(), [
            "ATZ", "ATE0", "AT+CPIN?",
            "AT+CMEE=1", "AT+CMGF=0"] + identity + ["AT+CSMS?", 'AT+CSCS="GSM"'] +
            identity + ["AT+CPMS=?", "AT+CPMS?", "AT+CSMS=1",
                        "AT+CNMI=?", "AT+CNMI=2,1,0,2,1",
                        "AT+CNMI=?", "AT+CNMI=2,0,0,0,1"])
        self.assertEqual(self.modem.status()["cnmi"], [2, 0, 0, 0, 1])

    def test_baud_rate_text_and_reconnect(self):
        self.probe.ok("open %s 9600 5" % self.modem.device)
        self.probe.ok("pin -")
        self.probe.ok("meta")
        self.probe.ok("init")
        self.probe.ok("close")
        self.modem.wait_event("close", timeout=5)
        self.assertEqual(self.modem.status()["cnmi"], [2, 1, 0, 2, 1])
        # The daemon's reconnect: a new port and MeTa on the same device.
        since = self.modem.last_seq()
        self.connect()
        self.assertEqual(self.modem.commands(since)[0], "ATZ")
        self.assertEqual(self.modem.status()["cnmi"], [2, 1, 0, 2, 1])
        self.assertTrue(self.modem.events("open", since))

    def test_unknown_baud_rate_is_refused(self):
        answer, _ = self.probe.run("open %s 12345 5" % self.modem.device)
        self.assertFalse(answer["ok"])
        self.assertIn("unknown baudrate '12345'", answer["error"])

    def test_status_report_routing_refused_by_capabilities(self):
        self.modem.fault("routing", "caps")
        _, _, init = self.connect()
        self.assertEqual(init["first_class"], CAPABILITY_ERROR)
        self.assertEqual(init["first_error"], "cannot route status reports messages to TE")
        self.assertEqual(init["routing"], "fallback")
        cnmi = [c for c in self.modem.commands() if c.startswith("AT+CNMI")]
        self.assertEqual(cnmi, ["AT+CNMI=?", "AT+CNMI=?", "AT+CNMI=2,1,0,0,1"])

    def test_status_report_routing_refused_by_an_error_is_no_capability_error(self):
        for value in ("error", "error-plain"):
            self.modem.fault("routing", value)
            answer, _ = self.probe.run("open %s - 5" % self.modem.device)
            self.assertTrue(answer["ok"])
            self.probe.ok("pin -")
            self.probe.ok("meta")
            answer, _ = self.probe.run("init")
            self.assertFalse(answer["ok"])
            self.assertEqual(answer["first_class"], CHAT_ERROR)
            self.assertNotIn("routing", answer)
            self.probe.ok("close")


class SilentAtOpenTest(ModemTest):
    emulator_args = ("--silent",)

    def test_port_retries_atz_until_the_modem_answers(self):
        # gsmlib waits 3 s for the first ATZ, then 60 s for each of two more
        # (about two minutes when the modem never answers); one that wakes
        # up in between is taken on the next try.
        self.probe.proc.stdin.write(("open %s - 5\n" % self.modem.device).encode())
        self.probe.proc.stdin.flush()
        self.modem.wait_command("ATZ", timeout=10)
        self.modem.fault("silent", "off")
        answer, earlier = self.probe.run("pin -", timeout=90)
        self.assertEqual([e["ok"] for e in earlier if e["op"] == "open"], [True])
        self.assertTrue(answer["ok"], answer)
        self.assertEqual(self.modem.commands()[:3], ["ATZ", "ATZ", "ATE0"])


class PinTest(ModemTest):
    emulator_args = ("--pin", "4711")

    def test_pin_accepted(self):
        pin, meta, init = self.connect(pin="4711")
        self.assertEqual((pin["status"], pin["answer"], pin["status2"]),
                         ("SIM PIN", "OK", "READY"))
        self.assertIn("AT+CPIN=4711", self.modem.commands())
        self.assertEqual(init["routing"], "full")

    def test_wrong_pin_answers_cme_error_16(self):
        self.probe.ok("open %s - 5" % self.modem.device)
        answer, _ = self.probe.run("pin 1111")
        self.assertFalse(answer["ok"])
        self.assertEqual(answer["status"], "SIM PIN")
        self.assertEqual(answer["answer"], "+CME ERROR: 16")
        self.assertEqual(self.modem.status()["sim"], "SIM PIN")

    def test_store_commands_need_the_pin(self):
        self.probe.ok("open %s - 5" % self.modem.device)
        answer, _ = self.probe.run("pin -")
        self.assertFalse(answer["ok"])
        self.assertEqual(answer["status"], "SIM PIN")
        # gsmlib itself opens without the PIN; the stores then refuse.
        self.probe.ok("meta")
        answer, _ = self.probe.run("init")
        self.assertFalse(answer["ok"])
        self.assertEqual(answer.get("code"), 311)


class SendTest(ModemTest):
    def setUp(self):
        super().setUp()
        self.connect()

    def test_send_returns_incrementing_references_and_the_pdu_is_decoded(self):
        first = self.probe.ok("send +420777123456 1 f0 Hello world")
        second = self.probe.ok("send 0777123456 0 - Second text")
        self.assertEqual((first["mr"], second["mr"]), (1, 2))
        self.assertEqual((first["dcs"], second["dcs"]), (0xF0, 0))
        sent = self.modem.sent()
        self.assertEqual([(s["destination"], s["dcs"], s["status_report_request"], s["text"],
                           s["mr"]) for s in sent],
                         [("+420777123456", 0xF0, True, "Hello world", 1),
                          ("0777123456", 0, False, "Second text", 2)])
        self.assertEqual(sent[0]["message_class"], 0)
        # gsmlib's own fields of the SUBMIT: reference 0, relative validity.
        self.assertEqual((sent[0]["submit_mr"], sent[0]["validity_format"]), (0, 2))

    def test_reference_wraps_after_255(self):
        self.modem.set(next_mr=255)
        refs = [self.probe.ok("send +420777123456 0 - n%d" % i)["mr"] for i in range(2)]
        self.assertEqual(refs, [255, 0])

    def test_long_text_goes_out_in_several_messages(self):
        text = "".join(chr(ord("a") + i % 26) for i in range(200))
        answer = self.probe.ok("sendmany +420777123456 1 - " + text)
        self.assertNotIn("mr", answer)
        # With a concatenation id, parts carry a user data header and 152 characters.
        self.assertEqual([(s["text"], s["udh"]) for s in self.modem.sent()],
                         [(text[:152], "0003010201"), (text[152:], "0003010202")])

    def test_refused_send_raises_with_the_cms_code(self):
        self.modem.fault("send", "cms:500", count=1)
        answer, _ = self.probe.run("send +420777123456 1 f0 refused")
        self.assertFalse(answer["ok"])
        self.assertEqual((answer["class"], answer["code"]), (CHAT_ERROR, 500))
        self.assertEqual(self.modem.sent(), [])
        self.assertEqual(self.probe.ok("send +420777123456 1 f0 again")["mr"], 1)

    def test_refusal_at_the_prompt_is_retried_by_gsmlib(self):
        self.modem.fault("send", "cms:500", stage="prompt", count=3)
        answer = self.probe.ok("send +420777123456 0 - tried four times")
        self.assertEqual(answer["mr"], 1)
        attempts = [c for c in self.modem.commands() if c.startswith("AT+CMGS")]
        self.assertEqual(len(attempts), 4)
        self.assertEqual(len(set(attempts)), 1)

    def test_silent_modem_times_out_after_the_port_timeout(self):
        self.modem.fault("silent", "on")
        answer, _ = self.probe.run("send +420777123456 0 - nobody answers", timeout=60)
        self.assertFalse(answer["ok"])
        self.assertEqual(answer["class"], OS_ERROR)
        self.assertIn("timeout when reading from TA", answer["error"])
        self.assertGreaterEqual(answer["ms"], 4000)


class ReceiveTest(ModemTest):
    def setUp(self):
        super().setUp()
        self.connect()

    def test_received_sms_is_indicated_read_and_erased(self):
        stored = self.modem.deliver("+420603111222", "Incoming test", scts="2024-05-06 07:08:09")
        self.assertEqual((stored["store"], stored["index"], stored["indicated"]), ("SM", 1, "SM"))
        seen = self.wait_indications(1)
        self.assertEqual(seen, [{"store": "SM", "index": 0, "type": NORMAL_SMS}])
        [entry] = self.drain()
        self.assertEqual((entry["type_name"], entry["originator"], entry["sca"],
                          entry["user_data"]),
                         ("SMS_DELIVER", "+420603111222", "+420603052000", "Incoming test"))
        # Timestamp::toString(true): locale date and time, the zone, and a NUL.
        self.assertEqual(entry["scts"], "05/06/24 07:08:09 (-0000)\x00")
        self.assertEqual(self.modem.entries("SM"), [])
        self.assertIn("AT+CMGD=1", self.modem.commands())
        # An empty slot reads as a null message, not as an error.
        self.assertTrue(self.probe.ok("read SM 0")["null"])

    def test_time_zone_sign_comes_out_inverted(self):
        self.modem.deliver("+420603111222", "east", scts="2024-05-06 07:08:09", tz=4)
        self.modem.deliver("+420603111222", "west", scts="2024-05-06 07:08:09", tz=-8)
        self.wait_indications(2)
        zones = [e["scts"] for e in self.drain()]
        self.assertEqual(zones, ["05/06/24 07:08:09 (-0100)\x00", "05/06/24 07:08:09 (+0200)\x00"])

    def test_status_report_for_a_sent_message(self):
        mr = self.probe.ok("send +420777123456 1 f0 report me")["mr"]
        stored = self.modem.report(mr, status=0, discharge="2024-05-06 07:08:09",
                                   scts="2024-05-06 07:08:01")
        self.assertEqual(stored["indicated"], "SM")
        seen = self.wait_indications(1)
        self.assertEqual(seen, [{"store": "SM", "index": 0, "type": STATUS_REPORT}])
        [entry] = self.drain()
        self.assertEqual((entry["type_name"], entry["recipient"], entry["mr"], entry["status"],
                          entry["status_text"], entry["discharge"], entry["scts"]),
                         ("SMS_STATUS_REPORT", "+420777123456", mr, 0,
                          "Short message received by the SME",
                          "05/06/24 07:08:09 (-0000)\x00", "05/06/24 07:08:01 (-0000)\x00"))
        self.assertEqual(entry["user_data"], "")

    def test_failed_delivery_report(self):
        mr = self.probe.ok("send +420777123456 1 - fails")["mr"]
        self.modem.report(mr, status=0x41)
        self.wait_indications(1)
        [entry] = self.drain()
        self.assertEqual((entry["mr"], entry["status"]), (mr, 0x41))
        self.assertEqual(entry["status_text"], "Incompatible destination (Permanent Error, "
                         "SC is not making any more transfer attempts)")

    def test_cell_broadcast_and_stored_submit(self):
        self.modem.cell_broadcast("Cell info", route="indicate")
        self.modem.submit_entry("+420111", "stored submit", indicate=True)
        seen = self.wait_indications(2)
        self.assertEqual(sorted(i["type"] for i in seen), [NORMAL_SMS, CELL_BROADCAST])
        entries = {e["indicated_type"]: e for e in self.drain()}
        cb = entries[CELL_BROADCAST]
        self.assertEqual((cb["store"], cb["cb_id"], cb["cb_data"].rstrip("\r")),
                         ("BM", 50, "Cell info"))
        submit = entries[NORMAL_SMS]
        self.assertEqual((submit["type_name"], submit["destination"], submit["user_data"]),
                         ("SMS_SUBMIT", "+420111", "stored submit"))
        self.assertEqual(self.modem.entries("BM") + self.modem.entries("SM"), [])

    def test_cell_broadcasts_are_dropped_with_the_daemons_routing(self):
        self.assertTrue(self.modem.cell_broadcast("dropped")["dropped"])

    def test_stored_without_indication_is_found_by_a_flush(self):
        self.modem.fault("indications", "off")
        self.modem.deliver("+420603111222", "first")
        self.modem.deliver("+420603111333", "second")
        self.assertEqual(self.probe.ok("wait 0.5")["indications"], [])
        answer, entries = self.probe.run("flush SM")
        self.assertTrue(answer["ok"])
        self.assertEqual((answer["count"], answer["capacity"]), (2, 20))
        self.assertEqual([(e["index"], e["user_data"]) for e in entries],
                         [(0, "first"), (1, "second")])
        self.assertEqual(self.modem.entries("SM"), [])

    def test_direct_routing_delivers_to_the_event_handler(self):
        # Only with onlyReceptionIndication false does gsmlib ask for +CMT
        # and +CDS, which arrive as SMSReception events.
        self.probe.ok("routing 1 0 1 0")
        self.assertEqual(self.modem.commands()[-1], "AT+CNMI=2,2,0,1,1")
        mr = self.probe.ok("send +420777123456 1 - direct")["mr"]
        self.modem.deliver("+420603111222", "straight in")
        self.modem.report(mr)
        events = []
        for _ in range(4):
            answer, extra = self.probe.run("wait 5")
            self.assertTrue(answer["ok"], answer)
            events += [e for e in extra if e.get("event") == "SMSReception"]
            if len(events) >= 2:
                break
        self.assertEqual(sorted((e["type"], e["message_type"]) for e in events),
                         [(NORMAL_SMS, 0), (STATUS_REPORT, 2)])
        # +CSMS? answered service 0 when the MeTa was made, so gsmlib never
        # acknowledges with +CNMA, even after setMessageService(1).
        self.assertNotIn("AT+CNMA", self.modem.commands())


class ReceiveStoreTest(ModemTest):
    emulator_args = ("--stores", "SM,ME", "--alias", "MT=ME", "--cpms", "ME,ME,ME")

    def test_indication_for_mt_is_read_from_the_receive_store(self):
        self.modem.set(indication_store="MT")
        _, _, init = self.connect()
        self.assertEqual(init["stores"], ["ME", "ME", "ME"])
        self.modem.deliver("+420603111222", "via MT")
        seen = self.wait_indications(1)
        self.assertEqual(seen, [{"store": "MT", "index": 0, "type": NORMAL_SMS}])
        [entry] = self.drain()
        self.assertEqual((entry["store"], entry["user_data"]), ("ME", "via MT"))
        self.assertIn('AT+CPMS="ME"', self.modem.commands())


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    failed = len(result.failures) + len(result.errors)
    print("%d passed, %d failed" % (result.testsRun - failed, failed))
    sys.exit(1 if failed else 0)
