"""The modem emulator on its own: raw AT dialogue over the pty, PDU coding
and the control channel, including bad input on both sides."""

import json
import os
import select
import shutil
import socket
import sys
import termios
import time
import tty
import unittest

import modememu

sys.path.insert(0, os.path.join(modememu.source_dir(), "tools", "modememu"))
import smspdu  # noqa: E402

WORK_ROOT = os.path.join(modememu.build_dir(), "tests", "modem", "work-emulator")


class Terminal:
    """A raw terminal on the emulator's pty with bounded reads."""

    def __init__(self, device):
        self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.buf = b""

    def write(self, data):
        os.write(self.fd, data)

    def read_until(self, marker, timeout=5.0):
        deadline = time.monotonic() + timeout
        while marker not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r from the modem, got %r" % (marker, self.buf))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                self.buf += os.read(self.fd, 4096)
        head, _, self.buf = self.buf.partition(marker)
        return head + marker

    def at(self, command, final=(b"OK\r\n", b"ERROR"), timeout=5.0):
        """Send a command line; return the raw answer up to its final result."""
        self.write(command.encode("latin-1") + b"\r")
        deadline = time.monotonic() + timeout
        while True:
            for marker in final:
                idx = self.buf.find(marker)
                if idx < 0:
                    continue
                end = idx + len(marker)
                if not marker.endswith(b"\r\n"):
                    nl = self.buf.find(b"\r\n", end)
                    if nl < 0:
                        continue
                    end = nl + 2
                answer, self.buf = self.buf[:end], self.buf[end:]
                return answer.decode("latin-1")
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no final result for %r, got %r" % (command, self.buf))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                self.buf += os.read(self.fd, 4096)

    def lines(self, command):
        return [l for l in self.at(command).split("\r\n") if l]

    def close(self):
        os.close(self.fd)


class EmulatorTest(unittest.TestCase):
    emulator_args = ()

    def setUp(self):
        self.workdir = os.path.join(WORK_ROOT, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.workdir, ignore_errors=True)
        os.makedirs(self.workdir)
        self.modem = modememu.ModemEmu(self.workdir, args=self.emulator_args).start()
        self.addCleanup(self.modem.stop)
        self.term = Terminal(self.modem.device)
        self.addCleanup(self.term.close)
        self.modem.wait_event("open", timeout=5)


class AtDialogueTest(EmulatorTest):
    def test_framing_echo_and_chained_commands(self):
        # Echo is on after ATZ: the command comes back, then <CR><LF>OK<CR><LF>.
        self.assertEqual(self.term.at("ATZ"), "ATZ\r\r\nOK\r\n")
        self.assertEqual(self.term.at("ATE0"), "ATE0\r\r\nOK\r\n")
        self.assertEqual(self.term.at("AT"), "\r\nOK\r\n")
        self.assertEqual(self.term.lines("AT+CMEE=1;+CMGF=0;+CGMI"),
                         ["Kestrova Test Modems", "OK"])
        self.assertEqual(self.term.lines("ATI"), ["Kestrova Test Modems KTM-900", "OK"])
        self.assertEqual(self.term.lines("AT+CMGF=1"), ["+CMS ERROR: 303"])
        self.assertEqual(self.term.lines("AT+NOSUCH"), ["ERROR"])
        self.assertEqual(self.term.lines("AT+CMEE=0"), ["OK"])
        self.assertEqual(self.term.lines("AT+CMGR=99"), ["ERROR"])
        # A NUL inside the line (as gsmlib writes after numbers) is dropped.
        self.assertEqual(self.term.lines("AT+CMEE=1\x00"), ["OK"])
        self.assertEqual(self.modem.status()["cmee"], 1)

    def test_write_list_read_and_delete(self):
        self.term.at("ATE0")
        pdu = smspdu.build_submit("+420777000222", "kept")
        length = smspdu.tpdu_length(pdu)
        self.term.write(b"AT+CMGW=%d\r" % length)
        self.term.read_until(b"> ")
        self.term.write(pdu.encode() + b"\x1a")
        self.assertEqual([l for l in self.term.at("").split("\r\n") if l][-2:],
                         ["+CMGW: 1", "OK"])
        self.modem.deliver("+420603111222", "unread one")
        self.assertEqual(self.term.lines("AT+CMGL=0"),
                         ["+CMGL: 2,0,,%d" % smspdu.tpdu_length(self.modem.entries()[1]["pdu"]),
                          self.modem.entries()[1]["pdu"], "OK"])
        # Listing marked it read.
        self.assertEqual([e["stat"] for e in self.modem.entries()], [2, 1])
        self.assertEqual(self.term.lines("AT+CMGL=4")[0], "+CMGL: 1,2,,%d" % length)
        self.assertEqual(self.term.lines("AT+CMGD=1"), ["OK"])
        self.assertEqual(self.term.lines("AT+CMGR=1"), ["+CMS ERROR: 321"])
        self.assertEqual(self.term.lines("AT+CMGD=0"), ["+CMS ERROR: 321"])
        self.assertEqual(self.term.lines("AT+CMGD=1,4"), ["OK"])
        self.assertEqual(self.modem.entries(), [])

    def test_bad_pdus_are_refused_and_escape_cancels(self):
        self.term.at("ATE0")
        good = smspdu.build_submit("+420777000222", "x")
        for length, body in ((smspdu.tpdu_length(good) + 1, good), (10, "00GG"),
                             (10, "0011")):
            self.term.write(b"AT+CMGS=%d\r" % length)
            self.term.read_until(b"> ")
            self.term.write(body.encode() + b"\x1a")
            self.assertEqual(self.term.at("", final=(b"ERROR",)).split("\r\n")[-2],
                             "+CMS ERROR: 304")
        self.term.write(b"AT+CMGS=20\r")
        self.term.read_until(b"> ")
        self.term.write(b"0011\x1b")
        self.assertIn("OK", self.term.at(""))
        self.assertEqual(self.modem.sent(), [])
        self.assertEqual(len(self.modem.events("pdu-error")), 3)

    def test_garbage_on_the_line_leaves_the_modem_working(self):
        self.term.at("ATE0")
        self.term.write(bytes(range(256)) * 4 + b"\r\r\n\n")
        self.term.write(b"AT+CGMI\r")
        self.assertIn(b"Kestrova Test Modems", self.term.read_until(b"Kestrova Test Modems"))
        self.assertEqual(self.term.lines("AT"), ["OK"])
        self.assertEqual(self.modem.events("internal-error"), [])


class SimTest(EmulatorTest):
    emulator_args = ("--pin", "1234", "--puk", "87654321")

    def test_three_wrong_pins_block_until_the_puk(self):
        self.term.at("ATE0")
        self.assertEqual(self.term.lines("AT+CPIN?"), ["+CPIN: SIM PIN", "OK"])
        self.assertEqual(self.term.lines("AT+CPMS?"), ["+CMS ERROR: 311"])
        for _ in range(3):
            self.assertEqual(self.term.lines('AT+CPIN="0000"'), ["+CME ERROR: 16"])
        self.assertEqual(self.term.lines("AT+CPIN?"), ["+CPIN: SIM PUK", "OK"])
        self.assertEqual(self.term.lines("AT+CPIN=1234"), ["+CME ERROR: 16"])
        self.assertEqual(self.term.lines('AT+CPIN="87654321","2222"'), ["OK"])
        self.assertEqual(self.term.lines("AT+CPIN?"), ["+CPIN: READY", "OK"])
        self.assertEqual(self.term.lines("AT+CPIN=2222"), ["+CME ERROR: 3"])
        # The SIM keeps its state across ATZ.
        self.term.at("ATZ")
        self.term.at("ATE0")
        self.assertEqual(self.term.lines("AT+CPIN?"), ["+CPIN: READY", "OK"])


class IndicationTest(EmulatorTest):
    def test_indications_follow_cnmi_and_wait_for_a_finished_command(self):
        self.term.at("ATE0")
        stored = self.modem.deliver("+420603111222", "quiet")
        self.assertIsNone(stored["indicated"])  # +CNMI=0,0,... after power-on
        self.term.lines("AT+CNMI=2,1,0,2,1")
        # Half a command line typed: the indication waits for its end.
        self.term.write(b"AT+CG")
        deadline = time.monotonic() + 5
        while self.modem.status()["input_pending"] == 0:
            self.assertLess(time.monotonic(), deadline, "partial line never arrived")
            time.sleep(0.02)
        stored = self.modem.deliver("+420603111222", "loud")
        self.assertEqual(stored["indicated"], "SM")
        self.assertEqual(self.modem.lines("urc"), [])
        self.term.write(b"MI\r")
        answer = self.term.read_until(b'+CMTI: "SM",2\r\n')
        self.assertIn(b"Kestrova Test Modems", answer)
        self.modem.fault("indications", "off")
        self.assertIsNone(self.modem.deliver("+420603111222", "no noise")["indicated"])

    def test_reports_need_a_sent_reference_and_routing_decides_the_form(self):
        self.term.at("ATE0")
        with self.assertRaises(modememu.ModemEmuError):
            self.modem.report(7)
        self.term.lines("AT+CNMI=2,1,0,1,1")
        reply = self.modem.report(7, recipient="+420777000222", status=0x20)
        self.assertTrue(reply["direct"])
        raw = self.term.read_until(b"\r\n", timeout=5) + self.term.read_until(b"\r\n") + \
            self.term.read_until(b"\r\n")
        lines = [l for l in raw.decode().split("\r\n") if l]
        self.assertEqual(lines, ["+CDS: %d" % smspdu.tpdu_length(reply["pdu"]), reply["pdu"]])
        decoded = smspdu.decode_sc_to_me(reply["pdu"])
        self.assertEqual((decoded["mr"], decoded["recipient"], decoded["status"]),
                         (7, "+420777000222", 0x20))

    def test_full_store_is_reported_to_the_caller(self):
        for i in range(20):
            self.modem.deliver("+420603111222", "n%d" % i)
        with self.assertRaises(modememu.ModemEmuError) as ctx:
            self.modem.deliver("+420603111222", "one too many")
        self.assertIn("full", str(ctx.exception))


class ControlTest(EmulatorTest):
    def raw_control(self, payload):
        with socket.create_connection(("127.0.0.1", self.modem.port), timeout=5) as sock:
            sock.sendall(payload)
            return json.loads(sock.makefile("rb").readline())

    def test_bad_requests_get_an_error_reply(self):
        for payload in (b"{not json\n", b"[1,2]\n", b"\n", b"nosuch\n", b"fault name=bogus\n",
                        b"deliver dcs=zz\n", b"report\n", b"fault name=send value=cms:x\n",
                        b"set cpms=XX\n", b"\xff\xfe\n"):
            reply = self.raw_control(payload)
            self.assertFalse(reply["ok"], payload)
            self.assertTrue(reply["error"], payload)
        # The word form works for texts with blanks.
        reply = self.raw_control(b'deliver from=+420603111222 "text=two words"\n')
        self.assertTrue(reply["ok"])
        self.assertEqual(self.modem.entries()[0]["decoded"]["text"], "two words")
        self.assertEqual(self.modem.status()["slave_open"], True)

    def test_reopening_the_device(self):
        self.term.close()
        self.modem.wait_event("close", timeout=5)
        since = self.modem.last_seq()
        self.term = Terminal(self.modem.device)
        self.modem.wait_event("open", timeout=5, since=since)
        self.assertEqual(self.term.at("ATE0"), "ATE0\r\r\nOK\r\n")


class PduCodingTest(unittest.TestCase):
    def test_known_deliver_pdu(self):
        decoded = smspdu.decode_sc_to_me(
            "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07")
        self.assertEqual((decoded["sca"], decoded["originator"], decoded["text"]),
                         ("+31624000000", "+31641600986", "How are you?"))
        self.assertEqual(decoded["scts"]["time"], "02-08-26 19:37:41")

    def test_round_trips(self):
        cases = [("Hello [world] {~} \u20ac 100%", 0x00), ("\u017elu\u0165ou\u010dk\u00fd", 0x08),
                 ("8-bit \xe9", 0x04), ("class 0", 0xF0)]
        for text, dcs in cases:
            pdu = smspdu.build_deliver("+420603111222", text, sca="+420603052000", dcs=dcs)
            decoded = smspdu.decode_sc_to_me(pdu)
            self.assertEqual((decoded["text"], decoded["dcs"]), (text, dcs))
            submit = smspdu.decode_submit(smspdu.build_submit("12345", text, dcs=dcs))
            self.assertEqual((submit["text"], submit["destination"]), (text, "12345"))
        # A user data header shifts 7-bit text by fill bits.
        pdu = smspdu.build_deliver("+1", "after header", udh=bytes.fromhex("0003010201"))
        decoded = smspdu.decode_sc_to_me(pdu)
        self.assertEqual((decoded["text"], decoded["udh"]), ("after header", "0003010201"))

    def test_submitted_user_data_header_coding_and_length(self):
        # Concatenation with an 8-bit and a 16-bit reference, before 7-bit
        # text (fill bits) and before UCS2; other elements are listed too.
        cases = [("0003A70302", 0x00, "[part] \u20ac", {"reference": 0xA7, "reference_bits": 8,
                                                       "count": 3, "number": 2}),
                 ("0804123402010A0100", 0x08, "\u0159\U0001F600", {"reference": 0x1234, "reference_bits": 16,
                                                                 "count": 2, "number": 1})]
        for udh, dcs, text, concatenation in cases:
            decoded = smspdu.decode_submit(smspdu.build_submit("+420603111222", text, dcs=dcs,
                                                               udh=bytes.fromhex(udh)))
            self.assertEqual((decoded["text"], decoded["udh"], decoded["udhi"], decoded["concatenation"]),
                             (text, udh, True, concatenation))
        self.assertEqual(decoded["udh_elements"], [{"iei": 8, "data": "12340201"}, {"iei": 10, "data": "00"}])
        plain = smspdu.decode_submit(smspdu.build_submit("+1", "plain"))
        self.assertEqual((plain["concatenation"], plain["udh_elements"], plain["udl"]), (None, [], 5))

        # A user data length that disagrees with the data, a header that
        # overruns, a part number outside its count: refused, not guessed.
        pdu = smspdu.build_submit("+1", "eight ch")  # 8 septets in 7 octets (7 fit too)
        udl_at = len(pdu) - 16
        self.assertEqual(pdu[udl_at:udl_at + 2], "08")
        for wrong in ("06", "09", "A1"):
            with self.assertRaises(smspdu.PduError):
                smspdu.decode_submit(pdu[:udl_at] + wrong + pdu[udl_at + 2:])
        ucs2 = smspdu.build_submit("+1", "ab", dcs=0x08)
        with self.assertRaises(smspdu.PduError):
            smspdu.decode_submit(ucs2[:-10] + "03006100")  # an odd octet count
        for udh in ("0005A70302", "0003A70304", "0003A70300", "00020102"):
            with self.assertRaises(smspdu.PduError):
                smspdu.decode_submit(smspdu.build_submit("+1", "x", udh=bytes.fromhex(udh)))

    def test_truncated_pdus_raise_pdu_error(self):
        pdu = smspdu.build_submit("+420777000222", "truncated text")
        for cut in range(2, len(pdu) - 2, 2):
            try:
                smspdu.decode_submit(pdu[:cut])
            except smspdu.PduError:
                continue
            self.fail("decoded a PDU cut at %d" % cut)


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    failed = len(result.failures) + len(result.errors)
    print("%d passed, %d failed" % (result.testsRun - failed, failed))
    sys.exit(1 if failed else 0)
