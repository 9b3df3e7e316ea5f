"""libvessa against the SMSC simulator: login, submissions, results,
notifications, incoming messages and a misbehaving SMSC, end to end over
loopback. One session is captured with dumpcap and decoded by Wireshark's
UCP dissector (tshark), which must find every frame and no error; the
captured bytes are also checked frame by frame here. The simulator checks
LEN and the checksum of every frame it receives: any violation fails."""

import json
import os
import select
import shutil
import socket
import subprocess
import time
import unittest

import kst
from smscsim import SmscSim, ia5_decode, ia5_encode
from wirecapture import WireCapture

# libvessa's code for a connection the peer closed.
EMI_CLOSED = -15

DRIVER = os.path.join(kst.BUILD_DIR, "tests/emi/vessa_driver")


class Driver:
    """vessa_driver: one library call per line, one JSON answer per line."""

    def __init__(self, workdir):
        self.err_path = os.path.join(workdir, "vessa-%d.err" % time.monotonic_ns())
        self._err = open(self.err_path, "wb")
        self.process = subprocess.Popen([DRIVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self._err)

    def call(self, *args, timeout=15):
        line = "\t".join(str(a) for a in args) + "\n"
        self.process.stdin.write(line.encode("latin-1"))
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise AssertionError("vessa_driver did not answer %r" % (args,))
        answer = self.process.stdout.readline()
        if not answer:
            raise AssertionError("vessa_driver ended: %s" % self.trace())
        return json.loads(answer)

    def init(self, sim, password="secret", origin="12345", alert="+420600111222", window=8,
             throughput=100):
        return self.call("init", "127.0.0.1", sim.ucp_port, password, origin, alert, window,
                         throughput)

    def read(self, timeout_ms=5000):
        return self.call("wait_read", timeout_ms)

    def trace(self):
        with open(self.err_path, "r", encoding="latin-1") as f:
            return f.read()

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.flush()
            except BrokenPipeError:
                pass
            kst.wait_or_kill(self.process)
        self.process.stdin.close()
        self.process.stdout.close()
        self._err.close()


class SimTestCase(unittest.TestCase):
    password = "secret"

    def setUp(self):
        self.sim = SmscSim(password=self.password)
        self.addCleanup(self.sim.cleanup)
        self.lib = Driver(self.sim.workdir)
        self.addCleanup(self.lib.close)

    def tearDown(self):
        # Every frame libvessa sent must have passed the simulator's checks.
        self.sim.assert_no_violations()

    def login(self, **kwargs):
        answer = self.lib.init(self.sim, **kwargs)
        self.assertEqual(answer["rc"], 0, answer)
        return answer


class Login(SimTestCase):
    def test_refused_then_accepted(self):
        answer = self.lib.init(self.sim, password="wrong")
        self.assertEqual(answer["rc"], -7)
        self.assertEqual(answer["error"], "Initialization failure")
        self.assertFalse(answer["handle"])
        self.sim.wait_for(lambda: self.sim.counts()["closed"] == 1, what="the refused client to hang up")
        self.login()
        counts = self.sim.counts()
        self.assertEqual((counts["logins"], counts["login_failures"], counts["open"]), (1, 1, 1))
        first, second = self.sim.logins()
        self.assertEqual(ia5_decode(first["PWD"]), "wrong")
        self.assertEqual(ia5_decode(second["PWD"]), "secret")
        self.assertEqual((second["OAdC"], second["OTON"], second["ONPI"], second["STYP"],
                          second["VERS"]), ("12345", "6", "5", "1", "0100"))
        self.assertEqual(second["trn"], 0)
        # The answer to the refusal carried the simulator's error code.
        nack = [f for f in self.sim.sent(ot=60) if f.get("NACK")]
        self.assertEqual(nack[0]["EC"], "07")

    def test_login_address_of_a_name_and_alert(self):
        self.login(origin="Shop", alert="0123")
        self.assertEqual(self.lib.call("alert")["rc"], 1)
        result = self.lib.read()
        self.assertEqual((result["rc"], result["op"], result["ack"]), (1, -31, 1))
        alert = self.sim.alerts()[0]
        self.assertEqual((alert["AdC"], alert["PID"]), ("0123", "0539"))


class Messages(SimTestCase):
    def test_submission_result_and_notification(self):
        self.login()
        answer = self.lib.call("submit1", "+420777123456", "+420601234567", 1, "Hello world")
        self.assertEqual(answer["rc"], 1)
        result = self.lib.read()
        self.assertEqual((result["rc"], result["op"], result["ack"]), (1, -51, 1))

        sub = self.sim.submissions()[0]
        self.assertEqual(sub["AdC"], "00420601234567")
        self.assertEqual(sub["OAdC"], "420777123456")
        self.assertEqual(sub["OTOA"], "1139")
        self.assertEqual((sub["NRq"], sub["NT"], sub["NAdC"], sub["NPID"]), ("1", "1", "", ""))
        self.assertEqual((sub["MT"], sub["text"]), ("3", "Hello world"))
        sent = self.sim.sent(ot=51)[0]
        scts = sent["SM"].split(":")[1]
        self.assertEqual(result["sysmsg"], "00420601234567:" + scts)

        notification = self.lib.read()
        self.assertEqual(notification["op"], 53)
        self.assertEqual(notification["from"], "00420601234567")
        self.assertEqual(notification["to"], "420777123456")
        self.assertEqual(notification["timestamp"], scts)
        self.assertEqual(notification["deliv_status"], 0)
        self.assertEqual(len(notification["deliv_timestamp"]), 12)
        self.assertIn("delivered", notification["text"])
        # The daemon matches the notification by "from:timestamp".
        self.assertEqual(notification["from"] + ":" + notification["timestamp"], result["sysmsg"])
        self.assertEqual(self.lib.call("ack", 1, notification["op"], notification["rc"])["rc"], 0)
        ack = self.sim.wait_for(lambda: self.sim.results_in(ot=53), what="the 53 acknowledgement")[0]
        self.assertEqual((ack["trn"], ack["ACK"]), (notification["rc"], "A"))

    def test_alphanumeric_originator_and_notification_status(self):
        self.sim.set_mode(notify_status=2, notify_reason=107, notify_delay=50)
        self.login(alert="+420600111222")
        self.assertEqual(self.lib.call("submit1", "Shop", "0601234567", 1, "x")["rc"], 1)
        self.assertEqual(self.lib.read()["op"], -51)
        sub = self.sim.submissions()[0]
        self.assertEqual((sub["OTOA"], sub["OAdC_text"]), ("5039", "Shop"))
        self.assertEqual((sub["NAdC"], sub["NPID"]), ("420600111222", "0439"))
        notification = self.lib.read()
        self.assertEqual((notification["op"], notification["deliv_status"],
                          notification["deliv_reasoncode"]), (53, 2, 107))
        # Sent to the notification address.
        self.assertEqual(notification["to"], "420600111222")

    def test_without_notification_request_none_comes(self):
        self.login()
        self.assertEqual(self.lib.call("submit1", "0777123456", "601234567", -1, "x")["rc"], 1)
        self.assertEqual(self.lib.read()["op"], -51)
        self.assertIsNone(self.lib.read(timeout_ms=300)["rc"])
        sub = self.sim.submissions()[0]
        self.assertEqual((sub["NRq"], sub["NT"], sub["OTOA"], sub["OAdC"]), ("", "", "", "0777123456"))

    def test_submit2_fields(self):
        self.login()
        answer = self.lib.call("submit2", "from=+420777123456", "to=601234567", "text=Hi",
                               "validity=0101121200", "priority=1", "msg_class=1", "rpid=5",
                               "xservices=0201F4", "notif_addr=0600999888", "notif_type=3")
        self.assertEqual(answer["rc"], 1)
        answer = self.lib.call("submit2", "from=0777", "to=0601234567", "bit8=1", "numbits=16",
                               "text=CAFE", "rpid=-1")
        self.assertEqual(answer["rc"], 2)
        first, second = self.sim.wait_for(lambda: len(self.sim.submissions()) == 2 and self.sim.submissions())
        self.assertEqual((first["VP"], first["RPID"], first["PR"], first["MCLs"], first["XSer"]),
                         ("0101121200", "0005", "1", "1", "0201F4"))
        self.assertEqual((first["NRq"], first["NAdC"], first["NT"], first["NPID"]),
                         ("1", "0600999888", "3", "0539"))
        self.assertEqual(first["text"], "Hi")
        self.assertEqual((second["MT"], second["NB"], second["Msg"], second["DCs"], second["RPID"],
                          second["MCLs"]), ("4", "0016", "CAFE", "1", "0000", "0"))
        ops = sorted(self.lib.read()["op"] for _ in range(3))
        self.assertEqual(ops, [-51, -51, 53], "two results and the notification of the first")

    def test_incoming_messages_are_read_and_acknowledged(self):
        self.login()
        injected = self.sim.inject_52("777888999", "420601111222", "Hi there, @home_", scts="070512153000")
        message = self.lib.read()
        self.assertEqual(message["rc"], injected["trn"])
        self.assertEqual((message["op"], message["from"], message["to"], message["text"],
                          message["timestamp"]),
                         (52, "777888999", "420601111222", "Hi there, @home_", "070512153000"))
        self.assertEqual(self.lib.call("ack", 1, 52, message["rc"])["rc"], 0)

        injected = self.sim.inject_01("777888999", "420601111222", "old style")
        message = self.lib.read()
        self.assertEqual((message["rc"], message["op"], message["text"]), (injected["trn"], 1, "old style"))
        self.assertEqual(self.lib.call("ack", 0, 1, message["rc"])["rc"], 0)

        acks = self.sim.wait_for(lambda: len(self.sim.results_in()) == 2 and self.sim.results_in(),
                                 what="two acknowledgements")
        self.assertEqual([(a["ot"], a["fields"]) for a in acks], [(52, ["A", "", ""]), (1, ["N", "04", ""])])


class Misbehaviour(SimTestCase):
    def test_negative_and_missing_results(self):
        self.login(window=2)
        self.sim.set_mode(submit="nack", submit_error=24)
        self.assertEqual(self.lib.call("submit1", "1", "2", 1, "x")["rc"], 1)
        result = self.lib.read()
        self.assertEqual((result["op"], result["ack"], result["errcode"]), (-51, 0, 24))
        # A negative result frees the id as well.
        self.sim.set_mode(submit="ignore")
        self.assertEqual(self.lib.call("submit1", "1", "2", 1, "x")["rc"], 1)
        self.assertEqual(self.lib.call("submit1", "1", "2", 1, "x")["rc"], 2)
        self.assertEqual(self.lib.call("submit1", "1", "2", 1, "x")["rc"], -4)
        self.assertIsNone(self.lib.read(timeout_ms=300)["rc"])
        self.assertEqual(self.sim.counts()["submit_ignored"], 2)

    def test_delayed_result(self):
        self.login()
        self.sim.set_mode(submit_delay=400)
        self.assertEqual(self.lib.call("submit1", "1", "2", -1, "x")["rc"], 1)
        self.assertIsNone(self.lib.read(timeout_ms=100)["rc"])
        self.assertEqual(self.lib.read()["op"], -51)
        received = self.sim.submissions()[0]["t"]
        answered = self.sim.sent(ot=51)[0]["t"]
        self.assertGreaterEqual(answered - received, 0.39)

    def test_bad_checksum_and_impossible_len(self):
        self.login()
        self.sim.set_mode(bad_crc=1)
        self.assertEqual(self.lib.call("alert")["rc"], 1)
        self.assertEqual(self.lib.read()["rc"], -3)
        self.sim.send_badlen("00005")
        self.assertEqual(self.lib.read()["rc"], -11)
        self.sim.send_badlen("99999")
        self.assertEqual(self.lib.read()["rc"], -11)
        # The library finds the next frame again.
        injected = self.sim.inject_52("1", "2", "after")
        message = self.lib.read()
        self.assertEqual((message["rc"], message["text"]), (injected["trn"], "after"))

    def test_connection_closed_after_frames_and_reconnect(self):
        self.login()
        self.sim.set_mode(close_after=1)
        self.assertEqual(self.lib.call("submit1", "1", "2", -1, "x")["rc"], 1)
        answer = self.lib.read()
        self.assertEqual(answer["rc"], EMI_CLOSED)
        self.lib.call("destroy")
        self.login()
        self.assertEqual(self.lib.call("submit1", "1", "2", -1, "y")["rc"], 1)
        self.assertEqual(self.lib.read()["op"], -51)
        self.assertEqual(self.sim.counts()["accepted"], 2)
        self.sim.drop()
        self.assertEqual(self.lib.read()["rc"], EMI_CLOSED)

    def test_throughput_limit(self):
        self.login(throughput=2)
        self.assertEqual(self.lib.call("submit1", "1", "2", -1, "a")["rc"], 1)
        self.assertEqual(self.lib.call("submit1", "1", "2", -1, "b")["rc"], 2)
        # The third within the same second, unless the second has just turned.
        third = self.lib.call("submit1", "1", "2", -1, "c")
        self.assertIn(third["rc"], (-10, 3))
        if third["rc"] == -10:
            self.assertEqual(third["error"], "Data throughput overloaded")


def raw_frame(trn, o_r, ot, data):
    body = ("%02d/%05d/%s/%02d/" % (trn, len(data) + 16, o_r, ot) + data).encode()
    return b"\x02" + body + b"%02X" % (sum(body) & 0xFF) + b"\x03"


class SimulatorChecks(unittest.TestCase):
    """The simulator's own checks, which the tests above rely on: every
    broken frame it receives is reported."""

    def setUp(self):
        self.sim = SmscSim(password="secret")
        self.addCleanup(self.sim.cleanup)
        self.client = socket.create_connection(("127.0.0.1", self.sim.ucp_port), timeout=5)
        self.addCleanup(self.client.close)
        self.client.sendall(raw_frame(0, "O", 60, "1/6/5/1/%s//0100//////" % ia5_encode("secret")))
        self.assertIn(b"/R/60/A//", self.client.recv(100))

    def test_every_broken_frame_is_reported(self):
        good = raw_frame(1, "O", 31, "0123/0539/")
        broken = [
            (good.replace(b"/BD\x03", b"/bd\x03"), "bad checksum bd, expected BD"),
            (good.replace(b"/BD\x03", b"/BE\x03"), "bad checksum BE"),
            (b"\n" + good, "bytes before STX"),
            (good.replace(b"00026", b"00027") + good, "does not match the frame"),
            (good.replace(b"00026", b"00025"), "no ETX where LEN 00025 ends the frame"),
            (good.replace(b"00026", b"0002x"), "malformed header"),
            (raw_frame(2, "O", 31, "0123/"), "operation 31 has 1 fields, expected 2"),
            (raw_frame(3, "O", 51, "1/2/3/"), "operation 51 has 3 fields, expected 33"),
            (raw_frame(4, "R", 52, "X///"), "result without A or N"),
            (raw_frame(5, "O", 52, "/" * 18 + "3//414/" + "/" * 12), "Msg of MT 3"),
        ]
        for data, what in broken:
            before = len(self.sim.violations())
            self.client.sendall(data)
            self.sim.wait_for(lambda: len(self.sim.violations()) > before, what=what)
            time.sleep(0.05)  # what follows from the same bytes
            new = [v["violation"] for v in self.sim.violations()[before:]]
            self.assertTrue(any(what in v for v in new), "%r not in %r" % (what, new))
        self.assertGreaterEqual(self.sim.counts()["violations"], len(broken))
        # A checksum error is answered N/01, a bad operation N/02.
        answers = [f["fields"] for f in self.sim.sent(or_="R")]
        self.assertIn(["N", "01", ""], answers)
        self.assertIn(["N", "02", ""], answers)

    def test_good_frames_pass(self):
        self.client.sendall(raw_frame(1, "O", 31, "0123/0539/") + raw_frame(7, "R", 52, "A///"))
        self.sim.wait_for(lambda: len(self.sim.frames(dir="in")) == 3, what="three frames")
        self.sim.assert_no_violations()
        self.assertEqual(self.client.recv(100), raw_frame(1, "R", 31, "A//"))


def tshark_available():
    return shutil.which("tshark") and shutil.which("dumpcap")


def frames_of(stream):
    """Splits a byte stream into frames and checks LEN and the checksum of
    each; returns the frames."""
    frames = []
    pos = 0
    while pos < len(stream):
        assert stream[pos] == 2, "bytes outside a frame at %d: %r" % (pos, stream[pos:pos + 20])
        length = int(stream[pos + 4:pos + 9])
        frame = stream[pos:pos + length + 2]
        assert frame[-1] == 3, "LEN %d does not end at ETX: %r" % (length, frame)
        body = frame[1:-3]
        assert frame[-3:-1] == b"%02X" % (sum(body) & 0xFF), "bad checksum in %r" % frame
        assert body.endswith(b"/"), frame
        frames.append(frame)
        pos += length + 2
    return frames


@unittest.skipUnless(tshark_available(), "tshark is not installed")
class WireFormat(SimTestCase):
    def test_capture_decodes_without_errors(self):
        capture = WireCapture(self.sim.workdir, self.sim.ucp_port)
        try:
            self.run_session()
        finally:
            capture.stop()
        logged = [f for f in self.sim.frames(include_bad=True)]
        self.assertGreater(len(logged), 20)

        # Our own look at the captured bytes, per direction.
        streams = capture.streams()
        self.assertEqual(len(streams), 4, "two connections, both directions")
        captured = [f for data in streams.values() for f in frames_of(bytes(data))]
        self.assertEqual(sorted(captured), sorted(f["raw"] for f in logged))

        # Wireshark's UCP dissector: every frame found, nothing malformed.
        pdus = []
        for line in capture.tshark("-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|",
                                   "-e", "ucp.hdr.LEN", "-e", "ucp.hdr.OT", "-e", "ucp.hdr.O_R",
                                   "-e", "_ws.malformed", "-Y", "ucp").splitlines():
            lens, ots, ors, malformed = (line.split("\t") + [""] * 4)[:4]
            self.assertEqual(malformed, "", line)
            for length, ot, o_r in zip(lens.split("|"), ots.split("|"), ors.split("|")):
                pdus.append((int(length), int(ot), o_r.strip("'")))
        self.assertEqual(sorted(pdus), sorted((len(f) - 2, int(f[12:14]), chr(f[10])) for f in captured))

        expert = capture.tshark("-q", "-z", "expert")
        for line in expert.splitlines():
            self.assertNotRegex(line, r"\bUCP\b|Malformed", expert)
        self.assertNotIn("Errors (", expert)

        # The dissector reads the submissions' fields, texts decoded by its
        # own IA5 decoder, as the simulator does.
        packets = json.loads(capture.tshark("-T", "json", "-J", "ucp", "--no-duplicate-keys",
                                            "-Y", "ucp"))
        dissected = []
        for packet in packets:
            layer = packet["_source"]["layers"]["ucp"]
            for pdu in layer if isinstance(layer, list) else [layer]:
                if pdu["ucp.hdr.OT"] == "51" and pdu["ucp.hdr.O_R"] == "'O'":
                    parm = pdu.get("ucp.parm", {})
                    dissected.append(tuple(parm.get("ucp.parm." + name, "").strip("'")
                                           for name in ("AdC", "OAdC", "NRq", "OTOA", "MT", "AMsg")))
        expected = [(s["AdC"], s["OAdC"], s["NRq"], s["OTOA"], s["MT"], s.get("text", ""))
                    for s in self.sim.submissions()]
        self.assertEqual(len(dissected), 7)
        self.assertEqual(sorted(dissected), sorted(expected))

    def run_session(self):
        self.assertEqual(self.lib.init(self.sim, password="wrong")["rc"], -7)
        self.login(origin="Shop", alert="+420600111222")
        self.assertEqual(self.lib.call("alert")["rc"], 1)
        self.assertEqual(self.lib.read()["op"], -31)
        submits = [("+420777123456", "+420601234567", 1, "Hello world"),
                   ("0777123456", "00420601234567", -1, "x" * 400),
                   ("Shop", "0601234567", 7, "Alphanumeric sender"),
                   ("", "601234567", 1, "Default sender")]
        notifications = 0
        for origin, destination, notif, text in submits:
            self.assertGreater(self.lib.call("submit1", origin, destination, notif, text)["rc"], 0)
            notifications += notif >= 0
        self.assertEqual(self.lib.call("submit2", "from=Shop", "to=601234567", "text=Two",
                                       "validity=0101121200", "xservices=0201F4", "msg_class=2")["rc"], 5)
        self.assertEqual(self.lib.call("submit2", "from=0777", "to=601234567", "bit8=1",
                                       "numbits=32", "text=CAFEBABE", "notif_addr=0600999888",
                                       "notif_type=1")["rc"], 6)
        notifications += 1
        self.read_all(results=6, operations=notifications)
        self.sim.set_mode(submit="nack", submit_error=24)
        self.assertEqual(self.lib.call("submit1", "1", "2", -1, "refused")["rc"], 1)
        self.sim.inject_52("777888999", "420601111222", "incoming")
        self.sim.inject_01("777888999", "420601111222", "old style")
        self.read_all(results=1, operations=2)
        incoming = notifications + 2
        self.sim.wait_for(lambda: len(self.sim.results_in()) == incoming, what="all acknowledgements")
        self.lib.call("destroy")
        self.sim.wait_for(lambda: self.sim.counts()["open"] == 0, what="the client to hang up")

    def read_all(self, results, operations):
        """Reads the expected results and operations, acknowledging the latter."""
        while results > 0 or operations > 0:
            frame = self.lib.read()
            self.assertIsNotNone(frame["rc"], "missing: %d results, %d operations" % (results, operations))
            self.assertGreaterEqual(frame["rc"], 0, frame)
            if frame["op"] < 0:
                results -= 1
            else:
                operations -= 1
                self.assertEqual(self.lib.call("ack", 1, frame["op"], frame["rc"])["rc"], 0)
        self.assertEqual((results, operations), (0, 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
