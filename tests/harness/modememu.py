"""Test-side handle of the GSM modem emulator (tools/modememu).

    with ModemEmu(workdir) as modem:
        modem.device            # path to give the program under test
        modem.deliver("+420603111222", "Hello")
        modem.wait_for(lambda r: r.get("name") == "sms-submit", timeout=10)
        modem.report(mr=1, status=0)

The program that opens the modem must run with the pty shim preloaded
(preload_env() gives the environment for it); never the shipped daemon.
"""

import json
import os
import socket
import subprocess
import sys
import time

from kst import wait_or_kill


def source_dir():
    return os.environ.get("KST_SOURCE_DIR") or os.path.abspath(
        os.path.join(os.path.dirname(__file__), "..", ".."))


def build_dir():
    return os.environ.get("KST_BUILD_DIR") or os.path.join(source_dir(), "build")


def shim_path():
    """The LD_PRELOAD library that lets gsmlib toggle DTR on a pty."""
    return os.path.join(build_dir(), "tools", "ptyshim", "libkstptyshim.so")


def preload_env(base=None):
    """Environment for a gsmlib program that opens the emulated modem: the
    shim preloaded, and AddressSanitizer options it needs when the program
    is instrumented:
    - verify_asan_link_order=0: with a shared ASan runtime (gcc) a library
      preloaded ahead of it is refused otherwise (clang's static runtime
      does not care);
    - alloc_dealloc_mismatch=0: gsmlib's SMSDecoder frees its new[] buffer
      with delete, so every decoded PDU would abort the program."""
    env = dict(os.environ if base is None else base)
    preload = env.get("LD_PRELOAD", "")
    env["LD_PRELOAD"] = shim_path() + (":" + preload if preload else "")
    asan = env.get("ASAN_OPTIONS", "")
    for option in ("verify_asan_link_order=0", "alloc_dealloc_mismatch=0"):
        if option.split("=")[0] not in asan:
            asan = (asan + ":" if asan else "") + option
    env["ASAN_OPTIONS"] = asan
    return env


class ModemEmuError(RuntimeError):
    pass


class ModemEmu:
    """Starts tools/modememu/modememu.py, talks to its control port and reads
    its log.  Every wait is bounded."""

    def __init__(self, workdir, name="modem", args=(), start_timeout=10.0):
        self.workdir = os.path.abspath(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.device = os.path.join(self.workdir, name)
        self.log_path = os.path.join(self.workdir, name + ".jsonl")
        self.stderr_path = os.path.join(self.workdir, name + ".stderr")
        self.args = list(args)
        self.start_timeout = start_timeout
        self.proc = None
        self.sock = None
        self.reader = None
        self.pty = None
        self.port = None

    # ---------------------------------------------------------------- life
    def start(self):
        script = os.path.join(source_dir(), "tools", "modememu", "modememu.py")
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        cmd = [python, script, "--link", self.device,
               "--log", self.log_path] + self.args
        self._stderr = open(self.stderr_path, "ab")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self._stderr)
        deadline = time.monotonic() + self.start_timeout
        line = b""
        os.set_blocking(self.proc.stdout.fileno(), False)
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise ModemEmuError("modem emulator exited with %s; see %s"
                                    % (self.proc.returncode, self.stderr_path))
            try:
                chunk = self.proc.stdout.read()
            except (BlockingIOError, TypeError):
                chunk = None
            if chunk:
                line += chunk
                if b"\n" in line:
                    break
            time.sleep(0.02)
        else:
            self.stop()
            raise ModemEmuError("modem emulator did not become ready in %.0f s"
                                % self.start_timeout)
        ready = json.loads(line.split(b"\n", 1)[0])
        self.pty = ready["pty"]
        self.port = int(ready["control"].rsplit(":", 1)[1])
        self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.reader = self.sock.makefile("rb")
        return self

    def stop(self, timeout=5.0):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self.command("quit")
            except (OSError, ModemEmuError, ValueError):
                pass
            wait_or_kill(self.proc, timeout)
        for obj in (self.reader, self.sock, self.proc.stdout, getattr(self, "_stderr", None)):
            try:
                if obj is not None:
                    obj.close()
            except OSError:
                pass
        self.reader = self.sock = None
        self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # ------------------------------------------------------------- control
    def command(self, cmd, **params):
        """One control request; returns the reply, raises when it failed."""
        if self.sock is None:
            raise ModemEmuError("modem emulator is not running")
        req = dict(params)
        req["cmd"] = cmd
        self.sock.sendall((json.dumps(req) + "\n").encode())
        line = self.reader.readline()
        if not line:
            raise ModemEmuError("control connection closed")
        reply = json.loads(line)
        if not reply.get("ok"):
            raise ModemEmuError("%s failed: %s" % (cmd, reply.get("error")))
        return reply

    def status(self):
        return self.command("status")

    def deliver(self, sender, text, **kw):
        """A received SMS-DELIVER: stored in <mem3> and indicated (+CMTI) as
        +CNMI allows; kw: store, smsc, scts ("YYYY-MM-DD HH:MM:SS"), tz
        (quarter hours), dcs, udh (hex, without its length octet), route
        (auto|indicate|store|direct)."""
        return self.command("deliver", **dict(kw, **{"from": sender, "text": text}))

    def report(self, mr, status=0, **kw):
        """A status report quoting reference mr; kw: recipient (defaults to
        the destination of the message sent with mr), discharge, scts, tz,
        discharge_tz, store, route."""
        return self.command("report", mr=mr, status=status, **kw)

    def cell_broadcast(self, text, **kw):
        return self.command("cbm", text=text, **kw)

    def submit_entry(self, to, text, **kw):
        return self.command("submit_entry", to=to, text=text, **kw)

    def fault(self, name, value="on", **kw):
        return self.command("fault", name=name, value=value, **kw)

    def set(self, **kw):
        return self.command("set", **kw)

    def sim(self, **kw):
        return self.command("sim", **kw)

    def entries(self, store=None):
        params = {} if store is None else {"store": store}
        return self.command("entries", **params)["entries"]

    def sent(self):
        return self.command("sent")["sent"]

    # ----------------------------------------------------------------- log
    def log(self, since=0):
        return self.command("log", since=since)["records"]

    def lines(self, direction="rx", since=0):
        """Texts of the lines received (rx) or sent (tx) by the modem."""
        return [r["text"] for r in self.log(since) if r["dir"] == direction]

    def commands(self, since=0):
        return [t for t in self.lines("rx", since) if t.upper().startswith("AT")]

    def events(self, name=None, since=0):
        return [r for r in self.log(since)
                if r["dir"] == "event" and (name is None or r["name"] == name)]

    def last_seq(self):
        return self.command("log", since=1 << 62)["last"]

    def wait_for(self, predicate, timeout=10.0, since=0, interval=0.05):
        """First log record satisfying predicate, waiting at most timeout."""
        deadline = time.monotonic() + timeout
        while True:
            for rec in self.log(since):
                if predicate(rec):
                    return rec
            if time.monotonic() >= deadline:
                raise ModemEmuError("no matching modem log record within %.1f s" % timeout)
            time.sleep(interval)

    def wait_event(self, name, timeout=10.0, since=0):
        return self.wait_for(lambda r: r["dir"] == "event" and r["name"] == name,
                             timeout=timeout, since=since)

    def wait_command(self, prefix, timeout=10.0, since=0):
        return self.wait_for(lambda r: r["dir"] == "rx" and r["text"].startswith(prefix),
                             timeout=timeout, since=since)
