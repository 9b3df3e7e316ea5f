"""The SMPP sender of the real kstd against the SMSC simulator
tools/smppsim (npm smpp): bind, submissions and their fields, receipts that
become e-mails at a real SMTP server, received messages that run the
executables, enquire_link both ways, the SMSC closing mid-burst, throttling,
refusals and a refused bind.

Each test starts its own daemon (tests/harness/kst.py), simulator, SMTP
server and dump directory; on teardown the daemon must stop cleanly and the
simulator must have seen no protocol violation.
"""

import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "emisender"))

from emisender_support import FAST_ENV, KSTSEND, GatewayDaemonTestCase, fields_of  # noqa: E402
import gsmtext  # noqa: E402
import kst  # noqa: E402
from httpapi import HttpApi  # noqa: E402
from kst import http_section, wait_until  # noqa: E402
from smppsim import SmppSim, node_modules_ready  # noqa: E402
from smscsim import SmscSim  # noqa: E402
from smppsim import NetSmppSmsc  # noqa: E402
from test_smpp_peers import dissected_pdus, log_value, tshark_available  # noqa: E402
from wirecapture import WireCapture  # noqa: E402
from smtpserver import SmtpServer  # noqa: E402
import modememu  # noqa: E402

sys.path.insert(0, os.path.join(modememu.source_dir(), "tools", "modememu"))
import smspdu  # noqa: E402

SMPP_DEVICE = "Sender thread(SMPP)"


@unittest.skipUnless(node_modules_ready(), "tools/smppsim/node_modules missing (scripts/install-deps)")
class SmppDaemonTestCase(GatewayDaemonTestCase):
    """The daemon with an [SMPP] section, against the SMPP simulator."""

    sim_settings = {}

    def make_sim(self):
        return SmppSim(system_id="kst", password="secret", settings=self.sim_settings)

    def start_daemon(self, smpp=None, sections="", wait_active=True):
        settings = {"Address": "127.0.0.1", "Port": str(self.sim.smpp_port), "SystemId": "kst",
                    "Password": "secret", "SystemType": "kst", "WindowSize": "10", "Throughput": "1000",
                    "SourceAddress": "Kestrova"}
        settings.update(smpp or {})
        lines = ["[Log]",
                 "ErrorLog = %s" % self.sandbox.log_path("error.log"),
                 "AccessLog = %s" % self.sandbox.log_path("access.log"),
                 "ReceiveLog = %s" % self.sandbox.log_path("receive.log"),
                 "[SMPP]"]
        lines += ["%s = %s" % kv for kv in settings.items() if kv[1] is not None]
        lines += ["[SMTP]", "ServerHost = 127.0.0.1", "ServerPort = %d" % self.smtp.port,
                  "From = kstd@gateway.test",
                  "[SmsProcessing]",
                  "Executables = /usr/bin/python3 %s smpp %s" % (self.dump_script, self.dump_dir)]
        self.sandbox.write_ini("\n".join(lines) + "\n" + sections)
        self.kstd = self.sandbox.start_kstd(env=dict(FAST_ENV))
        self.sandbox.wait_ior()
        if wait_active:
            self.wait_device(1, SMPP_DEVICE, "used for sending")
        return self.kstd

    def wait_device(self, number, name, state, timeout=30):
        wanted = "%s: %s" % (name, state)
        wait_until(lambda: self.stats().get("device %d" % number) == wanted, timeout, interval=0.2,
                   what="device %d to be %r" % (number, wanted))

    def daemon_answer(self, pdu):
        """The daemon's answer to a PDU the simulator sent, or None."""
        for record in self.sim.pdus(dir="in", conn=pdu["conn"]):
            if record["seq"] == pdu["seq"] and record["command_id"] & 0x80000000:
                return record
        return None

    def acknowledged_texts(self):
        """The texts of the submissions the simulator acknowledged, in order."""
        texts = []
        for submission in self.sim.submissions():
            answer = self.sim.answer_to(submission)
            if answer and answer["command"] == "submit_sm_resp" and answer["status"] == 0:
                texts.append(submission["text"])
        return texts


class SmppTrafficTest(SmppDaemonTestCase):
    sim_settings = {"receipts": True, "enquire_interval": 0}

    def test_submissions_receipts_received_messages_and_keep_alive(self):
        self.start_daemon({"EnquireLinkInterval": "1"})
        bind = self.sim.binds()[0]
        self.assertEqual((bind["command"], bind["system_id"], bind["password"], bind["system_type"]),
                         ("bind_transceiver", "kst", "secret", "kst"))

        # A confirmation asked for: registered delivery, then the receipt
        # becomes the e-mail and the receive-log record.
        self.kstsend("+420602111222", "Ahoj, jak se mas?", mail_to="jana@example.org")
        submission = self.sim.wait_pdus(1, dir="in", command="submit_sm")[0]
        self.assertEqual((submission["source_addr"], submission["source_addr_ton"],
                          submission["source_addr_npi"]), ("Kestrova", 5, 0))
        self.assertEqual((submission["destination_addr"], submission["dest_addr_ton"],
                          submission["dest_addr_npi"]), ("420602111222", 1, 1))
        self.assertEqual((submission["registered_delivery"], submission["data_coding"]), (1, 0))
        self.assertEqual(submission["text"], "Ahoj, jak se mas?")
        mail = self.smtp.wait_for_messages(1)[0]
        self.assertEqual(mail["To"], "<jana@example.org>")
        self.assertIn("+420602111222", mail.body)
        kind, lines = self.wait_record("receive.log", "Status Report received")[0]
        record = fields_of(lines)
        self.assertEqual(record["Destination Address"], "+420602111222")
        self.assertEqual(record["User Data"], "Ahoj, jak se mas?")
        self.assertEqual(record["Notification e-mail"], "jana@example.org")
        self.assertEqual((record["Status Code"], record["Status Description"]), ("0", "Delivered"))
        receipt = self.sim.pdus(dir="out", command="deliver_sm")[0]
        answer = self.sim.wait_for(lambda: self.daemon_answer(receipt), what="the receipt's answer")
        self.assertEqual((answer["command"], answer["status"]), ("deliver_sm_resp", 0))
        self.wait_record("access.log", "Send SMS requested")

        # Without a confirmation address: no registered delivery. A national
        # number goes in its international form, as over EMI.
        self.kstsend("0602333444", "Bez potvrzeni")
        second = self.sim.wait_pdus(2, dir="in", command="submit_sm")[1]
        self.assertEqual(second["registered_delivery"], 0)
        self.assertEqual((second["destination_addr"], second["dest_addr_ton"]), ("420602333444", 1))

        # A failed delivery: its record, no e-mail.
        self.sim.set_mode(receipt_stat="UNDELIV")
        self.kstsend("+420602555666", "Nedoruceno", mail_to="petr@example.org")
        kind, lines = self.wait_record("receive.log", "Status Report received", count=2)[1]
        record = fields_of(lines)
        self.assertEqual(record["Destination Address"], "+420602555666")
        self.assertEqual((record["Status Code"], record["Status Description"]),
                         ("2", "Not delivered (UNDELIV)"))

        # A received message runs the executable with the nine variables.
        self.sim.deliver("420777111222", "12345", "Dobry den")
        found = wait_until(lambda: self.dumps(), 20, what="the executable's run")
        env = found[0]["env"]
        self.assertEqual((env["OA"], env["UD"], env["ALPHABET"]), ("420777111222", "Dobry den", "7bit"))
        self.assertEqual(env["SCADDRESS"], "")
        self.assertEqual(len(env["SCTIME"]), 12)
        kind, lines = self.wait_record("receive.log", "SMS received")[0]
        self.assertEqual(fields_of(lines)["Originating Address"], "420777111222")
        # UCS-2 reaches the executable as UTF-8.
        self.sim.deliver("420777111333", "12345", "Čau 😀", data_coding=8)
        found = wait_until(lambda: self.dumps()[1:], 20, what="the second run")
        self.assertEqual(found[0]["env"]["UD"], "Čau 😀")

        # enquire_link both ways: the SMSC's is answered, and the idle link
        # gets the daemon's own.
        seq = self.sim.enquire_link()[0]
        asked = [p for p in self.sim.pdus(dir="out", command="enquire_link") if p["seq"] == seq][0]
        answer = self.sim.wait_for(lambda: self.daemon_answer(asked), what="the answer to enquire_link")
        self.assertEqual(answer["command"], "enquire_link_resp")
        self.sim.wait_pdus(1, timeout=10, dir="in", command="enquire_link")
        self.assertEqual(len(self.smtp.messages()), 1)

        # The stop unbinds.
        self.kstd.stop(timeout=60)
        self.assertTrue(self.sim.pdus(dir="in", command="unbind"))

    def test_received_texts_in_unicode_and_concatenated_parts_joined(self):
        """Encoding = unicode: the GSM default alphabet (one septet per
        octet) with its extension table and UCS-2 reach the executable as
        UTF-8 with their ALPHABET; the two parts of a concatenated message,
        the second first and twice, run it once with the joined
        text (a 16-bit reference); every deliver_sm is answered."""
        self.start_daemon(sections="[General]\nEncoding = unicode\n")
        gsm = "Cena 5\u20ac [sleva] {x} ~|^\\ \u00e8\u03a9"
        septets = bytes(smspdu.gsm_septets(gsm))
        self.sim.deliver("420777111222", "12345", hex=septets.hex(), data_coding=0)
        whole = "\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435, \U0001F44B sv\u011bte"
        halves = [whole[:8], whole[8:]]
        for number in (2, 2, 1):
            self.sim.deliver("420777333444", "12345", hex=halves[number - 1].encode("utf-16-be").hex(),
                             data_coding=8, udh="060804BEEF02%02X" % number)
        found = wait_until(lambda: (lambda d: d if len(d) >= 2 else None)(self.dumps()), 20,
                           what="two runs of the executable")
        time.sleep(0.5)
        self.assertEqual([(d["env"]["ALPHABET"], d["env"]["UD"]) for d in self.dumps()],
                         [("7bit", gsm), ("ucs2", whole)])
        self.assertEqual(found[1]["env"]["OA"], "420777333444")
        answers = self.sim.wait_pdus(4, dir="in", command="deliver_sm_resp")
        self.assertEqual([a["status"] for a in answers], [0, 0, 0, 0])
        joined = fields_of(self.wait_record("receive.log", "Concatenated SMS joined")[0][1])
        # The harness reads the logs as ISO-8859-1.
        self.assertEqual((joined["Parts"], joined["User data"]), ("2", whole.encode("utf-8").decode("latin-1")))
        self.wait_record("receive.log", "SMS received again, ignored")

    def test_receipt_after_a_restart_still_finds_its_message(self):
        self.sim.set_mode(receipts=False, id_format="dec")
        self.start_daemon()
        # Ten others first, so that the id's two forms differ.
        self.kstsend(",".join("+42060211%04d" % i for i in range(10)), "Bez potvrzeni")
        wait_until(lambda: len(self.acknowledged_texts()) == 10, 20, what="the first ten acknowledged")
        self.kstsend("+420602111222", "Pred restartem", mail_to="jana@example.org")
        wait_until(lambda: len(self.acknowledged_texts()) == 11, 20, what="the acknowledgement")
        message_id = self.sim.message_ids()[10]
        self.assertNotEqual("%x" % int(message_id), message_id)
        self.wait_record("access.log", "Send SMS requested")
        self.kstd.stop(timeout=60)
        self.start_daemon()
        # The receipt quotes the id in hexadecimal: it still matches.
        self.sim.receipt("%x" % int(message_id), stat="DELIVRD")
        mail = self.smtp.wait_for_messages(1)[0]
        self.assertEqual(mail["To"], "<jana@example.org>")
        self.assertEqual(self.acknowledged_texts()[10:], ["Pred restartem"])

    def test_numeric_source_and_separate_transmitter_and_receiver(self):
        self.start_daemon({"SourceAddress": "+420999888777", "BindMode": "transmitter", "DataCoding": "1",
                           "ValidityPeriod": "000001000000000R", "DestinationTon": "2",
                           "DestinationNpi": "8"})
        self.assertEqual(sorted(b["command"] for b in self.sim.binds()), ["bind_receiver", "bind_transmitter"])
        transmitter = [b for b in self.sim.binds() if b["command"] == "bind_transmitter"][0]["conn"]
        self.kstsend("+420602111222", "Cislo", mail_to="jana@example.org")
        submission = self.sim.wait_pdus(1, dir="in", command="submit_sm")[0]
        self.assertEqual(submission["conn"], transmitter)
        self.assertEqual((submission["source_addr"], submission["source_addr_ton"],
                          submission["source_addr_npi"]), ("420999888777", 1, 1))
        self.assertEqual((submission["dest_addr_ton"], submission["dest_addr_npi"]), (2, 8))
        self.assertEqual((submission["data_coding"], submission["validity_period"]), (1, "000001000000000R"))
        # The receipt comes on the receiver and still finds its message.
        mail = self.smtp.wait_for_messages(1)[0]
        self.assertEqual(mail["To"], "<jana@example.org>")
        receipt = self.sim.pdus(dir="out", command="deliver_sm")[0]
        self.assertNotEqual(receipt["conn"], transmitter)


class SmppTextTest(SmppDaemonTestCase):
    """Encoding = unicode, Concatenation = udh over SMPP: GSM texts as
    unpacked septets with escape pairs (data_coding 0), the rest UCS-2
    (data_coding 8), decoded again with Python's codec and the harness's GSM
    table (and compared with the simulator's own decoding); the parts of a
    long text joined by their headers; more than MaxParts refused."""

    sim_settings = {"enquire_interval": 0}

    def test_unicode_texts_concatenated_parts_and_the_parts_limit(self):
        http, port = http_section(self.sandbox)
        self.start_daemon(sections="[General]\nEncoding = unicode\nConcatenation = udh\nMaxParts = 3\n" + http)
        api = HttpApi(port)
        self.addCleanup(api.close)
        count = [0]

        def submit(text):
            status, body = api.json("POST", "/v1/messages", {"to": "+420602111222", "text": text})
            self.assertEqual(status, 202, body)
            count[0] += len(body["messages"])
            return self.sim.wait_pdus(count[0], dir="in", command="submit_sm")[count[0] - len(body["messages"]):]

        gsm_text = "[]{}\\^~|€ Übung"
        sub, = submit(gsm_text)
        self.assertEqual((sub["data_coding"], sub["esm_class"] & 0x40), (0, 0))
        self.assertEqual(bytes.fromhex(sub["short_message"]), gsmtext.gsm_encode(gsm_text))
        self.assertEqual(gsmtext.gsm_decode(bytes.fromhex(sub["short_message"])), gsm_text)
        self.assertEqual(sub["text"], gsm_text, "the simulator's own GSM decoding")
        world = "Привет, мир 😀"
        sub, = submit(world)
        self.assertEqual(sub["data_coding"], 8)
        self.assertEqual(bytes.fromhex(sub["short_message"]).decode("utf-16-be"), world)
        czech = "Příliš žluťoučký kůň úpěl ďábelské ódy"
        done = self.sandbox.run_inside([KSTSEND, "+420602111222", czech.encode("iso-8859-2")])
        self.assertEqual(done.returncode, 0, done.stderr)
        count[0] += 1
        sub = self.sim.wait_pdus(count[0], dir="in", command="submit_sm")[-1]
        self.assertEqual((sub["data_coding"], bytes.fromhex(sub["short_message"]).decode("utf-16-be")), (8, czech))

        # 400 septets with a euro whose escape pair would straddle septet
        # 153: it opens the second part instead.
        long_text = "x" * 152 + "€" + "".join("%03d " % i for i in range(100))[:246]
        self.assertEqual(len(gsmtext.gsm_encode(long_text)), 400)
        parts = []
        for sub in submit(long_text):
            self.assertEqual((sub["data_coding"], sub["esm_class"] & 0x40), (0, 0x40))
            data = bytes.fromhex(sub["short_message"])
            length, concat = gsmtext.parse_udh(data)
            self.assertEqual(length, 6)
            parts.append({"udh": concat, "text": gsmtext.gsm_decode(data[length:])})
        self.assertEqual([len(gsmtext.gsm_encode(p["text"])) for p in parts], [152, 153, 95])
        self.assertEqual(gsmtext.join_parts(parts), long_text)
        wait_until(lambda: self.stats().get("sent") == str(count[0]), 20, what="every message sent")

        # A fourth part is one too many: refused whole, nothing queued.
        too_long = "y" * (3 * 153 + 1)
        status, problem = api.json("POST", "/v1/messages", {"to": "+420602111222", "text": too_long})
        self.assertEqual((status, problem.get("field")), (400, "text"), problem)
        done = self.sandbox.run_inside([KSTSEND, "+420602111222", too_long])
        self.assertEqual(done.returncode, 3)
        self.wait_record("error.log", "SMS refused: text too long", count=2)
        time.sleep(1)
        self.assertEqual(len(self.sim.submissions()), count[0])


class SmppFaultTest(SmppDaemonTestCase):

    def test_smsc_closing_mid_burst_loses_and_repeats_nothing(self):
        self.start_daemon()
        self.sim.set_mode(close_after=15)
        texts = ["Zprava %02d" % i for i in range(40)]
        for text in texts:
            self.kstsend("+420602111222", text)
        wait_until(lambda: len(set(self.acknowledged_texts())) == len(texts), 60, interval=0.2,
                   what="every message acknowledged")
        self.assertGreaterEqual(self.sim.counts()["closed_by_sim"], 1)
        self.assertGreaterEqual(len(self.sim.binds()), 2, "the daemon bound again")
        acknowledged = self.acknowledged_texts()
        # Nothing acknowledged was sent again, and nothing was lost.
        self.assertEqual(sorted(acknowledged), sorted(texts))
        for text in acknowledged:
            sent = [s for s in self.sim.submissions() if s["text"] == text]
            answered = [s for s in sent if self.sim.answer_to(s)]
            self.assertEqual(len(answered), 1, "%s answered more than once" % text)
            self.assertIs(sent[-1], answered[0], "%s sent again after its acknowledgement" % text)
        records = self.wait_record("access.log", "Send SMS requested", count=len(texts))
        self.assertEqual(len(records), len(texts))

    def test_unanswered_submissions_give_the_connection_up(self):
        self.start_daemon({"ResponseTimeout": "2"})
        for i in range(3):
            self.kstsend("+420602111222", "Potvrzena %d" % i)
        wait_until(lambda: len(self.acknowledged_texts()) == 3, 20, what="three acknowledged")
        self.sim.set_mode(submit="ignore")
        for i in range(2):
            self.kstsend("+420602111222", "Bez odpovedi %d" % i)
        self.sim.wait_pdus(5, dir="in", command="submit_sm")
        wait_until(lambda: "giving up the connection: no response to sequence number" in self.log("error.log"),
                   20, what="the connection given up")
        self.sim.set_mode(submit="ack")
        wait_until(lambda: len(self.acknowledged_texts()) == 5, 30, what="the unanswered ones acknowledged")
        self.assertGreaterEqual(len(self.sim.binds()), 2)
        texts = [s["text"] for s in self.sim.submissions()]
        # The acknowledged ones were not sent again; the unanswered ones were.
        for i in range(3):
            self.assertEqual(texts.count("Potvrzena %d" % i), 1)
        for i in range(2):
            self.assertEqual(texts.count("Bez odpovedi %d" % i), 2)

    def test_hostile_pdus_from_the_smsc(self):
        """A raw SMSC of the test's own: a submit_sm_resp whose message id
        has no end, then a PDU whose command_length is below the header."""
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        listener.settimeout(20)
        self.addCleanup(listener.close)

        def read_pdu(conn):
            head = b""
            while len(head) < 16:
                head += conn.recv(16 - len(head))
            length, command, _, seq = struct.unpack(">IIII", head)
            body = b""
            while len(body) < length - 16:
                body += conn.recv(length - 16 - len(body))
            return command, seq, body

        def pdu(command, seq, body=b"", status=0):
            return struct.pack(">IIII", 16 + len(body), command, status, seq) + body

        self.start_daemon({"Port": str(listener.getsockname()[1]), "ResponseTimeout": "2"}, wait_active=False)
        conn, _ = listener.accept()
        self.addCleanup(conn.close)
        conn.settimeout(20)
        command, seq, _ = read_pdu(conn)
        self.assertEqual(command, 0x00000009)
        conn.sendall(pdu(0x80000009, seq, b"raw\0"))
        self.wait_device(1, SMPP_DEVICE, "used for sending")
        self.kstsend("+420602111222", "Bez konce")
        command, seq, body = read_pdu(conn)
        self.assertEqual(command, 0x00000004)
        conn.sendall(pdu(0x80000004, seq, b"x" * 70))
        self.wait_record("access.log", "Send SMS requested")
        self.assertIn("malformed PDU (command 0x80000004, sequence %d) refused: message_id longer than 64 "
                      "characters or unterminated" % seq, self.log("error.log"))
        # Acknowledged by its header: not sent again, the connection kept.
        time.sleep(3)
        conn.setblocking(False)
        with self.assertRaises(BlockingIOError):
            conn.recv(1)
        conn.settimeout(20)
        conn.sendall(struct.pack(">IIII", 8, 0x00000015, 0, 99))
        wait_until(lambda: "protocol error: command_length 8 out of bounds" in self.log("error.log"), 20,
                   what="the protocol error")
        second, _ = listener.accept()
        self.addCleanup(second.close)
        second.settimeout(20)
        self.assertEqual(read_pdu(second)[0], 0x00000009, "bound again")

    def test_throttling_slows_down_and_retries(self):
        self.start_daemon()
        self.sim.fail("ESME_RTHROTTLED", next=2)
        for i in range(4):
            self.kstsend("+420602111222", "Pomalu %d" % i)
        wait_until(lambda: len(set(self.acknowledged_texts())) == 4, 60, interval=0.2,
                   what="every throttled message acknowledged")
        refused = [s for s in self.sim.submissions()
                   if self.sim.answer_to(s) and self.sim.answer_to(s)["status"] == 0x58]
        self.assertEqual(len(refused), 2)
        # A throttled message is submitted again only after a pause.
        for submission in refused:
            answer = self.sim.answer_to(submission)
            again = [s for s in self.sim.submissions()
                     if s["text"] == submission["text"] and s["t"] > answer["t"]]
            self.assertTrue(again, "%s not submitted again" % submission["text"])
            self.assertGreaterEqual(again[0]["t"] - answer["t"], 0.9)
        errors = self.log("error.log")
        self.assertIn("asks to slow down (ESME_RTHROTTLED", errors)
        self.assertNotIn("SMS was not acknowledged", errors)
        self.assertEqual(sorted(self.acknowledged_texts()), ["Pomalu %d" % i for i in range(4)])

    def test_refusals_and_generic_nack_are_recorded_not_repeated(self):
        self.start_daemon()
        self.sim.fail("ESME_RINVDSTADR", next=1)
        self.kstsend("+420602111222", "Spatne cislo")
        kind, lines = self.wait_record("error.log", "SMS was not acknowledged: ESME_RINVDSTADR (invalid "
                                       "destination address) 0x0000000b")[0]
        self.assertEqual(kind, "ERROR")
        self.assertEqual(fields_of(lines)["Destination Address"], "+420602111222")
        self.sim.set_mode(submit="nack", nack_status=0x08)
        self.kstsend("+420602111222", "Nack")
        self.wait_record("error.log", "SMS was not acknowledged: ESME_RSYSERR (system error) 0x00000008")
        self.sim.set_mode(submit="ack")
        self.kstsend("+420602111222", "Dobre")
        wait_until(lambda: "Dobre" in self.acknowledged_texts(), 20, what="the good message acknowledged")
        time.sleep(1)
        self.assertEqual([s["text"] for s in self.sim.submissions()], ["Spatne cislo", "Nack", "Dobre"])

    def test_refused_bind_names_the_status(self):
        self.sim.set_mode(bind="refuse", bind_status=0x0E)
        self.start_daemon(wait_active=False)
        wait_until(lambda: "bind refused: ESME_RINVPASWD (invalid password) 0x0000000e" in self.log("error.log"),
                   20, what="the refused bind's record")
        self.assertEqual(self.stats().get("device 1"), SMPP_DEVICE + ": disconnected")
        # It tries again, and binds once the SMSC lets it.
        self.sim.set_mode(bind="check")
        self.wait_device(1, SMPP_DEVICE, "used for sending")


class SmppTlsTest(SmppDaemonTestCase):
    """SMPP over TLS to a simulator with a certificate the test makes."""

    def make_sim(self):
        # The sandbox is there: the certificate goes into it.
        self.cert = os.path.join(self.sandbox.root, "smsc-cert.pem")
        key = os.path.join(self.sandbox.root, "smsc-key.pem")
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                               "-keyout", key, "-out", self.cert, "-subj", "/CN=127.0.0.1",
                               "-addext", "subjectAltName=IP:127.0.0.1"], capture_output=True, timeout=120)
        self.assertEqual(made.returncode, 0, made.stderr)
        return SmppSim(system_id="kst", password="secret", settings={"receipts": True}, tls=(self.cert, key))

    def test_tls_with_the_certificate_trusted_and_not(self):
        # Without the SMSC's certificate among the trusted ones: no bind.
        self.start_daemon({"UseTls": "1"}, wait_active=False)
        wait_until(lambda: "the SMSC's certificate is not trusted" in self.log("error.log"), 20,
                   what="the refused certificate's record")
        self.assertEqual(self.sim.binds(), [])
        self.kstd.stop(timeout=60)
        self.kstd = None

        self.start_daemon({"UseTls": "1", "TlsCaFile": self.cert})
        self.kstsend("+420602111222", "Sifrovane", mail_to="jana@example.org")
        self.smtp.wait_for_messages(1)
        self.assertEqual(self.sim.submissions()[0]["text"], "Sifrovane")


class SmppFailoverTest(SmppDaemonTestCase):
    """[SMPP] beside [EMI]: the order of preference and the failover."""

    def setUp(self):
        super().setUp()
        self.emi = SmscSim(password="tajne")
        self.addCleanup(self.emi.cleanup)
        self.emi_section = ("[EMI]\nAddress = 127.0.0.1\nPort = %d\nLAID = 4209000\nPassword = tajne\n"
                            "WindowSize = 10\nThroughput = 100\nOriginatingAddress = +420777123456\n"
                            % self.emi.ucp_port)
        self.addCleanup(self.emi.assert_no_violations)

    def emi_texts(self):
        return [submission["text"] for submission in self.emi.submissions()]

    def test_failover_to_emi_and_back(self):
        self.start_daemon(sections=self.emi_section)
        self.wait_device(2, "Sender thread(EMI)", "connected")
        self.kstsend("+420602111222", "Prvni")
        wait_until(lambda: "Prvni" in self.acknowledged_texts(), 20, what="the first message over SMPP")

        # The SMSC drops the connection and refuses binds: the SMSC sender
        # takes over.
        self.sim.set_mode(bind="refuse")
        self.sim.close()
        self.wait_device(2, "Sender thread(EMI)", "used for sending")
        self.assertEqual(self.stats()["device 1"], SMPP_DEVICE + ": disconnected")
        self.kstsend("+420602111222", "Druha")
        self.emi.wait_for(lambda: "Druha" in self.emi_texts(), what="the second message over EMI")

        # Binding again, SMPP is preferred again.
        self.sim.set_mode(bind="check")
        self.wait_device(1, SMPP_DEVICE, "used for sending")
        self.kstsend("+420602111222", "Treti")
        wait_until(lambda: "Treti" in self.acknowledged_texts(), 20, what="the third message over SMPP")
        self.assertEqual(sorted(self.acknowledged_texts()), ["Prvni", "Treti"])
        self.assertEqual(self.emi_texts(), ["Druha"])
        self.assertEqual(self.stats()["senders"], "2")

    def test_three_senders_in_every_statistics(self):
        http, port = http_section(self.sandbox)
        modem = "[ME]\nDevice = /dev/no-such-modem\nBaudRate = 9600\n"
        self.start_daemon(sections=self.emi_section + modem + http)
        self.wait_device(2, "Sender thread(EMI)", "connected")
        stats = self.stats()
        self.assertEqual(stats["senders"], "3")
        self.assertEqual(stats["device 1"], SMPP_DEVICE + ": used for sending")
        self.assertEqual(stats["device 3"], "Sender thread(ME): disconnected")
        api = HttpApi(port)
        self.addCleanup(api.close)
        status, body = api.json("GET", "/v1/status")
        self.assertEqual(status, 200)
        self.assertEqual(body["senders"], [{"name": SMPP_DEVICE, "status": "active"},
                                           {"name": "Sender thread(EMI)", "status": "connected"},
                                           {"name": "Sender thread(ME)", "status": "not connected"}])
        metrics = api.metrics()
        self.assertEqual(metrics['kestrova_sender_active{sender="%s"}' % SMPP_DEVICE], 1)
        self.assertEqual(metrics['kestrova_sender_connected{sender="Sender thread(ME)"}'], 0)

    def test_sender_order_puts_emi_first(self):
        self.start_daemon(sections=self.emi_section + "[Senders]\nOrder = emi, smpp\n", wait_active=False)
        self.wait_device(1, "Sender thread(EMI)", "used for sending")
        self.wait_device(2, SMPP_DEVICE, "connected")
        self.kstsend("+420602111222", "Pres EMI")
        self.emi.wait_for(lambda: "Pres EMI" in self.emi_texts(), what="the message over EMI")
        self.assertEqual(self.sim.submissions(), [])


class SmppPeerTest(SmppDaemonTestCase):
    """The daemon's traffic checked by parts we did not write: Perl's
    Net::SMPP as the SMSC, and Wireshark's SMPP dissector on a capture."""

    def test_netsmpp_smsc(self):
        smsc = NetSmppSmsc(system_id="kst", password="secret", receipt=True, stat="DELIVRD", first_id=0xB0)
        self.addCleanup(smsc.cleanup)
        self.start_daemon({"Port": str(smsc.smpp_port), "SourceAddress": "+420999888777"})
        self.kstsend("+420602111222", "Pres Net::SMPP", mail_to="jana@example.org")
        mail = self.smtp.wait_for_messages(1)[0]
        self.assertEqual(mail["To"], "<jana@example.org>")
        submission = smsc.submissions()[0]
        self.assertEqual((submission["destination_addr"], submission["source_addr"], submission["source_addr_ton"],
                          submission["registered_delivery"], submission["text"]),
                         ("420602111222", "420999888777", 1, 1, "Pres Net::SMPP"))
        receipt = smsc.pdus(dir="out", command="deliver_sm")[0]
        self.assertEqual(receipt["tlvs"]["receipted_message_id"], "000000B0")
        smsc.wait_for(lambda: smsc.pdus(dir="in", command="deliver_sm_resp"), what="the receipt's answer")
        kind, lines = self.wait_record("receive.log", "Status Report received")[0]
        self.assertEqual(fields_of(lines)["Status Code"], "0")
        self.kstd.stop(timeout=60)
        self.assertTrue(smsc.pdus(dir="in", command="unbind"))
        self.assertEqual(smsc.process.wait(10), 0)
        smsc.assert_no_violations()

    @unittest.skipUnless(tshark_available(), "tshark is not installed")
    def test_capture_decodes_as_sent(self):
        self.sim.set_mode(receipts=True)
        capture = WireCapture(self.sim.workdir, self.sim.smpp_port, protocol="smpp")
        try:
            self.start_daemon({"EnquireLinkInterval": "1"})
            self.kstsend("+420602111222", "Zachyceno", mail_to="jana@example.org")
            self.kstsend("+420602111223", "Bez potvrzeni")
            self.smtp.wait_for_messages(1)
            self.sim.deliver("420777111222", "12345", "Prijata")
            self.sim.enquire_link()
            self.sim.wait_pdus(1, dir="in", command="enquire_link")
            wait_until(lambda: len(self.acknowledged_texts()) == 2, 20, what="both acknowledged")
            self.kstd.stop(timeout=60)
            self.sim.wait_for(lambda: self.sim.counts()["open"] == 0, what="the connection to end")
        finally:
            capture.stop()
        logged = self.sim.pdus()
        self.assertEqual(capture.tshark("-Y", "_ws.malformed || _ws.expert.severity >= error",
                                        "-T", "fields", "-e", "frame.number"), "")
        dissected = dissected_pdus(capture)
        self.assertEqual(len(dissected), len(logged))
        key = lambda p: (p["command_id"], p["seq"], p["status"])
        for seen, sent in zip(sorted(dissected, key=key), sorted(logged, key=key)):
            self.assertEqual(seen, {name: log_value(sent, name) for name in seen})
        commands = sorted({p["command_id"] for p in dissected})
        for command in (0x00000009, 0x00000004, 0x80000005, 0x00000015, 0x80000015, 0x00000006):
            self.assertIn(command, commands)


if __name__ == "__main__":
    kst.main()
