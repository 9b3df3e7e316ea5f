"""Drives the SMPP test peers from tests: the SMSC simulator
tools/smppsim/smppsim.js (Node.js, npm smpp) and the small second SMSC
tools/smppsim/netsmpp_smsc.pl (Perl, Net::SMPP).

    with SmppSim(system_id="kst", password="secret") as sim:
        ... point the client at 127.0.0.1:sim.smpp_port ...
        sub = sim.wait_for(lambda: sim.submissions(), what="a submission")[0]
        sub["destination_addr"], sub["text"], sub["registered_delivery"], sub["tlvs"]
        sim.fail("ESME_RTHROTTLED", every=3)          # or next=2, or all=True
        sim.set_mode(submit="hold"); ...; sim.release(order="reverse")
        sim.deliver("420777111222", "12345", "hello")
        sim.receipt(sim.message_ids()[0], stat="UNDELIV")
        sim.assert_no_violations()

PDUs come from the peer's JSON-lines log, one dict each: "dir" ("in" from
the client, "out" to it), "t" (seconds), "conn" (connection number from
1), "command" (e.g. "submit_sm"), "command_id", "status", "seq",
"length", "raw" (hex) and the decoded fields by their SMPP names
(service_type, source_addr_ton, source_addr_npi, source_addr,
dest_addr_ton, dest_addr_npi, destination_addr, esm_class,
registered_delivery, data_coding, system_id, password, message_id, ...);
"short_message" is hex, "udh" the user data header (hex) when esm_class
has UDHI, "text" the text where data_coding makes one (0 as the GSM
default alphabet, unpacked; 1 and 3 as Latin-1; 8 as UCS-2), taken from
message_payload when that carries the message; "tlvs" maps TLV names
(e.g. "receipted_message_id", "message_state", "message_payload" as hex)
or unknown tags ("0x1403") to values.

Other records: {"event": ..., "conn": ...} and {"violation": text, "conn":
..., "seq": ...} for every protocol violation of the client (a request
before bind, a sequence number reused while unanswered, an answer to an
unknown sequence number, fields that overrun the PDU or are too long, ...).
"""

import json
import os
import re
import shutil
import socket
import subprocess
import time

from kst import SOURCE_DIR, ScratchPeer, read_first_line, wait_or_kill

SMPPSIM_DIR = os.path.join(SOURCE_DIR, "tools", "smppsim")

STATUS = {
    "ESME_ROK": 0x00, "ESME_RINVMSGLEN": 0x01, "ESME_RINVCMDLEN": 0x02, "ESME_RINVCMDID": 0x03,
    "ESME_RINVBNDSTS": 0x04, "ESME_RALYBND": 0x05, "ESME_RSYSERR": 0x08, "ESME_RINVSRCADR": 0x0A,
    "ESME_RINVDSTADR": 0x0B, "ESME_RINVMSGID": 0x0C, "ESME_RBINDFAIL": 0x0D,
    "ESME_RINVPASWD": 0x0E, "ESME_RINVSYSID": 0x0F, "ESME_RMSGQFUL": 0x14,
    "ESME_RSUBMITFAIL": 0x45, "ESME_RTHROTTLED": 0x58, "ESME_RX_T_APPN": 0x64,
    "ESME_RDELIVERYFAILURE": 0xFE, "ESME_RUNKNOWNERR": 0xFF,
}

# message_state of a receipt's stat.
MESSAGE_STATES = {"ENROUTE": 1, "DELIVRD": 2, "EXPIRED": 3, "DELETED": 4, "UNDELIV": 5,
                  "ACCEPTD": 6, "UNKNOWN": 7, "REJECTD": 8}

RECEIPT_TEXT = re.compile(r"^id:(?P<id>\S+) sub:(?P<sub>\d{3}) dlvrd:(?P<dlvrd>\d{3}) "
                          r"submit date:(?P<submit_date>\d{10}) done date:(?P<done_date>\d{10}) "
                          r"stat:(?P<stat>[A-Z]{7}) err:(?P<err>\d{3}) text:(?P<text>.*)$", re.S)


def status_code(status):
    """A status as a number: 0x58, 88 or "ESME_RTHROTTLED"."""
    return STATUS[status] if isinstance(status, str) else int(status)


def parse_receipt(text):
    """The fields of a receipt text as a dict, or None."""
    match = RECEIPT_TEXT.match(text or "")
    return match.groupdict() if match else None


def node_modules_ready():
    """Whether the simulator's npm packages are installed (scripts/install-deps)."""
    return os.path.isdir(os.path.join(SMPPSIM_DIR, "node_modules", "smpp"))


class SimError(AssertionError):
    pass


class SmppLog:
    """Reads a peer's JSON-lines log as it grows; the peer writes every
    record before it acts on the next PDU."""

    def __init__(self, path):
        self.path = path
        self._records = []
        self._offset = 0
        self._partial = b""

    def records(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                data = f.read()
        except FileNotFoundError:
            return list(self._records)
        self._offset += len(data)
        lines = (self._partial + data).split(b"\n")
        self._partial = lines.pop()
        for line in lines:
            if line:
                self._records.append(json.loads(line.decode("utf-8")))
        return list(self._records)


class SmppPeer(ScratchPeer):
    """What both SMSC peers share: the log and its reading, waiting, stop."""

    name = "smpp peer"

    def _start(self, argv, pattern):
        self.log = SmppLog(self.log_path)
        self._err = open(self.err_path, "wb")
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self._err,
                                        stdin=subprocess.DEVNULL, start_new_session=True,
                                        cwd=self.workdir)
        line = read_first_line(self.process, 20)
        match = re.search(pattern, line)
        if not match:
            self.stop()
            raise SimError("%s did not report its ports: %r %s" % (self.name, line, self.stderr()))
        return match

    # ---------------------------------------------------------- log

    def records(self):
        """Every log record so far (PDUs, events, violations)."""
        return self.log.records()

    def pdus(self, dir=None, command=None, conn=None, status=None):
        """PDUs in the order they went over the wire, filtered by direction
        ("in" from the client, "out" to it), command name (or a tuple of
        names), connection number and status."""
        commands = (command,) if isinstance(command, str) else command
        out = []
        for record in self.records():
            if "command" not in record:
                continue
            if dir and record["dir"] != dir:
                continue
            if commands and record["command"] not in commands:
                continue
            if conn is not None and record["conn"] != conn:
                continue
            if status is not None and record["status"] != status_code(status):
                continue
            out.append(record)
        return out

    def submissions(self):
        """submit_sm received, in order."""
        return self.pdus(dir="in", command="submit_sm")

    def wait_pdus(self, count, timeout=10.0, **filters):
        """Waits until at least `count` PDUs match pdus(**filters); returns
        them all."""
        return self.wait_for(lambda: len(self.pdus(**filters)) >= count and self.pdus(**filters),
                             timeout, what="%d PDUs %r" % (count, filters))

    def binds(self):
        return self.pdus(dir="in", command=("bind_transmitter", "bind_receiver", "bind_transceiver"))

    def answers(self, command="submit_sm_resp"):
        """The peer's answers of one kind, in order (generic_nack too when
        asked for "generic_nack")."""
        return self.pdus(dir="out", command=command)

    def answer_to(self, pdu):
        """The peer's answer to a PDU it received (same connection and
        sequence number), or None."""
        for record in self.pdus(dir="out", conn=pdu["conn"]):
            if record["seq"] == pdu["seq"] and record["command_id"] & 0x80000000 \
                    and record["t"] >= pdu["t"]:
                return record
        return None

    def message_ids(self):
        """The message ids the peer gave, in order."""
        return [a["message_id"] for a in self.answers() if a["status"] == 0 and "message_id" in a]

    def events(self, name=None):
        return [r for r in self.records() if "event" in r and (name is None or r["event"] == name)]

    def violations(self):
        return [r for r in self.records() if "violation" in r]

    def assert_no_violations(self):
        found = self.violations()
        if found:
            raise SimError("%s saw protocol violations: %s" % (self.name, json.dumps(found, indent=1)))

    def wait_for(self, predicate, timeout=10.0, what="condition", interval=0.02):
        """Polls `predicate` (no arguments) until it returns a true value,
        which is returned; raises after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if self.process.poll() is not None:
                raise SimError("%s ended (%s) while waiting for %s: %s"
                               % (self.name, self.process.returncode, what, self.stderr()))
            if time.monotonic() >= deadline:
                raise SimError("timed out after %.1f s waiting for %s" % (timeout, what))
            time.sleep(interval)

    def _close_files(self):
        for closer in (getattr(self, "_control_file", None), getattr(self, "_control", None),
                       self.process.stdout, self._err):
            try:
                if closer:
                    closer.close()
            except OSError:
                pass


class SmppSim(SmppPeer):
    """One running smppsim.js; stopped by stop() or on leaving a with
    block. `settings` are initial control settings (see set_mode); `tls`,
    a (certificate, key) pair of PEM files, makes it speak TLS."""

    name = "smppsim"

    def __init__(self, system_id="kst", password="secret", settings=None, port=0, workdir=None, tls=None):
        if not shutil.which("node"):
            raise SimError("node is not installed (scripts/install-deps)")
        if not node_modules_ready():
            raise SimError("%s/node_modules is missing: run scripts/install-deps" % SMPPSIM_DIR)
        self._make_workdir(workdir, "smppsim-")
        self.log_path = os.path.join(self.workdir, "pdus.jsonl")
        self.err_path = os.path.join(self.workdir, "smppsim.err")
        argv = ["node", os.path.join(SMPPSIM_DIR, "smppsim.js"), "--port", str(port),
                "--system-id", system_id, "--password", password, "--log", self.log_path]
        for key, value in (settings or {}).items():
            if isinstance(value, bool):
                value = "on" if value else "off"
            argv += ["--set", "%s=%s" % (key, value)]
        if tls:
            argv += ["--tls-cert", tls[0], "--tls-key", tls[1]]
        match = self._start(argv, r"smpp_port=(\d+) control_port=(\d+)")
        self.smpp_port = int(match.group(1))
        self.control_port = int(match.group(2))
        self._control = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self._control_file = self._control.makefile("rw", encoding="utf-8", newline="\n")

    # ---------------------------------------------------------- control

    def command(self, line):
        """Sends one control command; returns its answer (a dict)."""
        if "\n" in line:
            raise ValueError("control commands are single lines")
        self._control_file.write(line + "\n")
        self._control_file.flush()
        answer = self._control_file.readline().rstrip("\n")
        if not answer:
            raise SimError("smppsim closed the control connection (%s)" % self.stderr())
        if not answer.startswith("OK "):
            raise SimError("smppsim: %s -> %s" % (line, answer))
        return json.loads(answer[3:])

    def set_mode(self, **settings):
        """Changes behaviour: system_id, password, bind (check|refuse),
        bind_status, bind_fail_close (0|1), submit (ack|hold|ignore|nack),
        nack_status, submit_delay (ms), close_after (the Nth next
        submission closes the connection unanswered), receipts (on|off:
        a receipt for every submission whose registered_delivery asks
        for it), receipt_stat (DELIVRD, UNDELIV, ...), receipt_err,
        receipt_delay (ms), enquire (ack|ignore the client's
        enquire_link), enquire_interval (ms, 0 off), id_format (hex|dec),
        default_alphabet (gsm|latin1: how data_coding 0 is read and
        written)."""
        for key, value in settings.items():
            if isinstance(value, bool):
                value = "on" if value else "off"
            self.command("set %s %s" % (key, value))

    def fail(self, status=None, every=None, next=None, all=False):
        """Answers submissions with `status` (a number or ESME_ name):
        every Nth from now, the next N, or all; fail() alone stops it."""
        if status is None:
            self.command("fail off")
        elif all:
            self.command("fail %d all" % status_code(status))
        elif every:
            self.command("fail %d every %d" % (status_code(status), every))
        elif next:
            self.command("fail %d next %d" % (status_code(status), next))
        else:
            raise ValueError("fail() wants every=, next= or all=True")

    def release(self, order="order", count=None):
        """Sends the held answers (all, or the first `count` held) in the
        order they were held or reversed; returns how many went out."""
        return self.command("release %s%s" % (order, "" if count is None else " %d" % count))["released"]

    def deliver(self, source_addr, destination_addr, text=None, data_coding=0, hex=None, udh=None,
                esm_class=0, payload=False, conn=None, **fields):
        """A deliver_sm with a received message on the newest receiving
        connection (or `conn`): the text encoded by data_coding (0, 1, 3,
        8) or the body as `hex`, `udh` as hex before it (esm_class gets
        UDHI), `payload` puts the message into message_payload; other
        fields (source_addr_ton, ...) as given. Returns {"seq", "conn"}."""
        request = dict(fields, source_addr=source_addr, destination_addr=destination_addr,
                       data_coding=data_coding, esm_class=esm_class)
        if hex is not None:
            request["hex"] = hex
        else:
            request["text"] = text or ""
        if udh:
            request["udh"] = udh
        if payload:
            request["payload"] = True
        if conn is not None:
            request["conn"] = conn
        return self.command("deliver " + json.dumps(request))

    def receipt(self, message_id, stat="DELIVRD", err="000", conn=None, **fields):
        """A delivery receipt (deliver_sm, esm_class 0x04, the standard
        text, receipted_message_id and message_state) for `message_id`,
        from the message's recipient to its sender; `fields` may give
        text, submit_date, done_date, dlvrd, source_addr,
        destination_addr, tlvs=False. Returns {"seq", "conn", "text"}."""
        request = dict(fields, message_id=message_id, stat=stat, err=err)
        if conn is not None:
            request["conn"] = conn
        return self.command("receipt " + json.dumps(request))

    def enquire_link(self, conn=None):
        """An enquire_link now to every bound connection (or `conn`);
        returns the sequence numbers."""
        return self.command("enquire" + ("" if conn is None else " %d" % conn))["seqs"]

    def unbind(self, conn=None):
        return self.command("unbind" + ("" if conn is None else " %d" % conn))

    def close(self, conn=None):
        """Closes one connection, or all of them, at once; returns how many."""
        return self.command("close" + ("" if conn is None else " %d" % conn))["closed"]

    def counts(self):
        """Counters: accepted, open, closed, closed_by_sim, binds,
        bind_failures, submits, submit_ok, submit_errors, nacks, ignored,
        held, released, held_now, dropped_answers, delivers, receipts,
        deliver_resps, enquire_in, enquire_out, enquire_resp_in, unbinds,
        violations, pdus_in, pdus_out."""
        return self.command("counts")

    def config(self):
        return self.command("config")

    def connections(self):
        return self.command("connections")["connections"]

    # ---------------------------------------------------------- life

    def stop(self):
        """Stops the simulator; returns its exit status."""
        if self.process.poll() is None:
            try:
                self.command("quit")
            except (OSError, SimError, AttributeError, ValueError):
                pass
            wait_or_kill(self.process)
        self._close_files()
        return self.process.returncode


class NetSmppSmsc(SmppPeer):
    """tools/smppsim/netsmpp_smsc.pl: a second SMSC on Perl's Net::SMPP.
    It accepts one connection, answers its bind (checking the
    credentials), answers submit_sm with ids (hex counter, from
    `first_id`), enquire_link and unbind, sends one receipt with `stat`
    for the first submission that asks for one when `receipt` is set, and
    ends when the client hangs up. It logs like smppsim (same record
    shape), so pdus(), submissions() etc. apply."""

    name = "netsmpp_smsc"

    def __init__(self, system_id="kst", password="secret", receipt=False, stat="DELIVRD",
                 first_id=1, port=0, workdir=None):
        self._make_workdir(workdir, "netsmpp-")
        self.log_path = os.path.join(self.workdir, "pdus.jsonl")
        self.err_path = os.path.join(self.workdir, "netsmpp.err")
        argv = ["perl", os.path.join(SMPPSIM_DIR, "netsmpp_smsc.pl"), "--port", str(port),
                "--system-id", system_id, "--password", password, "--log", self.log_path,
                "--first-id", str(first_id)]
        if receipt:
            argv += ["--receipt", stat]
        match = self._start(argv, r"smpp_port=(\d+)")
        self.smpp_port = int(match.group(1))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            wait_or_kill(self.process)
        self._close_files()
        return self.process.returncode
