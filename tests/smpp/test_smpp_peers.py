"""The SMPP test peers themselves, driven by independent clients over
loopback: the simulator smppsim.js by a client on the npm smpp library
(smpp_client.js) and by one on Perl's Net::SMPP, the second SMSC
netsmpp_smsc.pl by the npm client. Covered: binds accepted and refused,
submissions answered with ids, every steered answer (error statuses,
generic_nack, delays, held answers released in order and reversed, no
answer), received messages and receipts, enquire_link both ways, a close in
the middle of a burst, unbind, the violations the simulator records, and a
capture of one session decoded by Wireshark's SMPP dissector (tshark)."""

import json
import os
import select
import shutil
import subprocess
import time
import unittest

import kst
from smppsim import (MESSAGE_STATES, STATUS, NetSmppSmsc, SmppSim, parse_receipt)
from wirecapture import WireCapture

CLIENT = os.path.join(kst.SOURCE_DIR, "tests", "smpp", "smpp_client.js")


class Client:
    """smpp_client.js: one JSON request per line, one JSON answer per line."""

    def __init__(self, workdir):
        self.err_path = os.path.join(workdir, "client-%d.err" % time.monotonic_ns())
        self._err = open(self.err_path, "wb")
        self.process = subprocess.Popen(["node", CLIENT], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self._err)
        self.received = []

    def call(self, op, timeout=15, **args):
        self.process.stdin.write((json.dumps(dict(args, op=op)) + "\n").encode())
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise AssertionError("smpp_client did not answer %s %r" % (op, args))
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError("smpp_client ended: %s" % self.trace())
        answer = json.loads(line)
        if not answer.pop("ok"):
            raise AssertionError("smpp_client %s: %s" % (op, answer["error"]))
        return answer

    def connect(self, port):
        return self.call("connect", port=port)

    def bind(self, system_id="kst", password="secret", as_="transceiver"):
        return self.call("bind", system_id=system_id, password=password, **{"as": as_})["status"]

    def send(self, command, repeat=1, **fields):
        return self.call("send", command=command, fields=fields, repeat=repeat)["seq"]

    def submit(self, destination_addr="420601234567", text="hello", repeat=1, **fields):
        fields.setdefault("short_message", {"hex": text.encode("latin-1").hex()})
        fields.setdefault("data_coding", 0)
        return self.send("submit_sm", repeat=repeat, destination_addr=destination_addr, **fields)

    def events(self, count=0, timeout=5.0):
        """Waits until `count` more events arrived (or `timeout`); returns
        all events that arrived so far."""
        new = self.call("events", count=count, timeout_ms=int(timeout * 1000),
                        timeout=timeout + 10)["events"]
        self.received.extend(new)
        return list(self.received)

    def pdus(self, command):
        return [e for e in self.received if e["event"] == "pdu" and e["command"] == command]

    def wait_pdus(self, command, count, timeout=10.0):
        """Waits until `count` PDUs of `command` arrived; returns them."""
        deadline = time.monotonic() + timeout
        while len(self.pdus(command)) < count and time.monotonic() < deadline:
            self.events(count=1, timeout=max(0.05, deadline - time.monotonic()))
        found = self.pdus(command)
        if len(found) < count:
            raise AssertionError("%d of %d %s arrived: %r" % (len(found), count, command, self.received))
        return found

    def closed(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(e["event"] == "close" for e in self.received):
                return True
            self.events(count=1, timeout=0.2)
        return False

    def trace(self):
        with open(self.err_path, "r", encoding="latin-1") as f:
            return f.read()

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write(b'{"op": "quit"}\n')
                self.process.stdin.flush()
            except BrokenPipeError:
                pass
            kst.wait_or_kill(self.process)
        self.process.stdin.close()
        self.process.stdout.close()
        self._err.close()


class SimTestCase(unittest.TestCase):
    expect_violations = False

    def setUp(self):
        self.sim = SmppSim(system_id="kst", password="secret")
        self.addCleanup(self.sim.cleanup)
        self.client = self.new_client()

    def tearDown(self):
        if not self.expect_violations:
            self.sim.assert_no_violations()

    def new_client(self, bind=None):
        client = Client(self.sim.workdir)
        self.addCleanup(client.close)
        client.connect(self.sim.smpp_port)
        if bind:
            self.assertEqual(client.bind(as_=bind), 0)
        return client

    def bound(self, as_="transceiver"):
        self.assertEqual(self.client.bind(as_=as_), 0)

    def answers(self, count, command="submit_sm_resp"):
        return self.client.wait_pdus(command, count)


class Binding(SimTestCase):
    def test_credentials_are_checked_for_every_kind_of_bind(self):
        self.assertEqual(self.client.bind(system_id="other"), STATUS["ESME_RBINDFAIL"])
        self.assertEqual(self.client.bind(password="wrong"), STATUS["ESME_RINVPASWD"])
        self.assertEqual(self.client.bind(), 0)
        self.new_client(bind="transmitter")
        self.new_client(bind="receiver")
        binds = self.sim.binds()
        self.assertEqual([(b["command"], b["system_id"], b["password"], b["interface_version"])
                          for b in binds],
                         [("bind_transceiver", "other", "secret", 0x34),
                          ("bind_transceiver", "kst", "wrong", 0x34),
                          ("bind_transceiver", "kst", "secret", 0x34),
                          ("bind_transmitter", "kst", "secret", 0x34),
                          ("bind_receiver", "kst", "secret", 0x34)])
        answers = [self.sim.answer_to(b) for b in binds]
        self.assertEqual([a["status"] for a in answers], [0x0D, 0x0E, 0, 0, 0])
        self.assertEqual(answers[2]["tlvs"], {"sc_interface_version": 0x34})
        counts = self.sim.counts()
        self.assertEqual((counts["binds"], counts["bind_failures"], counts["open"]), (3, 2, 3))
        self.assertEqual(sorted(c["state"] for c in self.sim.connections()), ["rx", "trx", "tx"])

    def test_refusing_every_bind_and_closing(self):
        self.sim.set_mode(bind="refuse", bind_status="ESME_RSYSERR", bind_fail_close=1)
        self.assertEqual(self.client.bind(), STATUS["ESME_RSYSERR"])
        self.assertTrue(self.client.closed())
        self.sim.set_mode(bind="check", bind_fail_close=0)
        self.new_client(bind="transceiver")


class Submissions(SimTestCase):
    def test_answers_with_unique_ids_and_logs_every_field(self):
        self.bound()
        self.client.submit("420601234567", "Hello @ world", source_addr="Shop", source_addr_ton=5,
                           source_addr_npi=0, dest_addr_ton=1, dest_addr_npi=1,
                           registered_delivery=1, service_type="CMT")
        self.client.submit("0601234567", "Grüße", data_coding=3)
        ucs2 = "Příliš žluťoučký"
        self.client.submit("0601234567", short_message={"hex": ucs2.encode("utf-16-be").hex()},
                           data_coding=8)
        udh = "0500032a0201"
        self.client.submit("0601234567", short_message={"hex": udh + b"part one".hex()},
                           esm_class=0x40)
        long_text = "x" * 300
        self.client.send("submit_sm", destination_addr="0601234567", data_coding=1,
                         message_payload={"hex": long_text.encode().hex()})
        answers = self.answers(5)
        self.assertEqual([a["status"] for a in answers], [0] * 5)
        ids = [a["fields"]["message_id"] for a in answers]
        self.assertEqual(len(set(ids)), 5)
        self.assertEqual(ids, self.sim.message_ids())
        for message_id in ids:
            self.assertRegex(message_id, r"^[0-9A-F]{8}$")

        first, second, third, fourth, fifth = self.sim.submissions()
        self.assertEqual((first["service_type"], first["source_addr_ton"], first["source_addr_npi"],
                          first["source_addr"], first["dest_addr_ton"], first["dest_addr_npi"],
                          first["destination_addr"], first["esm_class"],
                          first["registered_delivery"], first["data_coding"]),
                         ("CMT", 5, 0, "Shop", 1, 1, "420601234567", 0, 1, 0))
        # data_coding 0 is the GSM default alphabet: "@" is 0x40 in
        # ASCII but "¡" there; the hex keeps what was sent.
        self.assertEqual(first["short_message"], "Hello @ world".encode().hex())
        self.assertEqual(first["sm_length"], 13)
        self.assertEqual(first["text"], "Hello ¡ world")
        self.assertEqual((second["data_coding"], second["text"]), (3, "Grüße"))
        self.assertEqual((third["data_coding"], third["text"]), (8, ucs2))
        self.assertEqual((fourth["udh"], fourth["text"]), (udh, "part one"))
        self.assertEqual((fifth["sm_length"], fifth["text"]), (0, long_text))
        self.assertEqual(fifth["tlvs"]["message_payload"], long_text.encode().hex())
        for sub in (first, fifth):
            self.assertEqual(self.sim.answer_to(sub)["message_id"], ids[0 if sub is first else 4])
        self.sim.set_mode(id_format="dec")
        self.client.submit()
        self.assertEqual(self.answers(6)[5]["fields"]["message_id"], "6")

    def test_steered_statuses(self):
        self.bound()
        # Each rule holds from the submission after it on: the answers
        # are awaited before the next rule.
        self.sim.fail("ESME_RTHROTTLED", every=3)
        self.client.submit(repeat=6)
        self.answers(6)
        self.sim.fail("ESME_RMSGQFUL", next=2)
        self.client.submit(repeat=3)
        self.answers(9)
        self.sim.fail(0x0B, all=True)
        self.client.submit(repeat=2)
        self.answers(11)
        self.sim.fail()
        self.client.submit()
        answers = self.answers(12)
        self.assertEqual([a["status"] for a in answers],
                         [0, 0, 0x58, 0, 0, 0x58, 0x14, 0x14, 0, 0x0B, 0x0B, 0])
        # An error answer has no message id; each answer has its request's
        # sequence number.
        subs = self.sim.submissions()
        self.assertEqual([a["seq"] for a in answers], [s["seq"] for s in subs])
        self.assertEqual(len(self.sim.message_ids()), 6)
        counts = self.sim.counts()
        self.assertEqual((counts["submits"], counts["submit_ok"], counts["submit_errors"]), (12, 6, 6))

        self.sim.set_mode(submit="nack", nack_status="ESME_RINVCMDLEN")
        seq = self.client.submit()
        nack = self.client.wait_pdus("generic_nack", 1)[0]
        self.assertEqual((nack["seq"], nack["status"]), (seq, 0x02))
        self.assertEqual(self.sim.counts()["nacks"], 1)

    def test_delayed_held_and_missing_answers(self):
        self.bound()
        self.sim.set_mode(submit_delay=300)
        self.client.submit(text="late")
        self.answers(1)
        late = self.sim.submissions()[0]
        self.assertGreaterEqual(self.sim.answer_to(late)["t"] - late["t"], 0.29)

        self.sim.set_mode(submit_delay=0, submit="hold")
        seqs = [self.client.submit(text="held %d" % i) for i in range(6)]
        self.sim.wait_for(lambda: self.sim.counts()["held_now"] == 6, what="six held answers")
        self.client.events(timeout=0.3)
        self.assertEqual(len(self.client.pdus("submit_sm_resp")), 1, "nothing while held")
        self.assertEqual(self.sim.release(count=2), 2)
        self.assertEqual(self.sim.release(order="reverse"), 4)
        answers = self.answers(7)[1:]
        self.assertEqual([a["seq"] for a in answers], seqs[:2] + list(reversed(seqs[2:])))
        self.assertEqual(len(set(a["fields"]["message_id"] for a in answers)), 6)

        self.sim.set_mode(submit="ignore")
        self.client.submit(text="never answered")
        self.sim.wait_for(lambda: self.sim.counts()["ignored"] == 1, what="the ignored submission")
        self.client.events(timeout=0.3)
        self.assertEqual(len(self.client.pdus("submit_sm_resp")), 7)
        unanswered = self.sim.connections()[0]["unanswered_by_sim"]
        self.assertEqual(unanswered, [self.sim.submissions()[-1]["seq"]])

    def test_close_in_the_middle_of_a_burst(self):
        self.bound()
        self.sim.set_mode(close_after=3)
        self.client.submit(text="burst", repeat=5)
        self.assertTrue(self.client.closed())
        self.assertEqual(len(self.client.pdus("submit_sm_resp")), 2)
        self.sim.wait_for(lambda: self.sim.counts()["open"] == 0, what="the connection to end")
        counts = self.sim.counts()
        self.assertEqual((counts["submits"], counts["submit_ok"], counts["closed_by_sim"], counts["open"]),
                         (3, 2, 1, 0))
        self.assertEqual(len(self.sim.submissions()), 3, "nothing after the close is taken")
        self.assertEqual(self.sim.config()["close_after"], 0)
        # The close command ends every connection at once.
        self.client = self.new_client(bind="transmitter")
        other = self.new_client(bind="receiver")
        self.assertEqual(self.sim.close(), 2)
        self.assertTrue(self.client.closed() and other.closed())


class Deliveries(SimTestCase):
    def test_received_messages(self):
        self.bound()
        self.sim.deliver("420777111222", "12345", "Hello @home")
        self.sim.deliver("420777111222", "12345", "Čau", data_coding=8, source_addr_ton=1,
                         source_addr_npi=1)
        self.sim.deliver("420777111222", "12345", "part two", udh="0500032a0202")
        self.sim.deliver("420777111222", "12345", hex="c0ffee", data_coding=4)
        self.sim.deliver("420777111222", "12345", "y" * 200, data_coding=1, payload=True)
        got = self.client.wait_pdus("deliver_sm", 5)
        first, second, third, fourth, fifth = [g["fields"] for g in got]
        self.assertEqual((first["source_addr"], first["destination_addr"], first["esm_class"],
                          first["data_coding"], first["text"]),
                         ("420777111222", "12345", 0, 0, "Hello @home"))
        self.assertEqual((second["text"], second["data_coding"], second["source_addr_ton"],
                          second["source_addr_npi"]), ("Čau", 8, 1, 1))
        self.assertEqual((third["esm_class"], third["udh"], third["text"]), (0x40, "0500032a0202", "part two"))
        self.assertEqual(fourth["short_message"]["message"], {"hex": "c0ffee"})
        self.assertEqual(fifth["message_payload"]["message"], "y" * 200)
        self.sim.wait_for(lambda: self.sim.counts()["deliver_resps"] == 5, what="five deliver_sm_resp")
        logged = self.sim.pdus(dir="out", command="deliver_sm")
        self.assertEqual([p["text"] for p in logged[:3]], ["Hello @home", "Čau", "part two"])
        self.assertEqual(logged[1]["short_message"], "Čau".encode("utf-16-be").hex())
        self.assertEqual(logged[0]["short_message"], "48656c6c6f2000686f6d65", "@ in the GSM alphabet")
        self.sim.set_mode(default_alphabet="latin1")
        self.sim.deliver("1", "2", "@home")
        self.client.wait_pdus("deliver_sm", 6)
        self.assertEqual(self.sim.pdus(dir="out", command="deliver_sm")[5]["short_message"],
                         b"@home".hex())

    def test_receipts_on_command_and_for_every_submission(self):
        self.bound()
        self.client.submit("420601234567", "Please confirm this message", source_addr="777",
                           registered_delivery=1)
        message_id = self.answers(1)[0]["fields"]["message_id"]
        sent = self.sim.receipt(message_id, stat="DELIVRD")
        receipt = self.client.wait_pdus("deliver_sm", 1)[0]["fields"]
        self.assertEqual(receipt["esm_class"], 0x04)
        self.assertEqual((receipt["source_addr"], receipt["destination_addr"]), ("420601234567", "777"))
        self.assertEqual((receipt["receipted_message_id"], receipt["message_state"]),
                         (message_id, MESSAGE_STATES["DELIVRD"]))
        fields = parse_receipt(receipt["text"])
        self.assertEqual(receipt["text"], sent["text"])
        self.assertEqual((fields["id"], fields["sub"], fields["dlvrd"], fields["stat"], fields["err"],
                          fields["text"]),
                         (message_id, "001", "001", "DELIVRD", "000", "Please confirm this "))
        logged = self.sim.pdus(dir="out", command="deliver_sm")[0]
        self.assertEqual(logged["tlvs"], {"receipted_message_id": message_id, "message_state": 2})

        # Automatic receipts for the submissions that ask for one.
        self.sim.set_mode(receipts=True, receipt_stat="UNDELIV", receipt_err="069")
        for registered in (1, 0, 2, 0x11):
            self.client.submit(text="auto %d" % registered, registered_delivery=registered)
        receipts = self.client.wait_pdus("deliver_sm", 4)[1:]
        ids = self.sim.message_ids()
        self.assertEqual([parse_receipt(r["fields"]["text"])["id"] for r in receipts],
                         [ids[1], ids[3], ids[4]])
        for r in receipts:
            self.assertEqual((r["fields"]["message_state"], parse_receipt(r["fields"]["text"])["err"]),
                             (MESSAGE_STATES["UNDELIV"], "069"))
        self.client.events(timeout=0.3)
        self.assertEqual(len(self.client.pdus("deliver_sm")), 4, "none for registered_delivery 0")
        # DELIVRD receipts are not sent to those asking for failures only.
        self.sim.set_mode(receipt_stat="DELIVRD")
        self.client.submit(text="failures only", registered_delivery=2)
        self.client.submit(text="all", registered_delivery=1)
        self.assertEqual(len(self.client.wait_pdus("deliver_sm", 5)), 5)
        self.client.events(timeout=0.3)
        self.assertEqual(len(self.client.pdus("deliver_sm")), 5)
        self.assertEqual(self.sim.counts()["receipts"], 5)

    def test_refused_deliveries_are_logged(self):
        self.bound()
        self.client.call("set", deliver_status=STATUS["ESME_RX_T_APPN"])
        self.sim.deliver("1", "2", "refused")
        answer = self.sim.wait_pdus(1, dir="in", command="deliver_sm_resp")[0]
        self.assertEqual(answer["status"], 0x64)


class Link(SimTestCase):
    def test_enquire_link_both_ways(self):
        self.bound()
        seq = self.client.send("enquire_link")
        answer = self.client.wait_pdus("enquire_link_resp", 1)[0]
        self.assertEqual((answer["seq"], answer["status"]), (seq, 0))
        seqs = self.sim.enquire_link()
        self.assertEqual([e["seq"] for e in self.client.wait_pdus("enquire_link", 1)], seqs)
        self.sim.wait_for(lambda: self.sim.counts()["enquire_resp_in"] == 1, what="the client's answer")

        self.sim.set_mode(enquire_interval=100)
        self.client.wait_pdus("enquire_link", 3)
        self.sim.set_mode(enquire_interval=0)
        # A silent SMSC: the client's enquire_link stays unanswered.
        self.sim.set_mode(enquire="ignore")
        self.client.send("enquire_link")
        self.sim.wait_for(lambda: self.sim.counts()["enquire_in"] == 2, what="the second enquire_link")
        self.client.events(timeout=0.3)
        self.assertEqual(len(self.client.pdus("enquire_link_resp")), 1)

    def test_unbind_both_ways(self):
        self.bound()
        seq = self.client.send("unbind")
        self.assertEqual(self.client.wait_pdus("unbind_resp", 1)[0]["seq"], seq)
        self.assertTrue(self.client.closed())
        self.client = self.new_client(bind="transceiver")
        self.sim.unbind()
        self.client.wait_pdus("unbind", 1)
        self.assertTrue(self.client.closed())
        self.sim.wait_for(lambda: self.sim.counts()["open"] == 0, what="both connections to end")
        self.assertEqual(len(self.sim.pdus(dir="in", command="unbind_resp")), 1)
        self.assertEqual(self.sim.counts()["unbinds"], 1)


class Violations(SimTestCase):
    expect_violations = True

    def violation_texts(self):
        return [v["violation"] for v in self.sim.violations()]

    def expect(self, text):
        found = self.sim.wait_for(lambda: [v for v in self.violation_texts() if text in v], what=text)
        return found

    def test_protocol_violations_are_recorded(self):
        seq = self.client.submit()
        answer = self.client.wait_pdus("submit_sm_resp", 1)[0]
        self.assertEqual((answer["seq"], answer["status"]), (seq, STATUS["ESME_RINVBNDSTS"]))
        self.expect("submit_sm before bind")
        self.bound()
        self.assertEqual(self.client.bind(), STATUS["ESME_RALYBND"])
        self.expect("bind_transceiver on a connection already bound")

        self.sim.set_mode(submit="hold")
        self.client.submit(sequence_number=77)
        self.client.submit(sequence_number=77)
        self.expect("submit_sm reuses sequence number 77 of an unanswered submit_sm")
        self.sim.release()
        self.client.send("deliver_sm_resp", sequence_number=999)
        self.expect("deliver_sm_resp answers sequence number 999, which is not outstanding")
        self.client.submit("1" * 21)
        self.expect("submit_sm: destination_addr has 21 octets, at most 20 fit")
        # An unknown command and a string that runs off the end.
        self.client.call("raw", hex="00000010" "000000ff" "00000000" "00000063")
        self.expect("unknown command_id 0x000000ff")
        nack = self.client.wait_pdus("generic_nack", 1)[0]
        self.assertEqual((nack["seq"], nack["status"]), (0x63, STATUS["ESME_RINVCMDID"]))
        self.client.call("raw", hex="00000013" "00000015" "00000000" "00000064" "414243")
        self.expect("enquire_link: 3 octets after the last field")
        receiver = self.new_client(bind="receiver")
        receiver.submit()
        self.assertEqual(receiver.wait_pdus("submit_sm_resp", 1)[0]["status"], STATUS["ESME_RINVBNDSTS"])
        self.expect("submit_sm on a receiver bind")
        self.assertEqual(self.sim.counts()["violations"], len(self.sim.violations()))
        self.assertEqual(len(self.sim.violations()), 8, self.violation_texts())

    def test_good_traffic_has_none(self):
        self.bound()
        self.client.submit(registered_delivery=1)
        message_id = self.answers(1)[0]["fields"]["message_id"]
        self.sim.receipt(message_id)
        self.sim.enquire_link()
        self.client.send("enquire_link")
        self.client.wait_pdus("deliver_sm", 1)
        self.client.wait_pdus("enquire_link_resp", 1)
        self.client.send("unbind")
        self.assertTrue(self.client.closed())
        self.sim.wait_for(lambda: self.sim.counts()["open"] == 0, what="the connection to end")
        self.assertEqual(self.sim.violations(), [])


# A Net::SMPP client: binds, submits, reads the answer and a receipt,
# prints what it got as JSON.
NETSMPP_CLIENT = r"""
use strict; use warnings; use Net::SMPP; use JSON::PP;
my ($port, $sim) = @ARGV;
my ($smpp, $resp) = Net::SMPP->new_transceiver('127.0.0.1', port => $port, system_id => 'kst',
                                                password => 'secret', timeout => 10);
die "no connection\n" unless $smpp;
my %out = (bind_status => $resp->{status});
my $answer = $smpp->submit_sm(destination_addr => '420601234567', source_addr => '777',
                              short_message => 'via Net::SMPP', registered_delivery => 1);
$out{submit_status} = $answer->{status};
$out{message_id} = $answer->{message_id};
print JSON::PP->new->encode(\%out), "\n";
STDOUT->flush;
my $line = <STDIN>;   # the test has sent a receipt by now
my $pdu = $smpp->read_pdu;
$smpp->deliver_sm_resp(seq => $pdu->{seq}, message_id => '');
print JSON::PP->new->encode({cmd => $pdu->{cmd}, esm_class => $pdu->{esm_class},
    text => $pdu->{short_message}, receipted_message_id => $pdu->{receipted_message_id} =~ s/\0\z//r,
    message_state => unpack('C', $pdu->{message_state})}), "\n";
my $unbind = $smpp->unbind;
print JSON::PP->new->encode({unbind_status => $unbind->{status}}), "\n";
"""


class OtherImplementations(unittest.TestCase):
    def test_netsmpp_client_against_the_simulator(self):
        with SmppSim() as sim:
            with subprocess.Popen(["perl", "-e", NETSMPP_CLIENT, str(sim.smpp_port)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True) as perl:
                try:
                    first = json.loads(perl.stdout.readline() or "null")
                    self.assertEqual(first, {"bind_status": 0, "submit_status": 0,
                                             "message_id": sim.message_ids()[0]}, perl.stderr)
                    sim.receipt(first["message_id"], stat="EXPIRED")
                    perl.stdin.write("go\n")
                    perl.stdin.flush()
                    receipt = json.loads(perl.stdout.readline())
                    unbind = json.loads(perl.stdout.readline())
                finally:
                    kst.wait_or_kill(perl, timeout=20)
            self.assertEqual((receipt["cmd"], receipt["esm_class"], receipt["receipted_message_id"],
                              receipt["message_state"]),
                             (5, 4, first["message_id"], MESSAGE_STATES["EXPIRED"]))
            self.assertEqual(parse_receipt(receipt["text"])["stat"], "EXPIRED")
            self.assertEqual(unbind, {"unbind_status": 0})
            self.assertEqual(sim.submissions()[0]["text"], "via Net::SMPP")
            sim.assert_no_violations()

    def test_netsmpp_smsc_with_the_npm_client(self):
        with NetSmppSmsc(system_id="kst", password="secret", receipt=True, stat="DELIVRD",
                         first_id=0xA0) as smsc:
            client = Client(smsc.workdir)
            try:
                client.connect(smsc.smpp_port)
                self.assertEqual(client.bind(password="wrong"), STATUS["ESME_RINVPASWD"])
                self.assertEqual(client.bind(), 0)
                client.submit("420601234567", "first", source_addr="777", registered_delivery=1)
                client.submit("420601234568", "Grüße", data_coding=3, registered_delivery=1)
                answers = client.wait_pdus("submit_sm_resp", 2)
                self.assertEqual([a["fields"]["message_id"] for a in answers], ["000000A0", "000000A1"])
                receipt = client.wait_pdus("deliver_sm", 1)[0]["fields"]
                self.assertEqual((receipt["esm_class"], receipt["receipted_message_id"],
                                  receipt["message_state"], receipt["source_addr"],
                                  receipt["destination_addr"]),
                                 (4, "000000A0", 2, "420601234567", "777"))
                self.assertEqual(parse_receipt(receipt["text"])["id"], "000000A0")
                seq = client.send("enquire_link")
                self.assertEqual(client.wait_pdus("enquire_link_resp", 1)[0]["seq"], seq)
                client.send("unbind")
                client.wait_pdus("unbind_resp", 1)
                self.assertTrue(client.closed())
            finally:
                client.close()
            smsc.wait_for(lambda: smsc.events("close"), what="the peer to see the close")
            self.assertEqual(smsc.process.wait(10), 0)
            # The same log reading as for smppsim.
            subs = smsc.submissions()
            self.assertEqual([(s["destination_addr"], s["text"], s["data_coding"]) for s in subs],
                             [("420601234567", "first", 0), ("420601234568", "Grüße", 3)])
            self.assertEqual(smsc.message_ids(), ["000000A0", "000000A1"])
            self.assertEqual([b["status"] for b in smsc.answers(("bind_transceiver_resp",))], [0x0E, 0])
            receipt = smsc.pdus(dir="out", command="deliver_sm")[0]
            self.assertEqual(receipt["tlvs"], {"receipted_message_id": "000000A0", "message_state": 2})
            self.assertEqual(smsc.pdus(dir="in", command="deliver_sm_resp")[0]["seq"], receipt["seq"])
            smsc.assert_no_violations()


# Fields of Wireshark's SMPP dissector and their names in the log.
DISSECTOR_FIELDS = {
    "smpp.system_id": "system_id", "smpp.password": "password", "smpp.source_addr": "source_addr",
    "smpp.destination_addr": "destination_addr", "smpp.source_addr_ton": "source_addr_ton",
    "smpp.source_addr_npi": "source_addr_npi", "smpp.dest_addr_ton": "dest_addr_ton",
    "smpp.dest_addr_npi": "dest_addr_npi", "smpp.data_coding": "data_coding",
    "smpp.sm_length": "sm_length", "smpp.message": "short_message", "smpp.message_id": "message_id",
    "smpp.interface_version": "interface_version",
}
DISSECTOR_TLVS = {"smpp.receipted_message_id": "receipted_message_id",
                  "smpp.message_state": "message_state"}
TEXT_FIELDS = {"system_id", "password", "source_addr", "destination_addr", "message_id",
               "receipted_message_id", "short_message"}


def from_dissector(pdu):
    """One PDU as the dissector read it, with the log's names and types."""
    out = {"command_id": int(pdu["smpp.command_id"], 16), "seq": int(pdu["smpp.sequence_number"]),
           "status": int(pdu.get("smpp.command_status", "0"), 16)}
    values = [(DISSECTOR_FIELDS, pdu)]
    params = pdu.get("smpp.opt_params", {}).get("smpp.opt_param", [])
    for param in params if isinstance(params, list) else [params]:
        values.append((DISSECTOR_TLVS, param))
    for names, source in values:
        for key, name in names.items():
            if key in source:
                value = source[key]
                out[name] = (value.replace(":", "") if name == "short_message" else
                             value if name in TEXT_FIELDS else int(value, 0))
    return out


def dissected_pdus(capture):
    """Every SMPP PDU of a capture as the dissector read it (from_dissector)."""
    dissected = []
    for packet in json.loads(capture.tshark("-T", "json", "-J", "smpp", "--no-duplicate-keys", "-Y", "smpp")):
        layer = packet["_source"]["layers"]["smpp"]
        dissected.extend(from_dissector(pdu) for pdu in (layer if isinstance(layer, list) else [layer]))
    return dissected


def log_value(pdu, key):
    if key in DISSECTOR_TLVS.values():
        return pdu.get("tlvs", {}).get(key)
    return pdu.get(key)


def tshark_available():
    return shutil.which("tshark") and shutil.which("dumpcap")


@unittest.skipUnless(tshark_available(), "tshark is not installed")
class WireFormat(SimTestCase):
    def test_capture_decodes_as_logged(self):
        self.client.close()
        capture = WireCapture(self.sim.workdir, self.sim.smpp_port, protocol="smpp")
        try:
            self.client = self.new_client()
            self.run_session()
        finally:
            capture.stop()
        logged = self.sim.pdus()
        self.assertGreater(len(logged), 20)

        # The bytes on the wire are the logged PDUs, per direction.
        streams = capture.streams()
        for (stream, from_server), data in streams.items():
            self.assertEqual(data.hex(), "".join(p["raw"] for p in logged
                                                 if p["dir"] == ("out" if from_server else "in")))

        # Wireshark's SMPP dissector: nothing malformed, every PDU found,
        # the header, the fields and the TLVs as logged.
        self.assertEqual(capture.tshark("-Y", "_ws.malformed || _ws.expert.severity >= error",
                                        "-T", "fields", "-e", "frame.number"), "")
        dissected = dissected_pdus(capture)
        self.assertEqual(len(dissected), len(logged))
        header = lambda p: (p["command_id"], p["seq"], p["status"])
        for seen, sent in zip(sorted(dissected, key=header), sorted(logged, key=header)):
            self.assertEqual(seen, {key: log_value(sent, key) for key in seen})
        by_command = {}
        for p in dissected:
            by_command.setdefault(p["command_id"], []).append(p)
        self.assertEqual(len(by_command[0x00000004]), 5)
        self.assertEqual([p["message_state"] for p in by_command[0x00000005] if "message_state" in p], [2, 5])
        self.assertEqual(len([p for p in by_command[0x80000004] if "message_id" in p]), 3)

        expert = capture.tshark("-q", "-z", "expert")
        self.assertNotIn("Malformed", expert)
        self.assertNotIn("Errors (", expert)

    def run_session(self):
        self.assertEqual(self.client.bind(password="wrong"), STATUS["ESME_RINVPASWD"])
        self.bound()
        self.client.submit("420601234567", "Hello", source_addr="777", registered_delivery=1)
        self.client.submit("0601234567", short_message={"hex": "Čau".encode("utf-16-be").hex()},
                           data_coding=8, source_addr="Shop", source_addr_ton=5)
        self.client.submit("0601234568", short_message={"hex": "0500032a0201" + b"part".hex()},
                           esm_class=0x40, source_addr="777")
        ids = [a["fields"]["message_id"] for a in self.answers(3)]
        self.sim.fail("ESME_RTHROTTLED", next=1)
        self.client.submit("0601234569", "throttled", source_addr="777")
        self.assertEqual(self.answers(4)[3]["status"], STATUS["ESME_RTHROTTLED"])
        self.sim.set_mode(submit="nack")
        self.client.submit("0601234569", "nacked", source_addr="777")
        self.client.wait_pdus("generic_nack", 1)
        self.sim.set_mode(submit="ack")
        self.sim.receipt(ids[0], stat="DELIVRD")
        self.sim.receipt(ids[1], stat="UNDELIV")
        self.sim.deliver("420777111222", "12345", "incoming", data_coding=3)
        self.client.wait_pdus("deliver_sm", 3)
        self.sim.enquire_link()
        self.client.send("enquire_link")
        self.client.wait_pdus("enquire_link", 1)
        self.client.wait_pdus("enquire_link_resp", 1)
        self.sim.wait_for(lambda: self.sim.counts()["enquire_resp_in"] == 1, what="the enquire_link_resp")
        self.client.send("unbind")
        self.assertTrue(self.client.closed())
        self.sim.wait_for(lambda: self.sim.counts()["open"] == 0, what="the connection to end")


if __name__ == "__main__":
    unittest.main(verbosity=2)
