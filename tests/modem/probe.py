"""Runs tests/modem's modem_probe (gsmlib as the daemon uses it) with the pty
shim preloaded and exchanges one command / JSON answer at a time."""

import json
import os
import select
import subprocess
import time

import modememu
from kst import wait_or_kill


def probe_path():
    return os.path.join(modememu.build_dir(), "tests", "modem", "modem_probe")


class ProbeError(RuntimeError):
    pass


class Probe:
    def __init__(self, workdir, env=None):
        self.stderr_path = os.path.join(workdir, "probe.stderr")
        self._stderr = open(self.stderr_path, "ab")
        self.proc = subprocess.Popen([probe_path()], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self._stderr,
                                     env=modememu.preload_env(env))
        self._buf = b""

    def _readline(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise ProbeError("probe gave no answer within %.0f s" % timeout)
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise ProbeError("probe exited (status %s); see %s"
                                     % (self.proc.poll(), self.stderr_path))
                self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return json.loads(line)

    def run(self, command, timeout=30.0):
        """Send one command; returns (final answer, earlier answer lines)."""
        op = command.split()[0]
        self.proc.stdin.write((command + "\n").encode())
        self.proc.stdin.flush()
        extra = []
        while True:
            answer = self._readline(timeout)
            if answer.get("op") == op:
                return answer, extra
            extra.append(answer)

    def ok(self, command, timeout=30.0):
        answer, extra = self.run(command, timeout)
        if not answer.get("ok"):
            raise ProbeError("%r failed: %s" % (command, answer))
        return (answer, extra) if extra else answer

    def connect(self, device, pin="-", timeout=5):
        """What the daemon's connect() and init() do."""
        self.ok("open %s - %d" % (device, timeout))
        pin_answer = self.ok("pin %s" % pin)
        meta = self.ok("meta")
        init = self.ok("init")
        return pin_answer, meta, init

    def close(self, timeout=10.0):
        if self.proc is None:
            return
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
        except OSError:
            pass
        wait_or_kill(self.proc, timeout)
        self.proc.stdout.close()
        self._stderr.close()
        code = self.proc.returncode
        self.proc = None
        if code != 0:
            with open(self.stderr_path, "rb") as f:
                raise ProbeError("probe exited with %d: %s" % (code, f.read()[-2000:]))
