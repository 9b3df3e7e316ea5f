"""Drives the SMSC simulator (tools/smscsim) from tests.

    with SmscSim(password="secret") as sim:
        ... point the client at 127.0.0.1:sim.ucp_port ...
        sim.wait_for(lambda: sim.submissions(), what="a submission")
        sub = sim.submissions()[0]
        sub["AdC"], sub["OAdC"], sub["NRq"], sub["text"]   # fields by name
        sim.inject_52("777111222", "420123456789", "hello")
        sim.set_mode(submit="nack", submit_error=24)
        sim.assert_no_violations()

Frames come from the simulator's JSON-lines log; each one is returned as a
dict with the log's keys ("dir" "in"/"out", "t", "conn", "trn" int, "or",
"ot" int, "fields" list, "raw" bytes), the fields also by their UCP names,
"text" (Msg decoded from IA5 when MT is 3) and, for alphanumeric
originators (OTOA 5039), "OAdC_text" (the unpacked name).
"""

import json
import os
import re
import socket
import subprocess
import time

import gsmtext
from kst import ScratchPeer, binary, read_first_line, wait_or_kill

FIELDS_5X = ["AdC", "OAdC", "AC", "NRq", "NAdC", "NT", "NPID", "LRq", "LRAd", "LPID", "DD",
             "DDT", "VP", "RPID", "SCTS", "Dst", "Rsn", "DSCTS", "MT", "NB", "Msg", "MMS", "PR",
             "DCs", "MCLs", "RPI", "CPg", "RPLy", "OTOA", "HPLMN", "XSer", "RES4", "RES5"]
FIELDS_OPERATION = {
    1: ["AdC", "OAdC", "AC", "MT", "Msg"],
    31: ["AdC", "PID"],
    51: FIELDS_5X,
    52: FIELDS_5X,
    53: FIELDS_5X,
    60: ["OAdC", "OTON", "ONPI", "STYP", "PWD", "NPWD", "VERS", "LAdC", "LTON", "LNPI", "OPID",
         "RES1"],
}


def ia5_encode(text):
    """Text as IA5 hex pairs (latin-1 bytes)."""
    return "".join("%02X" % b for b in text.encode("latin-1"))


def ia5_decode(hexdigits):
    """IA5 hex pairs as text; an unpaired last digit is ignored."""
    out = []
    for i in range(0, len(hexdigits) - 1, 2):
        out.append(chr(int(hexdigits[i:i + 2], 16)))
    return "".join(out)


def xser_decode(hexdigits):
    """The extra services of XSer: {type: data bytes}; ValueError when the
    types, lengths and data do not add up."""
    data = bytes.fromhex(hexdigits)
    services = {}
    i = 0
    while i < len(data):
        if i + 2 > len(data) or i + 2 + data[i + 1] > len(data):
            raise ValueError("XSer cut short: %s" % hexdigits)
        services[data[i]] = data[i + 2:i + 2 + data[i + 1]]
        i += 2 + data[i + 1]
    return services


def _decode_transparent(frame):
    """Transparent data (MT 4): the text by the data coding of XSer type 02
    (00: packed GSM septets, NB/7 of them; 08: UCS-2), as "text"; "coding"
    names it."""
    data = bytes.fromhex(frame["Msg"])
    bits = int(frame.get("NB") or 0)
    dcs = frame.get("xser", {}).get(0x02, b"\x04")[:1]
    if dcs == b"\x08":
        frame["coding"] = "ucs2"
        frame["text"] = data[:bits // 8].decode("utf-16-be")
    elif dcs == b"\x00":
        frame["coding"] = "gsm"
        frame["text"] = gsmtext.gsm_decode(gsmtext.unpack_septets(data, bits // 7))
    else:
        frame["coding"] = "8bit"


def oadc_decode(encoded):
    """Unpacks an alphanumeric originator: two hex digits of semi-octet
    count, then 7-bit codes packed least significant bits first."""
    if len(encoded) < 2:
        return ""
    semi = int(encoded[:2], 16)
    octets = bytes.fromhex(encoded[2:])
    bits = 0
    nbits = 0
    chars = []
    for octet in octets:
        bits |= octet << nbits
        nbits += 8
        while nbits >= 7:
            chars.append(chr(bits & 0x7F))
            bits >>= 7
            nbits -= 7
    count = min(semi * 4 // 7, len(chars))
    return "".join(chars[:count])


def _decode_frame(record):
    frame = dict(record)
    frame["raw"] = record.get("raw", "").encode("latin-1")
    if "trn" in record:
        frame["trn"] = int(record["trn"])
        frame["ot"] = int(record["ot"])
        fields = record.get("fields", [])
        names = FIELDS_OPERATION.get(frame["ot"]) if record["or"] == "O" else None
        if names is None and record["or"] == "R":
            names = (["ACK", "SM"] if fields[:1] == ["A"] and len(fields) == 2 else
                     ["ACK", "MVP", "SM"] if fields[:1] == ["A"] else ["NACK", "EC", "SM"])
        for name, value in zip(names or [], fields):
            frame[name] = value
        if frame.get("XSer"):
            frame["xser"] = xser_decode(frame["XSer"])
            if 0x01 in frame["xser"]:
                frame["udh"] = gsmtext.parse_udh(frame["xser"][0x01])[1]
        if frame.get("MT") == "3" and "Msg" in frame:
            frame["text"] = ia5_decode(frame["Msg"])
        elif frame.get("MT") == "4" and "Msg" in frame and record["or"] == "O":
            _decode_transparent(frame)
        if frame.get("OTOA") == "5039" and frame.get("OAdC"):
            frame["OAdC_text"] = oadc_decode(frame["OAdC"])
    return frame


class SimError(AssertionError):
    pass


class SmscSim(ScratchPeer):
    """One running simulator process; stopped by stop() or on leaving a
    with block."""

    def __init__(self, password=None, settings=None, port=0, workdir=None, wrapper=()):
        self._make_workdir(workdir, "smscsim-")
        self.log_path = os.path.join(self.workdir, "frames.jsonl")
        self.err_path = os.path.join(self.workdir, "smscsim.err")
        argv = list(wrapper) + [binary("smscsim"), "--port", str(port), "--log", self.log_path]
        if password is not None:
            argv += ["--password", password]
        for key, value in (settings or {}).items():
            argv += ["--set", "%s=%s" % (key, value)]
        self._err = open(self.err_path, "wb")
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self._err,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
        line = read_first_line(self.process, 15)
        match = re.search(r"ucp_port=(\d+) control_port=(\d+)", line)
        if not match:
            self.stop()
            raise SimError("smscsim did not report its ports: %r %s" % (line, self.stderr()))
        self.ucp_port = int(match.group(1))
        self.control_port = int(match.group(2))
        self._control = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self._control_file = self._control.makefile("rw", encoding="latin-1", newline="\n")
        self._records = []
        self._offset = 0
        self._partial = b""

    # ---------------------------------------------------------- control

    def command(self, line, check=True):
        """Sends one control command; returns the answer without "OK "."""
        if "\n" in line:
            raise ValueError("control commands are single lines")
        self._control_file.write(line + "\n")
        self._control_file.flush()
        answer = self._control_file.readline().rstrip("\n")
        if not answer:
            raise SimError("smscsim closed the control connection (%s)" % self.stderr())
        if check and not answer.startswith("OK"):
            raise SimError("smscsim: %s -> %s" % (line, answer))
        return answer[3:] if answer.startswith("OK ") else answer[2:] if answer == "OK" else answer

    @staticmethod
    def _pairs(text):
        out = {}
        for item in text.split():
            key, _, value = item.partition("=")
            out[key] = int(value) if value.lstrip("-").isdigit() else value
        return out

    def set(self, key, value):
        self.command("set %s %s" % (key, value))

    def set_mode(self, **settings):
        """Changes behaviour: password, login (check|ack|nack), login_error,
        submit (ack|nack|ignore), submit_error, submit_delay (ms), alert
        (ack|nack|ignore), alert_error, notify (on|off), notify_status
        (0|1|2), notify_reason, notify_delay (ms), close_after (frames),
        bad_crc (frames), require_login (0|1), nack_every (refuse every Nth
        submission with submit_error), hold (0|1: keep the results of
        submissions until release()), scts (DDMMYYhhmmss for every
        acknowledgement, or "auto": unique per AdC)."""
        for key, value in settings.items():
            if isinstance(value, bool):
                value = "on" if value else "off"
            self.set(key, value)

    def counts(self):
        """Counters: accepted, open, closed, logins, login_failures, alerts,
        submits, submit_acks, submit_nacks, submit_ignored, results_in,
        frames_in, frames_out, notifications, injected, violations, pending,
        held, unsent (results and notifications whose connection was gone)."""
        return self._pairs(self.command("counts"))

    def config(self):
        return self._pairs(self.command("config"))

    def inject_52(self, oa, da, text, scts=None):
        """An incoming message (operation 52, MT 3) on the newest
        connection; returns {"trn": int, "scts": str}."""
        return self._inject("52", oa, da, text, scts)

    def inject_01(self, oa, da, text):
        return self._inject("01", oa, da, text, None)

    def _inject(self, ot, oa, da, text, scts):
        for value in (oa, da):
            if not value or " " in value:
                raise ValueError("addresses must be non-empty without spaces")
        answer = self._pairs(self.command("inject %s %s %s %s %s" % (ot, oa, da, scts or "-", text)))
        return {"trn": int(answer["trn"]), "scts": str(answer["scts"])}

    def inject_52_data(self, oa, da, data, dcs=None, udh=b"", septets=None, scts="010101000000", trn=90):
        """An incoming operation 52 with transparent data (MT 4): `data`
        (bytes) in Msg, NB its bits (7 per septet when `septets` says how
        many packed septets it holds), and in XSer the user-data header
        `udh` (bytes, its UDHL octet included; element 01) and the data
        coding `dcs` (element 02). Sent with transaction id `trn`."""
        xser = ""
        if udh:
            xser += "01%02X%s" % (len(udh), bytes(udh).hex().upper())
        if dcs is not None:
            xser += "0201%02X" % dcs
        fields = [""] * 33
        fields[0], fields[1], fields[14], fields[18] = da, oa, scts, "4"
        fields[19] = "%04d" % (septets * 7 if septets is not None else len(data) * 8)
        fields[20] = bytes(data).hex().upper()
        fields[30] = xser
        self.send_frame("O", 52, trn, "/".join(fields) + "/")

    def notify(self, adc, scts, status, target=None):
        """A delivery notification (53) now: OAdC = adc, SCTS = scts."""
        answer = self._pairs(self.command("notify %s %s %d %s" % (adc, scts, status, target or "")))
        return int(answer["trn"])

    def send_frame(self, or_, ot, trn, data):
        """Any frame, correctly framed, with `data` (ending with "/")."""
        self.command("send %s %d %d %s" % (or_, ot, trn, data))

    def send_raw(self, data):
        self.command("raw %s" % bytes(data).hex())

    def send_badlen(self, length="00005"):
        self.command("badlen %s" % length)

    def release(self, reverse=False):
        """Sends the results kept by hold, in the order of their submissions
        or reversed; returns how many."""
        return self._pairs(self.command("release reverse" if reverse else "release"))["released"]

    def drop(self):
        """Closes every client connection; returns how many."""
        return self._pairs(self.command("drop"))["dropped"]

    # ---------------------------------------------------------- log

    def records(self):
        """Every log record so far (frames, violations and events)."""
        self.command("flush")
        with open(self.log_path, "rb") as f:
            f.seek(self._offset)
            data = f.read()
        self._offset += len(data)
        data = self._partial + data
        lines = data.split(b"\n")
        self._partial = lines.pop()
        for line in lines:
            if line:
                self._records.append(json.loads(line.decode("utf-8")))
        return list(self._records)

    def frames(self, dir=None, ot=None, or_=None, include_bad=False):
        out = []
        for record in self.records():
            # Events (a result left unsent, say) name a transaction too.
            if "trn" not in record or "event" in record:
                continue
            if record.get("bad") and not include_bad:
                continue
            if dir and record["dir"] != dir:
                continue
            if or_ and record["or"] != or_:
                continue
            if ot is not None and int(record["ot"]) != ot:
                continue
            out.append(_decode_frame(record))
        return out

    def submissions(self):
        """Submissions (51) received, decoded, in order."""
        return self.frames(dir="in", ot=51, or_="O")

    def logins(self):
        return self.frames(dir="in", ot=60, or_="O")

    def alerts(self):
        return self.frames(dir="in", ot=31, or_="O")

    def results_in(self, ot=None):
        """Results the client sent (its acknowledgements of 01, 52, 53)."""
        return self.frames(dir="in", or_="R", ot=ot)

    def sent(self, ot=None, or_=None):
        """Frames the simulator sent."""
        return self.frames(dir="out", ot=ot, or_=or_)

    def events(self, name=None):
        return [r for r in self.records() if "event" in r and (name is None or r["event"] == name)]

    def violations(self):
        return [r for r in self.records() if "violation" in r]

    def assert_no_violations(self):
        found = self.violations()
        if found:
            raise SimError("smscsim saw protocol violations: %s" % json.dumps(found, indent=1))

    def wait_for(self, predicate, timeout=10.0, what="condition", interval=0.02):
        """Polls `predicate` (no arguments) until it returns a true value,
        which is returned; raises after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if self.process.poll() is not None:
                raise SimError("smscsim ended (%s) while waiting for %s: %s"
                               % (self.process.returncode, what, self.stderr()))
            if time.monotonic() >= deadline:
                raise SimError("timed out after %.1f s waiting for %s" % (timeout, what))
            time.sleep(interval)

    # ---------------------------------------------------------- life

    def stop(self):
        """Stops the simulator; returns its exit status."""
        if self.process.poll() is None:
            try:
                self.command("quit", check=False)
            except (OSError, SimError, AttributeError):
                pass
            wait_or_kill(self.process)
        for closer in (getattr(self, "_control_file", None), getattr(self, "_control", None),
                       self.process.stdout, self._err):
            try:
                if closer:
                    closer.close()
            except OSError:
                pass
        return self.process.returncode
