#!/usr/bin/python3
"""GSM modem emulator on a pseudo-terminal.

It opens a pty, publishes the slave's path (a symlink and a JSON line on
standard output) and answers the AT commands of a terminal (DTE) the way a
GSM modem in PDU mode does: identity, SIM PIN, SMS stores, message service,
new-message indications, sending with the "> " prompt, reading, listing and
deleting store entries.  A loopback TCP control channel injects received
messages, status reports and cell broadcasts, switches faults and returns the
log of every line exchanged.  See README.md beside this file.
"""

import argparse
import datetime
import errno
import json
import os
import re
import select
import shlex
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smspdu  # noqa: E402

CTRL_Z = 0x1A
ESC = 0x1B

# +CME ERROR codes (GSM 07.07)
CME_OPERATION_NOT_ALLOWED = 3
CME_OPERATION_NOT_SUPPORTED = 4
CME_SIM_PIN_REQUIRED = 11
CME_SIM_PUK_REQUIRED = 12
CME_INCORRECT_PASSWORD = 16
CME_INVALID_INDEX = 21

# +CMS ERROR codes (GSM 07.05)
CMS_OPERATION_NOT_ALLOWED = 302
CMS_OPERATION_NOT_SUPPORTED = 303
CMS_INVALID_PDU_PARAMETER = 304
CMS_SIM_PIN_REQUIRED = 311
CMS_INVALID_MEMORY_INDEX = 321
CMS_MEMORY_FULL = 322
CMS_UNKNOWN_ERROR = 500

STAT_NAMES = {0: "REC UNREAD", 1: "REC READ", 2: "STO UNSENT", 3: "STO SENT"}


class PduLine(str):
    """A PDU line: it follows the <CR><LF> of the line before it directly,
    as in "+CMGR: 0,,31<CR><LF><pdu><CR><LF>"."""


class Entry:
    """One occupied slot of a message store."""

    def __init__(self, stat, pdu, kind):
        self.stat = stat          # 0 REC UNREAD, 1 REC READ, 2 STO UNSENT, 3 STO SENT
        self.pdu = pdu            # hexadecimal PDU (with SC prefix; CB pages without)
        self.kind = kind          # "deliver", "status-report", "submit", "cb", "raw"

    def describe(self, index):
        info = {"index": index, "stat": self.stat, "kind": self.kind, "pdu": self.pdu}
        try:
            if self.kind in ("deliver", "status-report"):
                info["decoded"] = smspdu.decode_sc_to_me(self.pdu)
            elif self.kind == "submit":
                info["decoded"] = smspdu.decode_submit(self.pdu)
        except (smspdu.PduError, IndexError, ValueError) as exc:
            info["decode_error"] = str(exc)
        return info


class Store:
    def __init__(self, name, capacity):
        self.name = name
        self.slots = [None] * capacity

    def used(self):
        return sum(1 for s in self.slots if s is not None)

    def put(self, entry, index=None):
        """Place entry in the given 1-based slot or the first free one;
        returns the 1-based index or None when full."""
        if index is not None:
            if not 1 <= index <= len(self.slots):
                return None
            self.slots[index - 1] = entry
            return index
        for i, slot in enumerate(self.slots):
            if slot is None:
                self.slots[i] = entry
                return i + 1
        return None


class Modem:
    """State of the emulated modem and its AT command interpreter."""

    def __init__(self, args, emulator):
        self.args = args
        self.emu = emulator
        self.stores = {}
        for spec in args.stores.split(","):
            name, _, cap = spec.partition(":")
            name = name.strip().upper()
            if name:
                self.stores[name] = Store(name, int(cap) if cap else args.capacity)
        for hidden in ("BM", "SR"):
            self.stores.setdefault(hidden, Store(hidden, args.capacity))
        self.aliases = {}
        for spec in filter(None, args.alias.split(",")):
            alias, _, target = spec.partition("=")
            self.aliases[alias.strip().upper()] = target.strip().upper()
        self.listed = [n.strip().upper() for n in args.list_stores.split(",") if n.strip()]
        initial = [n.strip().upper() for n in args.cpms.split(",")]
        self.initial_mem = (initial + [initial[-1]] * 3)[:3]
        self.mem = list(self.initial_mem)
        self.identity = {
            "CGMI": args.manufacturer, "CGMM": args.model,
            "CGMR": args.revision, "CGSN": args.serial,
        }
        self.sca = args.sca
        self.sim_state = "SIM PIN" if args.pin else "READY"
        self.pin = args.pin or "0000"
        self.puk = args.puk
        self.pin_attempts = 3
        self.next_mr = args.first_mr & 0xFF
        self.sent = []
        self.indication_store = None  # store name announced instead of mem3
        self.send_delay = 0.0         # seconds before a sent PDU is answered
        self.faults = {
            "routing": "ok",        # ok | caps | error | error-plain
            "send": "ok",           # ok | error | cms:<code>
            "send_count": 0,        # 0 = every send while the fault is set
            "send_stage": "pdu",    # pdu: after the PDU; prompt: instead of "> "
            "send_script": [],      # answers for the next PDUs, one each: ok | error | cms:<code>
            "silent": bool(args.silent),
            "indications": True,    # False: store messages without indicating them
            "empty_slot": "cms",    # cms (+CMS ERROR: 321) | ok
        }
        self.reset()

    # ----------------------------------------------------------------- state
    def reset(self):
        """ATZ / power-on: settings back to the profile; SIM and stores kept."""
        self.echo = True
        self.cmee = self.args.cmee_default
        self.cmgf = 0
        self.csms = 0
        self.cnmi = [0, 0, 0, 0, 0]
        self.cscs = "IRA"
        self.mem = list(self.initial_mem)

    def store(self, name):
        name = name.upper()
        return self.stores.get(self.aliases.get(name, name))

    def receive_store_name(self):
        return self.mem[2]

    # ------------------------------------------------------------- responses
    def cme(self, code):
        if self.cmee == 0:
            return ["ERROR"]
        return ["+CME ERROR: %d" % code]

    def cms(self, code):
        if self.cmee == 0:
            return ["ERROR"]
        return ["+CMS ERROR: %d" % code]

    # --------------------------------------------------------------- parsing
    def command_line(self, line):
        """Execute one command line (without CR); returns response lines or
        None when the modem now waits for a PDU."""
        text = line.strip()
        if not text:
            return []
        if text.upper() == "A/":
            return ["OK"]
        if text[:2].upper() != "AT":
            return []  # modems ignore lines that are not commands
        body = text[2:]
        out = []
        self.info = []
        pos = 0
        while pos < len(body):
            if body[pos] in "+#$%^":
                # Extended command: runs up to ';' outside quotes.
                end = pos
                quoted = False
                while end < len(body) and (quoted or body[end] != ";"):
                    if body[end] == '"':
                        quoted = not quoted
                    end += 1
                result = self.extended(body[pos:end])
                if result is None:
                    return None
                out.extend(result)
                if result and result[-1] != "OK":
                    return out
                if out and out[-1] == "OK":
                    out.pop()
                pos = end + 1
                continue
            result, pos = self.basic(body, pos)
            if result is not None:
                out.extend(result)
                return self.info + out
        out.append("OK")
        return self.info + out

    def basic(self, body, pos):
        """One basic command at body[pos]; returns (error lines or None, pos)."""
        ch = body[pos].upper()
        pos += 1
        if ch == "&":
            if pos >= len(body):
                return ["ERROR"], pos
            ch = "&" + body[pos].upper()
            pos += 1
        elif ch == "S":
            m = re.match(r"(\d+)(=\d*|\?)?", body[pos:])
            if not m:
                return ["ERROR"], pos
            return None, pos + m.end()
        elif ch in " ;":
            return None, pos
        m = re.match(r"\d*", body[pos:])
        value = int(m.group()) if m.group() else 0
        pos += m.end()
        if ch == "Z":
            self.reset()
            self.emu.event("reset", {"command": "ATZ"})
        elif ch == "&F":
            self.reset()
        elif ch == "E":
            self.echo = value == 1
        elif ch in ("V", "Q", "X", "&C", "&D", "&K", "&W", "L", "M", "H"):
            pass
        elif ch == "I":
            self.info.append("%s %s" % (self.identity["CGMI"], self.identity["CGMM"]))
        else:
            return ["ERROR"], pos
        return None, pos

    def extended(self, cmd):
        """One extended command such as '+CPMS="SM"'; returns response lines
        ending with the final result, or None while waiting for a PDU."""
        m = re.match(r"([+#$%^][A-Za-z]+)(=\?|\?|=)?(.*)$", cmd, re.S)
        if not m:
            return ["ERROR"]
        name = m.group(1).upper()
        op = m.group(2) or ""
        arg = m.group(3)
        form = {"": "exec", "?": "read", "=?": "test", "=": "set"}[op]
        if form in ("exec", "read", "test") and arg:
            return ["ERROR"]
        handler = getattr(self, "at_" + name[1:], None)
        if handler is None:
            return ["ERROR"]
        return handler(form, arg)

    @staticmethod
    def params(arg):
        """'"SM",1,,3' -> ['SM', '1', '', '3']."""
        out = []
        cur = []
        quoted = False
        for ch in arg:
            if ch == '"':
                quoted = not quoted
            elif ch == "," and not quoted:
                out.append("".join(cur).strip())
                cur = []
            else:
                cur.append(ch)
        out.append("".join(cur).strip())
        return out

    def need_sim(self):
        if self.sim_state == "READY":
            return None
        return self.cms(CMS_SIM_PIN_REQUIRED if self.sim_state == "SIM PIN" else 316)

    # ------------------------------------------------------ general commands
    def at_CMEE(self, form, arg):
        if form == "set":
            if arg.strip() not in ("0", "1", "2"):
                return self.cme(CME_OPERATION_NOT_SUPPORTED)
            self.cmee = int(arg)
            return ["OK"]
        if form == "read":
            return ["+CMEE: %d" % self.cmee, "OK"]
        if form == "test":
            return ["+CMEE: (0-2)", "OK"]
        return ["ERROR"]

    def _identity(self, key, form):
        if form == "test":
            return ["OK"]
        if form != "exec":
            return ["ERROR"]
        return [self.identity[key], "OK"]

    def at_CGMI(self, form, arg):
        return self._identity("CGMI", form)

    def at_CGMM(self, form, arg):
        return self._identity("CGMM", form)

    def at_CGMR(self, form, arg):
        return self._identity("CGMR", form)

    def at_CGSN(self, form, arg):
        return self._identity("CGSN", form)

    def at_CSCS(self, form, arg):
        if form == "set":
            value = self.params(arg)[0].upper()
            if value not in ("GSM", "IRA", "UCS2", "8859-1", "PCCP437"):
                return self.cme(CME_OPERATION_NOT_SUPPORTED)
            self.cscs = value
            return ["OK"]
        if form == "read":
            return ['+CSCS: "%s"' % self.cscs, "OK"]
        if form == "test":
            return ['+CSCS: ("GSM","IRA","UCS2","8859-1","PCCP437")', "OK"]
        return ["ERROR"]

    def at_CPIN(self, form, arg):
        if form == "read":
            return ["+CPIN: %s" % self.sim_state, "OK"]
        if form == "test":
            return ["OK"]
        if form != "set":
            return ["ERROR"]
        values = self.params(arg)
        given = values[0]
        if self.sim_state == "READY":
            return self.cme(CME_OPERATION_NOT_ALLOWED)
        if self.sim_state not in ("SIM PIN", "SIM PUK"):
            self.emu.event("sim", {"state": self.sim_state, "refused_in_state": given})
            return self.cme(CME_OPERATION_NOT_ALLOWED)
        if self.sim_state == "SIM PUK":
            if given == self.puk and len(values) > 1 and values[1]:
                self.pin = values[1]
                self.sim_state = "READY"
                self.pin_attempts = 3
                self.emu.event("sim", {"state": self.sim_state})
                return ["OK"]
            # A real SIM is destroyed after ten of these.
            self.emu.event("sim", {"state": self.sim_state, "wrong_puk": given})
            return self.cme(CME_INCORRECT_PASSWORD)
        if given == self.pin:
            self.sim_state = "READY"
            self.pin_attempts = 3
            self.emu.event("sim", {"state": self.sim_state})
            return ["OK"]
        self.pin_attempts -= 1
        if self.pin_attempts <= 0:
            self.sim_state = "SIM PUK"
        self.emu.event("sim", {"state": self.sim_state, "wrong_pin": given,
                               "attempts_left": self.pin_attempts})
        return self.cme(CME_INCORRECT_PASSWORD)

    def at_CSQ(self, form, arg):
        if form == "test":
            return ["+CSQ: (0-31,99),(0-7,99)", "OK"]
        return ["+CSQ: 20,99", "OK"] if form == "exec" else ["ERROR"]

    def at_CFUN(self, form, arg):
        if form == "read":
            return ["+CFUN: 1", "OK"]
        if form == "test":
            return ["+CFUN: (0,1),(0,1)", "OK"]
        return ["OK"]

    def at_CREG(self, form, arg):
        if form == "read":
            return ["+CREG: 0,1", "OK"]
        if form == "test":
            return ["+CREG: (0-2)", "OK"]
        return ["OK"]

    # ----------------------------------------------------------- SMS service
    def at_CSMS(self, form, arg):
        if form == "read":
            return ["+CSMS: %d,1,1,1" % self.csms, "OK"]
        if form == "test":
            return ["+CSMS: (0,1)", "OK"]
        if form != "set":
            return ["ERROR"]
        value = arg.strip()
        if value not in ("0", "1"):
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        self.csms = int(value)
        return ["+CSMS: 1,1,1", "OK"]

    def at_CMGF(self, form, arg):
        if form == "read":
            return ["+CMGF: %d" % self.cmgf, "OK"]
        if form == "test":
            return ["+CMGF: (0)", "OK"]
        if form != "set":
            return ["ERROR"]
        if arg.strip() != "0":
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        self.cmgf = 0
        return ["OK"]

    def at_CSCA(self, form, arg):
        if form == "read":
            toa = 145 if self.sca.startswith("+") else 129
            return ['+CSCA: "%s",%d' % (self.sca, toa), "OK"]
        if form == "set":
            self.sca = self.params(arg)[0]
            return ["OK"]
        return ["OK"] if form == "test" else ["ERROR"]

    def at_CNMA(self, form, arg):
        return ["OK"]

    def cnmi_capabilities(self):
        ds = "(0-2)"
        if self.faults["routing"] == "caps":
            ds = "(0,1)"
        return "+CNMI: (0-2),(0-3),(0-3),%s,(0,1)" % ds

    def at_CNMI(self, form, arg):
        if form == "test":
            return [self.cnmi_capabilities(), "OK"]
        if form == "read":
            return ["+CNMI: %s" % ",".join(str(v) for v in self.cnmi), "OK"]
        if form != "set":
            return ["ERROR"]
        values = self.params(arg)
        try:
            numbers = [int(v) if v else 0 for v in values]
        except ValueError:
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        if len(numbers) > 5:
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        numbers += self.cnmi[len(numbers):] if len(numbers) < 5 else []
        limits = (2, 3, 3, 2, 1)
        if any(n < 0 or n > lim for n, lim in zip(numbers, limits)):
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        routing = self.faults["routing"]
        if numbers[3] != 0 and routing in ("error", "error-plain"):
            self.emu.event("routing-refused", {"cnmi": numbers})
            return ["ERROR"] if routing == "error-plain" else self.cms(CMS_OPERATION_NOT_SUPPORTED)
        if numbers[3] == 2 and routing == "caps":
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        self.cnmi = numbers
        self.emu.event("routing", {"cnmi": numbers})
        return ["OK"]

    # ---------------------------------------------------------------- stores
    def at_CPMS(self, form, arg):
        if form == "test":
            names = ",".join('"%s"' % n for n in self.listed)
            return ["+CPMS: (%s),(%s),(%s)" % (names, names, names), "OK"]
        denied = self.need_sim()
        if denied:
            return denied
        if form == "read":
            parts = []
            for name in self.mem:
                st = self.store(name)
                parts.append('"%s",%d,%d' % (name, st.used(), len(st.slots)))
            return ["+CPMS: " + ",".join(parts), "OK"]
        if form != "set":
            return ["ERROR"]
        names = [n.upper() for n in self.params(arg)]
        if not names or len(names) > 3:
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        for i, name in enumerate(names):
            if name and self.store(name) is None:
                return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        for i, name in enumerate(names):
            if name:
                self.mem[i] = name
        parts = []
        for name in self.mem:
            st = self.store(name)
            parts.append("%d,%d" % (st.used(), len(st.slots)))
        return ["+CPMS: " + ",".join(parts), "OK"]

    def _index(self, text, store):
        try:
            index = int(text)
        except ValueError:
            return None
        if not 1 <= index <= len(store.slots):
            return None
        return index

    def at_CMGR(self, form, arg):
        if form == "test":
            return ["OK"]
        if form != "set":
            return ["ERROR"]
        denied = self.need_sim()
        if denied:
            return denied
        store = self.store(self.mem[0])
        index = self._index(self.params(arg)[0], store)
        if index is None:
            return self.cms(CMS_INVALID_MEMORY_INDEX)
        entry = store.slots[index - 1]
        if entry is None:
            if self.faults["empty_slot"] == "ok":
                return ["OK"]
            return self.cms(CMS_INVALID_MEMORY_INDEX)
        lines = ["+CMGR: %d,,%d" % (entry.stat, self._length(entry)), PduLine(entry.pdu), "OK"]
        if entry.stat == 0:
            entry.stat = 1
        return lines

    @staticmethod
    def _length(entry):
        if entry.kind == "cb":
            return len(entry.pdu) // 2
        try:
            return smspdu.tpdu_length(entry.pdu)
        except (ValueError, IndexError):
            return len(entry.pdu) // 2

    def at_CMGL(self, form, arg):
        if form == "test":
            return ["+CMGL: (0-4)", "OK"]
        denied = self.need_sim()
        if denied:
            return denied
        wanted = 0
        if form == "set":
            text = self.params(arg)[0]
            if text.upper() in ("ALL", '"ALL"'):
                wanted = 4
            else:
                try:
                    wanted = int(text)
                except ValueError:
                    return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        elif form != "exec":
            return ["ERROR"]
        if not 0 <= wanted <= 4:
            return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        store = self.store(self.mem[0])
        lines = []
        for i, entry in enumerate(store.slots):
            if entry is None or (wanted != 4 and entry.stat != wanted):
                continue
            lines.append("+CMGL: %d,%d,,%d" % (i + 1, entry.stat, self._length(entry)))
            lines.append(PduLine(entry.pdu))
            if entry.stat == 0:
                entry.stat = 1
        lines.append("OK")
        return lines

    def at_CMGD(self, form, arg):
        if form == "test":
            return ["+CMGD: (1-%d),(0-4)" % len(self.store(self.mem[0]).slots), "OK"]
        if form != "set":
            return ["ERROR"]
        denied = self.need_sim()
        if denied:
            return denied
        store = self.store(self.mem[0])
        values = self.params(arg)
        flag = 0
        if len(values) > 1 and values[1]:
            try:
                flag = int(values[1])
            except ValueError:
                return self.cms(CMS_OPERATION_NOT_SUPPORTED)
        if flag:
            for i, entry in enumerate(store.slots):
                if entry is None:
                    continue
                if (flag == 4 or (flag == 1 and entry.stat == 1) or
                        (flag == 2 and entry.stat in (1, 3)) or
                        (flag == 3 and entry.stat in (1, 2, 3))):
                    store.slots[i] = None
            self.emu.event("deleted", {"store": store.name, "flag": flag})
            return ["OK"]
        index = self._index(values[0], store)
        if index is None:
            return self.cms(CMS_INVALID_MEMORY_INDEX)
        had = store.slots[index - 1] is not None
        store.slots[index - 1] = None
        self.emu.event("deleted", {"store": store.name, "index": index, "was_used": had})
        return ["OK"]

    def at_CMGS(self, form, arg):
        if form == "test":
            return ["OK"]
        if form != "set":
            return ["ERROR"]
        denied = self.need_sim()
        if denied:
            return denied
        try:
            length = int(self.params(arg)[0])
        except ValueError:
            return self.cms(CMS_INVALID_PDU_PARAMETER)
        if not 7 <= length <= 164:
            return self.cms(CMS_INVALID_PDU_PARAMETER)
        if self.faults["send"] != "ok" and self.faults["send_stage"] == "prompt":
            return self.send_refusal({"length": length})
        self.emu.expect_pdu("CMGS", length, None)
        return None

    def at_CMGW(self, form, arg):
        if form == "test":
            return ["OK"]
        if form != "set":
            return ["ERROR"]
        denied = self.need_sim()
        if denied:
            return denied
        values = self.params(arg)
        try:
            length = int(values[0])
            stat = int(values[1]) if len(values) > 1 and values[1] else 2
        except ValueError:
            return self.cms(CMS_INVALID_PDU_PARAMETER)
        self.emu.expect_pdu("CMGW", length, stat)
        return None

    def send_refusal(self, details):
        """Answer a send with the error the send fault asks for."""
        fault = self.faults["send"]
        if self.faults["send_count"] > 0:
            self.faults["send_count"] -= 1
            if self.faults["send_count"] == 0:
                self.faults["send"] = "ok"
        self.emu.event("send-refused", dict(details, fault=fault,
                                            stage=self.faults["send_stage"]))
        if fault == "error":
            return ["ERROR"]
        code = int(fault.split(":", 1)[1]) if ":" in fault else CMS_UNKNOWN_ERROR
        return self.cms(code)

    # ----------------------------------------------------------- PDU results
    def pdu_received(self, command, length, stat, pdu):
        """The PDU after a +CMGS or +CMGW prompt; returns response lines."""
        pdu = pdu.strip()
        try:
            decoded = smspdu.decode_submit(pdu)
        except (smspdu.PduError, ValueError, IndexError) as exc:
            self.emu.event("pdu-error", {"command": command, "pdu": pdu, "error": str(exc)})
            return self.cms(CMS_INVALID_PDU_PARAMETER)
        if decoded["tpdu_length"] != length:
            self.emu.event("pdu-error", {"command": command, "pdu": pdu,
                                         "error": "length %d announced, %d received"
                                         % (length, decoded["tpdu_length"])})
            return self.cms(CMS_INVALID_PDU_PARAMETER)
        if command == "CMGW":
            store = self.store(self.mem[1])
            index = store.put(Entry(stat, pdu, "submit"))
            if index is None:
                return self.cms(CMS_MEMORY_FULL)
            self.emu.event("written", {"store": store.name, "index": index, "decoded": decoded})
            return ["+CMGW: %d" % index, "OK"]
        if self.faults["send_script"]:
            answer = self.faults["send_script"].pop(0)
            if answer != "ok":
                self.emu.event("send-refused", {"pdu": pdu, "decoded": decoded, "fault": answer,
                                                "stage": "pdu", "script": True})
                if answer == "error":
                    return ["ERROR"]
                return self.cms(int(answer.split(":", 1)[1]))
        elif self.faults["send"] != "ok":
            return self.send_refusal({"pdu": pdu, "decoded": decoded})
        if self.send_delay:
            # A network takes its time to accept a message.
            time.sleep(self.send_delay)
        mr = self.next_mr
        self.next_mr = (self.next_mr + 1) & 0xFF
        record = dict(decoded)
        record["mr"] = mr
        record["submit_mr"] = decoded["mr"]
        record["pdu"] = pdu
        record["time"] = time.time()
        self.sent.append(record)
        self.emu.event("sms-submit", record)
        return ["+CMGS: %d" % mr, "OK"]


class Emulator:
    """The pty, the control channel and the event loop around a Modem."""

    def __init__(self, args):
        self.args = args
        self.start = time.time()
        self.records = []
        self.log_file = open(args.log, "a", buffering=1) if args.log else None
        self.seq = 0
        self.pending_urcs = []
        self.outbuf = bytearray()
        self.inbuf = bytearray()
        self.nul_seen = False
        self.pdu_wait = None  # (command, length, stat) while waiting for a PDU
        self.slave_open = False
        self.running = True
        self.clients = {}
        self.modem = Modem(args, self)

        self.master, slave = os.openpty()
        self.slave_path = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(self.master, False)
        if args.link:
            tmp = args.link + ".tmp%d" % os.getpid()
            os.symlink(self.slave_path, tmp)
            os.replace(tmp, args.link)
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", args.control_port))
        self.server.listen(8)
        self.server.setblocking(False)
        self.control_port = self.server.getsockname()[1]

    # ------------------------------------------------------------------ log
    def record(self, direction, text=None, **extra):
        self.seq += 1
        rec = {"n": self.seq, "t": round(time.time(), 3), "dir": direction}
        if text is not None:
            rec["text"] = text
        rec.update(extra)
        self.records.append(rec)
        if len(self.records) > 200000:
            del self.records[:100000]
        if self.log_file:
            self.log_file.write(json.dumps(rec) + "\n")
        if self.args.verbose:
            sys.stderr.write("modememu: %s\n" % json.dumps(rec))
        return rec

    def event(self, name, data=None):
        self.record("event", name=name, data=data or {})

    # ------------------------------------------------------------ modem I/O
    def send_lines(self, lines):
        """Queue response lines with the V.250 framing <CR><LF>text<CR><LF>."""
        if self.modem.faults["silent"]:
            for line in lines:
                self.record("suppressed", line)
            return
        for line in lines:
            self.record("tx", line)
            data = line.encode("latin-1", errors="replace") + b"\r\n"
            self.outbuf += data if isinstance(line, PduLine) else b"\r\n" + data
        self.flush_out()

    def send_raw(self, data, text, direction="tx"):
        if self.modem.faults["silent"]:
            self.record("suppressed", text)
            return
        self.record(direction, text)
        self.outbuf += data
        self.flush_out()

    def flush_out(self):
        while self.outbuf and self.slave_open:
            try:
                n = os.write(self.master, self.outbuf)
            except BlockingIOError:
                return
            except OSError as exc:
                if exc.errno == errno.EIO:
                    self.slave_closed()
                    return
                raise
            del self.outbuf[:n]

    def expect_pdu(self, command, length, stat):
        self.pdu_wait = (command, length, stat)

    def idle(self):
        return not self.inbuf and self.pdu_wait is None

    def unsolicited(self, lines):
        """Queue an unsolicited result; it goes out between commands."""
        self.pending_urcs.append(lines)
        self.flush_urcs()

    def flush_urcs(self):
        if not self.slave_open or not self.idle():
            return
        while self.pending_urcs:
            lines = self.pending_urcs.pop(0)
            self.record("urc", lines[0])
            self.send_lines(lines)

    def feed(self, data):
        for byte in data:
            if self.pdu_wait is not None:
                self.feed_pdu(byte)
                continue
            if byte == 0x0D:
                line = self.inbuf.decode("latin-1")
                self.inbuf.clear()
                self.handle_line(line)
            elif byte == 0x00:
                # gsmlib ends numbers it formats with a NUL; modems drop it.
                self.nul_seen = True
            elif byte == 0x0A:
                continue
            elif byte in (0x08, 0x7F):
                if self.inbuf:
                    self.inbuf.pop()
            else:
                self.inbuf.append(byte)
        self.flush_urcs()

    def feed_pdu(self, byte):
        if byte == CTRL_Z or byte == ESC:
            pdu = self.inbuf.decode("latin-1")
            self.inbuf.clear()
            command, length, stat = self.pdu_wait
            self.pdu_wait = None
            self.record("rx", pdu + ("\x1a" if byte == CTRL_Z else "\x1b"), pdu=True)
            if self.modem.echo:
                self.send_raw(pdu.encode("latin-1") + bytes([byte]), pdu, "echo")
            if byte == ESC:
                self.send_lines(["OK"])
                return
            self.send_lines(self.modem.pdu_received(command, length, stat, pdu))
        elif byte in (0x0D, 0x0A):
            return
        else:
            self.inbuf.append(byte)

    def handle_line(self, line):
        if self.nul_seen:
            self.record("rx", line, nul=True)
            self.nul_seen = False
        else:
            self.record("rx", line)
        if self.modem.faults["silent"]:
            return
        if self.modem.echo:
            self.send_raw(line.encode("latin-1") + b"\r", line, "echo")
        try:
            result = self.modem.command_line(line)
        except Exception as exc:  # keep the modem alive whatever the input
            self.event("internal-error", {"line": line, "error": repr(exc)})
            result = ["ERROR"]
        if result is None:
            # Waiting for a PDU: the prompt is "> " without a line end.
            if self.modem.faults["silent"]:
                self.record("suppressed", "> ")
                return
            self.record("tx", "> ")
            self.outbuf += b"\r\n> "
            self.flush_out()
            return
        if result:
            self.send_lines(result)

    def slave_closed(self):
        if self.slave_open:
            self.slave_open = False
            self.event("close")
            dropped = len(self.pending_urcs)
            self.pending_urcs.clear()
            self.outbuf.clear()
            self.inbuf.clear()
            self.pdu_wait = None
            if dropped:
                self.event("urc-dropped", {"count": dropped})

    def check_slave(self, poller):
        """Notice a terminal opening or closing the slave side."""
        events = dict(poller.poll(0))
        hup = bool(events.get(self.master, 0) & select.POLLHUP)
        if not hup and not self.slave_open:
            self.slave_open = True
            self.event("open")
        elif hup and self.slave_open:
            self.read_master()
            self.slave_closed()

    def read_master(self):
        while True:
            try:
                data = os.read(self.master, 4096)
            except BlockingIOError:
                return
            except OSError as exc:
                if exc.errno == errno.EIO:
                    self.slave_closed()
                    return
                raise
            if not data:
                return
            self.feed(data)

    # -------------------------------------------------------------- control
    def run(self):
        print(json.dumps({"event": "ready", "pty": self.slave_path, "link": self.args.link,
                          "control": "127.0.0.1:%d" % self.control_port,
                          "pid": os.getpid()}), flush=True)
        self.event("start", {"pty": self.slave_path, "control_port": self.control_port})
        hup_poller = select.poll()
        hup_poller.register(self.master, select.POLLIN)
        while self.running:
            self.check_slave(hup_poller)
            rlist = [self.server] + list(self.clients)
            wlist = []
            if self.slave_open:
                rlist.append(self.master)
                if self.outbuf:
                    wlist.append(self.master)
            # While nobody holds the slave open the master reports a hang-up
            # all the time, so it is left out and checked on a short tick.
            timeout = 0.5 if self.slave_open else 0.02
            try:
                readable, writable, _ = select.select(rlist, wlist, [], timeout)
            except InterruptedError:
                continue
            if self.master in writable:
                self.flush_out()
            for obj in readable:
                if obj is self.master:
                    self.read_master()
                elif obj is self.server:
                    self.accept()
                else:
                    self.client_input(obj)
        self.shutdown()

    def accept(self):
        try:
            conn, _ = self.server.accept()
        except BlockingIOError:
            return
        conn.setblocking(True)
        conn.settimeout(5)
        self.clients[conn] = bytearray()

    def client_input(self, conn):
        try:
            data = conn.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.clients.pop(conn, None)
            conn.close()
            return
        buf = self.clients[conn]
        buf += data
        while b"\n" in buf:
            line, _, rest = bytes(buf).partition(b"\n")
            buf[:] = rest
            reply = self.control(line.decode("utf-8", errors="replace").strip())
            try:
                conn.sendall((json.dumps(reply) + "\n").encode())
            except OSError:
                self.clients.pop(conn, None)
                conn.close()
                return

    def control(self, line):
        if not line:
            return {"ok": False, "error": "empty request"}
        try:
            if line.startswith("{"):
                req = json.loads(line)
                if not isinstance(req, dict):
                    raise ValueError("request must be a JSON object")
            else:
                words = shlex.split(line)
                req = {"cmd": words[0]}
                for word in words[1:]:
                    key, sep, value = word.partition("=")
                    if not sep:
                        raise ValueError("argument %r is not key=value" % word)
                    req[key] = value
        except ValueError as exc:
            return {"ok": False, "error": "bad request: %s" % exc}
        cmd = str(req.get("cmd", ""))
        handler = getattr(self, "ctl_" + cmd.replace("-", "_"), None)
        if handler is None:
            return {"ok": False, "error": "unknown command %r" % cmd}
        if cmd not in ("log", "status", "sent", "entries"):
            self.record("ctl", line)
        try:
            reply = handler(req) or {}
        except (KeyError, ValueError, TypeError, smspdu.PduError) as exc:
            return {"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}
        reply.setdefault("ok", True)
        self.flush_urcs()
        return reply

    @staticmethod
    def _bool(value, default=False):
        if value is None:
            return default
        if isinstance(value, bool):
            return value
        return str(value).lower() in ("1", "true", "yes", "on")

    @staticmethod
    def _time(value):
        # UTC: the time stamps carry the zone given with them (0 by default).
        if value in (None, "", "now"):
            return datetime.datetime.utcnow().replace(microsecond=0)
        if isinstance(value, (int, float)):
            return datetime.datetime.utcfromtimestamp(int(value))
        return datetime.datetime.strptime(str(value), "%Y-%m-%d %H:%M:%S")

    def ctl_status(self, req):
        m = self.modem
        return {"sim": m.sim_state, "cnmi": m.cnmi, "cmee": m.cmee, "cmgf": m.cmgf,
                "csms": m.csms, "echo": m.echo, "mem": m.mem, "next_mr": m.next_mr,
                "faults": m.faults, "slave_open": self.slave_open,
                "input_pending": len(self.inbuf),
                "indication_store": m.indication_store, "sent": len(m.sent),
                "stores": {n: s.used() for n, s in m.stores.items()}}

    def ctl_log(self, req):
        since = int(req.get("since", 0))
        return {"records": [r for r in self.records if r["n"] > since], "last": self.seq}

    def ctl_sent(self, req):
        return {"sent": self.modem.sent}

    def ctl_entries(self, req):
        store = self.modem.store(str(req.get("store", self.modem.receive_store_name())))
        if store is None:
            raise ValueError("no such store")
        return {"store": store.name,
                "entries": [e.describe(i + 1) for i, e in enumerate(store.slots) if e]}

    def ctl_quit(self, req):
        self.running = False
        return {}

    def ctl_sim(self, req):
        m = self.modem
        if "pin" in req:
            m.pin = str(req["pin"])
        if "puk" in req:
            m.puk = str(req["puk"])
        if "state" in req:
            state = str(req["state"]).upper()
            # Other states (SIM PIN2, SIM PUK2, PH-SIM PIN ...) are answered
            # to +CPIN? as given; +CPIN= then gets "operation not allowed".
            if not re.match(r"[A-Z][A-Z0-9 -]*$", state):
                raise ValueError("state is READY, SIM PIN, SIM PUK or another +CPIN? answer")
            m.sim_state = state
            m.pin_attempts = 3
        return {"sim": m.sim_state}

    def ctl_fault(self, req):
        m = self.modem
        name = str(req["name"])
        value = req.get("value", "on")
        if name == "routing":
            if value not in ("ok", "caps", "error", "error-plain"):
                raise ValueError("routing fault is ok, caps, error or error-plain")
            m.faults["routing"] = value
        elif name == "send":
            value = str(value)
            if value != "ok" and value != "error" and not re.match(r"cms:\d+$", value):
                raise ValueError("send fault is ok, error or cms:<code>")
            m.faults["send"] = value
            m.faults["send_count"] = int(req.get("count", 0))
            stage = str(req.get("stage", "pdu"))
            if stage not in ("pdu", "prompt"):
                raise ValueError("send fault stage is pdu or prompt")
            m.faults["send_stage"] = stage
        elif name == "send_script":
            answers = value.split() if isinstance(value, str) else [str(a) for a in value]
            for answer in answers:
                if answer not in ("ok", "error") and not re.match(r"cms:\d+$", answer):
                    raise ValueError("send_script answers are ok, error or cms:<code>")
            m.faults["send_script"] = answers
        elif name == "silent":
            m.faults["silent"] = self._bool(value, True)
        elif name == "indications":
            m.faults["indications"] = self._bool(value, True)
        elif name == "empty_slot":
            if value not in ("cms", "ok"):
                raise ValueError("empty_slot is cms or ok")
            m.faults["empty_slot"] = value
        else:
            raise ValueError("unknown fault %r" % name)
        self.event("fault", {"name": name, "value": value})
        return {"faults": m.faults}

    def ctl_set(self, req):
        m = self.modem
        if "next_mr" in req:
            m.next_mr = int(req["next_mr"]) & 0xFF
        if "indication_store" in req:
            m.indication_store = str(req["indication_store"]).upper() or None
        if "cpms" in req:
            names = [n.strip().upper() for n in str(req["cpms"]).split(",")]
            for n in names:
                if m.store(n) is None:
                    raise ValueError("no such store %r" % n)
            m.initial_mem = (names + [names[-1]] * 3)[:3]
            m.mem = list(m.initial_mem)
        if "sca" in req:
            m.sca = str(req["sca"])
        if "send_delay" in req:
            delay = float(req["send_delay"])
            if not 0 <= delay <= 10:
                raise ValueError("send_delay is 0 to 10 seconds")
            m.send_delay = delay
        return {"mem": m.mem, "next_mr": m.next_mr, "indication_store": m.indication_store}

    def _indicate(self, store, index, urc):
        m = self.modem
        name = store.name
        if urc == "+CMTI" and m.indication_store and store.name == m.store(m.mem[2]).name:
            name = m.indication_store
        self.unsolicited(['%s: "%s",%d' % (urc, name, index)])
        return name

    def _store_entry(self, store_name, entry, index=None):
        store = self.modem.store(store_name)
        if store is None:
            raise ValueError("no such store %r" % store_name)
        slot = store.put(entry, index)
        if slot is None:
            raise ValueError("store %s is full" % store.name)
        return store, slot

    def ctl_deliver(self, req):
        """Receive an SMS-DELIVER from the network."""
        m = self.modem
        dcs = int(str(req.get("dcs", "0")), 0)
        pdu = smspdu.build_deliver(
            str(req.get("from", "+420777000111")), str(req.get("text", "")),
            sca=str(req.get("smsc", m.sca)), scts=self._time(req.get("scts")),
            tz_quarters=int(req.get("tz", 0)), dcs=dcs, udh=bytes.fromhex(str(req.get("udh", ""))))
        mt = m.cnmi[1]
        route = str(req.get("route", "auto"))
        if route == "direct" or (route == "auto" and mt in (2, 3) and m.faults["indications"]):
            self.unsolicited(["+CMT: ,%d" % smspdu.tpdu_length(pdu), PduLine(pdu)])
            self.event("delivered-direct", {"pdu": pdu})
            return {"pdu": pdu, "direct": True}
        store, index = self._store_entry(str(req.get("store", m.mem[2])), Entry(0, pdu, "deliver"))
        indicate = route == "indicate" or (route == "auto" and mt == 1 and m.faults["indications"])
        name = self._indicate(store, index, "+CMTI") if indicate else None
        self.event("stored", {"kind": "deliver", "store": store.name, "index": index,
                              "indicated": name, "pdu": pdu})
        return {"store": store.name, "index": index, "indicated": name, "pdu": pdu}

    def ctl_report(self, req):
        """Status report for a message sent earlier, quoting its reference."""
        m = self.modem
        mr = int(req["mr"])
        recipient = req.get("recipient")
        if recipient is None:
            for sent in reversed(m.sent):
                if sent["mr"] == mr:
                    recipient = sent["destination"]
                    break
            else:
                raise ValueError("no message was sent with reference %d" % mr)
        pdu = smspdu.build_status_report(
            mr, str(recipient), sca=str(req.get("smsc", m.sca)),
            scts=self._time(req.get("scts")), discharge=self._time(req.get("discharge")),
            status=int(req.get("status", 0)), tz_quarters=int(req.get("tz", 0)),
            discharge_tz_quarters=int(req.get("discharge_tz", req.get("tz", 0))))
        ds = m.cnmi[3]
        route = str(req.get("route", "auto"))
        if route == "direct" or (route == "auto" and ds == 1 and m.faults["indications"]):
            self.unsolicited(["+CDS: %d" % smspdu.tpdu_length(pdu), PduLine(pdu)])
            self.event("report-direct", {"mr": mr, "pdu": pdu})
            return {"pdu": pdu, "direct": True}
        store, index = self._store_entry(str(req.get("store", m.mem[2])),
                                         Entry(0, pdu, "status-report"))
        indicate = route == "indicate" or (route == "auto" and ds == 2 and m.faults["indications"])
        name = self._indicate(store, index, "+CDSI") if indicate else None
        self.event("stored", {"kind": "status-report", "store": store.name, "index": index,
                              "indicated": name, "pdu": pdu})
        return {"store": store.name, "index": index, "indicated": name, "pdu": pdu}

    def ctl_cbm(self, req):
        """Cell broadcast page: direct (+CBM), stored and indicated (+CBMI)
        or dropped, as +CNMI's <bm> says, unless route forces one."""
        m = self.modem
        pdu = smspdu.build_cell_broadcast(
            str(req.get("text", "")), message_id=int(req.get("id", 50)),
            serial=int(str(req.get("serial", "0x3000")), 0),
            dcs=int(str(req.get("dcs", "0x0F")), 0))
        bm = m.cnmi[2]
        route = str(req.get("route", "auto"))
        if route == "direct" or (route == "auto" and bm in (2, 3)):
            self.unsolicited(["+CBM: %d" % (len(pdu) // 2), PduLine(pdu)])
            self.event("cb-direct", {"pdu": pdu})
            return {"pdu": pdu, "direct": True}
        if route == "auto" and bm == 0:
            self.event("cb-dropped", {"pdu": pdu})
            return {"pdu": pdu, "dropped": True}
        store, index = self._store_entry(str(req.get("store", "BM")), Entry(0, pdu, "cb"))
        name = None
        if route in ("auto", "indicate") and m.faults["indications"]:
            name = self._indicate(store, index, "+CBMI")
        self.event("stored", {"kind": "cb", "store": store.name, "index": index,
                              "indicated": name, "pdu": pdu})
        return {"store": store.name, "index": index, "indicated": name, "pdu": pdu}

    def ctl_submit_entry(self, req):
        """An SMS-SUBMIT placed in a store (stat 2 = stored unsent)."""
        m = self.modem
        pdu = smspdu.build_submit(str(req.get("to", "+420777000222")), str(req.get("text", "")),
                                  dcs=int(str(req.get("dcs", "0")), 0))
        store, index = self._store_entry(str(req.get("store", m.mem[2])),
                                         Entry(int(req.get("stat", 2)), pdu, "submit"))
        name = None
        if self._bool(req.get("indicate")):
            name = self._indicate(store, index, "+CMTI")
        self.event("stored", {"kind": "submit", "store": store.name, "index": index,
                              "indicated": name, "pdu": pdu})
        return {"store": store.name, "index": index, "indicated": name, "pdu": pdu}

    def ctl_store_raw(self, req):
        """Any PDU with any status, at a chosen or the first free index."""
        m = self.modem
        index = int(req["index"]) if "index" in req else None
        store, slot = self._store_entry(str(req.get("store", m.mem[2])),
                                        Entry(int(req.get("stat", 0)), str(req["pdu"]).upper(),
                                              str(req.get("kind", "raw"))), index)
        return {"store": store.name, "index": slot}

    def ctl_urc(self, req):
        """A raw unsolicited line, e.g. RING."""
        lines = req["lines"] if "lines" in req else [str(req["text"])]
        self.unsolicited([str(line) for line in lines])
        return {}

    def shutdown(self):
        self.event("stop")
        for conn in list(self.clients):
            conn.close()
        self.server.close()
        os.close(self.master)
        if self.args.link:
            try:
                if os.readlink(self.args.link) == self.slave_path:
                    os.unlink(self.args.link)
            except OSError:
                pass
        if self.log_file:
            self.log_file.close()


def main(argv=None):
    p = argparse.ArgumentParser(description="GSM modem emulator on a pseudo-terminal")
    p.add_argument("--link", help="symlink to create pointing to the pty slave")
    p.add_argument("--control-port", type=int, default=0, help="loopback TCP port (0 = any)")
    p.add_argument("--log", help="append JSON-line log records to this file")
    p.add_argument("--verbose", action="store_true", help="copy log records to stderr")
    p.add_argument("--pin", default="", help="SIM asks for this PIN (default: SIM ready)")
    p.add_argument("--puk", default="12345678")
    p.add_argument("--manufacturer", default="Kestrova Test Modems")
    p.add_argument("--model", default="KTM-900")
    p.add_argument("--revision", default="1.0.7")
    p.add_argument("--serial", default="351234567890123")
    p.add_argument("--sca", default="+420603052000", help="service centre address")
    p.add_argument("--stores", default="SM,ME", help="stores NAME[:capacity],...")
    p.add_argument("--alias", default="MT=SM", help="alias stores NAME=TARGET,...")
    p.add_argument("--list-stores", default="SM,ME,MT", help="names +CPMS=? reports")
    p.add_argument("--cpms", default="SM,SM,SM", help="initial <mem1>,<mem2>,<mem3>")
    p.add_argument("--capacity", type=int, default=20)
    p.add_argument("--first-mr", type=int, default=1, help="first message reference")
    p.add_argument("--cmee-default", type=int, default=1, choices=(0, 1, 2),
                   help="+CMEE after power-on and ATZ")
    p.add_argument("--silent", action="store_true", help="start without answering")
    args = p.parse_args(argv)

    emu = Emulator(args)

    def stop(signum, frame):
        emu.running = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    emu.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
