"""Shared pieces of the modem sender's tests: the real kstd in its sandbox,
talking to the modem emulator on a pseudo-terminal, with kstsend as the
client, real executables for received messages and, where confirmations
are sent, a real SMTP server.

The daemon runs with the pty shim preloaded (tests only) and with the
manager's cycle shortened; its standard error is checked for sanitizer
reports when it has stopped.
"""

import os
import stat
import unittest

import modememu
from kst import SANITIZER_REPORT, Sandbox, basic_ini, binary, log_records, stats_of, wait_until
from modememu import ModemEmu

# Short manager cycle: a test does not wait ten seconds for each
# (re)connection.
MANAGER_CYCLE_MS = 500

# gsmlib's GSM event types of an indication
NORMAL_SMS, CELL_BROADCAST, STATUS_REPORT = 0, 1, 2


DUMP_SCRIPT = """#!/bin/sh
# Writes its environment (NUL-separated) to the next numbered file of $2,
# tagged with $1, so that the order of the runs can be read back. The file
# appears whole, in one rename, so a reader never sees half of it.
n=$(ls "$2" | wc -l)
env -0 > "$2/.part-$$"
mv "$2/.part-$$" "$2/$(printf %03d "$n")-$1"
"""


class MeSenderTest(unittest.TestCase):
    """A sandbox with a modem emulator; start_kstd() writes the
    configuration and starts the daemon against it."""

    modem_args = ()

    def setUp(self):
        self.sandbox = Sandbox(self.id().split(".")[-1][:40])
        self.addCleanup(self.sandbox.close)
        self.modem = ModemEmu(os.path.join(self.sandbox.root, "modem"), args=self.modem_args).start()
        self.addCleanup(self.modem.stop)
        self.kstd = None

    # ------------------------------------------------------------ daemon
    def me_section(self, **settings):
        section = {"Device": self.modem.device, "BaudRate": "", "ReceiveAllSms": "0"}
        section.update(settings)
        return section

    def start_kstd(self, me=None, emi=None, extra="", hide=(), env=None, wrapper=()):
        """Writes the configuration ([ME] at the emulator unless me=False)
        and starts kstd -d. `hide` names Log/..._Hide... flags to set."""
        if me is None:
            me = self.me_section()
        log_extra = "".join("%s = 1\n" % flag for flag in hide)
        ini = basic_ini(self.sandbox, emi=emi, me=me or None)
        ini = ini.replace("[Log]\n", "[Log]\n" + log_extra, 1) + extra
        self.sandbox.write_ini(ini)
        environment = modememu.preload_env()
        environment["KSTD_TEST_MANAGER_CYCLE_MS"] = str(MANAGER_CYCLE_MS)
        environment["KSTD_TEST_RECONNECT_PAUSE_MS"] = "200"
        environment.update(env or {})
        self.kstd = self.sandbox.start_kstd(env=environment, wrapper=wrapper)
        self.addCleanup(self.stop_kstd)
        self.sandbox.wait_ior(30)
        return self.kstd

    def stop_kstd(self):
        """Stops the daemon (once); it must end normally and without any
        sanitizer report."""
        if self.kstd is None:
            return None
        kstd, self.kstd = self.kstd, None
        status = kstd.stop(timeout=60)
        errors = kstd.stderr()
        self.assertIsNone(SANITIZER_REPORT.search(errors), errors[-6000:])
        self.assertEqual(status, 0, errors[-3000:])
        return kstd

    def output(self):
        return self.kstd.stdout()

    def wait_output(self, pattern, timeout=20.0, stream="stdout"):
        return self.kstd.wait_output(pattern, timeout, stream)

    def wait_ready(self, routing=(2, 1, 0, 2, 1), timeout=30.0):
        """Waits until the sender has set the reception routing and is
        active for sending."""
        wait_until(lambda: self.modem.status()["cnmi"] == list(routing), timeout,
                   what="reception routing %s" % (routing,))
        wait_until(lambda: "Sender thread(ME): used for sending" in self.stats().values(), timeout,
                   interval=0.2, what="the modem sender used for sending")

    # ------------------------------------------------------------ client
    def kstsend(self, *args, input=None):
        result = self.sandbox.run_inside([binary("kstsend")] + list(args), input=input)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.decode("latin-1")

    def stats(self):
        """kstsend --stats as a dict of its labels."""
        return stats_of(self.kstsend("--stats"))

    # ------------------------------------------------------------- logs
    def records(self, name):
        """Records of log `name` as dicts {"type": "i"|"e", "lines": [...]}, in order."""
        return [{"type": "i" if kind == "INFO" else "e", "lines": lines}
                for kind, lines in log_records(self.sandbox.read_log(name))]

    def wait_record(self, name, first_line, timeout=20.0, count=1):
        """Waits for `count` records of log `name` whose first line is
        `first_line`; returns them all."""
        def found():
            matching = [r for r in self.records(name) if r["lines"][0] == first_line]
            return matching if len(matching) >= count else None
        return wait_until(found, timeout, what="%d record(s) %r in %s" % (count, first_line, name))

    def error_log_texts(self):
        return ["\n".join(r["lines"]) for r in self.records("error.log")]

    # ------------------------------------------------------ executables
    def dump_executables(self, tags=("first", "second")):
        """The value of SmsProcessing/Executables for commands that write
        their environment to numbered files; returns (value, directory)."""
        directory = os.path.join(self.sandbox.root, "env-dumps")
        os.makedirs(directory, exist_ok=True)
        script = os.path.join(self.sandbox.root, "dump-env.sh")
        with open(script, "w") as f:
            f.write(DUMP_SCRIPT)
        os.chmod(script, os.stat(script).st_mode | stat.S_IXUSR)
        return ",".join("%s %s %s" % (script, tag, directory) for tag in tags), directory

    @staticmethod
    def read_dumps(directory):
        """[(file name, {name: value})] in the order the commands ran."""
        dumps = []
        for name in sorted(n for n in os.listdir(directory) if not n.startswith(".")):
            with open(os.path.join(directory, name), "rb") as f:
                items = f.read().decode("latin-1").split("\0")
            env = {}
            for item in items:
                key, sep, value = item.partition("=")
                if sep:
                    env[key] = value
            dumps.append((name, env))
        return dumps
