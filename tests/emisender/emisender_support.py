"""Shared pieces of the SMSC sender's end-to-end tests: the real kstd in its
sandbox, connected to the SMSC simulator, mailing through a real SMTP server
and running real executables for received messages.

Each test starts its own daemon with start_daemon(...) and its own
simulator, SMTP server and dump directory (setUp). On teardown the daemon is
stopped with SIGTERM; it must end cleanly, without any sanitizer report in
its output, and the simulator must have seen no protocol violation.
"""

import json
import os
import re
import stat

import kst
from kst import SANITIZER_REPORT, SandboxTestCase, basic_ini, log_records, stats_of, wait_until
from smscsim import SmscSim
from smtpserver import SmtpServer

KSTSEND = kst.binary("kstsend")

# Keeps the tests fast: a manager cycle of half a second and a short pause
# before each reconnection.
FAST_ENV = {"KSTD_TEST_MANAGER_CYCLE_MS": "500", "KSTD_TEST_RECONNECT_PAUSE_MS": "100"}

ENV_NAMES = ["OA", "SCADDRESS", "SCTIME", "ALPHABET", "UD", "MWI_ENABLED", "MWI", "CLASS", "UDHI"]

# Written into the sandbox and run by the daemon for every received message:
# stores the nine variables (None for an unset one) as one JSON file.
DUMP_SCRIPT = r'''
import json, os, sys, time
tag, directory = sys.argv[1], sys.argv[2]
names = %r
record = {"tag": tag, "pid": os.getpid(), "env": {n: os.environ.get(n) for n in names}}
name = "%%020d-%%s-%%d" %% (time.time_ns(), tag, os.getpid())
with open(os.path.join(directory, name + ".part"), "w", encoding="latin-1") as f:
    json.dump(record, f)
os.rename(os.path.join(directory, name + ".part"), os.path.join(directory, name + ".json"))
''' % (ENV_NAMES,)

HIDE_KEYS = ["AccessLog_HideIp", "AccessLog_HideDestinationAddress", "AccessLog_HideUserData",
             "AccessLog_HideEmail", "ErrorLog_HideDestinationAddress", "ErrorLog_HideUserData",
             "ReceiveLog_HideOriginatingAddress", "ReceiveLog_HideDestinationAddress",
             "ReceiveLog_HideUserData"]

def records_titled(text, title):
    return [(kind, lines) for kind, lines in log_records(text) if lines[0] == title]


def fields_of(lines):
    """The "Label: value" lines of a record after its title, as a dict (and
    the labels in order as "_order")."""
    out = {"_order": []}
    for line in lines[1:]:
        label, _, value = line.partition(": ")
        out[label] = value
        out["_order"].append(label)
    return out


class GatewayDaemonTestCase(SandboxTestCase):
    """A sandbox with an SMSC simulator (make_sim()), an SMTP server and a
    dump directory for the received-message executables, and what the tests
    of a sender ask of the daemon: kstsend, the statistics, the logs, the
    executables' runs."""

    def make_sim(self):
        raise NotImplementedError

    def setUp(self):
        super().setUp()
        self.sim = self.make_sim()
        self.addCleanup(self.sim.cleanup)
        self.smtp = SmtpServer()
        self.addCleanup(self.smtp.cleanup)
        self.dump_dir = os.path.join(self.sandbox.root, "received")
        os.makedirs(self.dump_dir)
        self.dump_script = os.path.join(self.sandbox.root, "dump_env.py")
        with open(self.dump_script, "w") as f:
            f.write(DUMP_SCRIPT)
        os.chmod(self.dump_script, stat.S_IRWXU | stat.S_IRGRP | stat.S_IROTH)
        self.kstd = None
        # Runs before the sandbox's own cleanup, which would kill the daemon.
        self.addCleanup(self._stop_daemon_and_check)

    # ---------------------------------------------------------- daemon

    def _stop_daemon_and_check(self):
        if self.kstd is None:
            return
        status = self.kstd.stop(timeout=60)
        output = self.kstd.stdout() + self.kstd.stderr()
        report = SANITIZER_REPORT.search(output)
        if report:
            start = max(0, report.start() - 200)
            self.fail("kstd reported a sanitizer error:\n" + output[start:start + 6000])
        self.assertEqual(status, 0, "kstd did not stop cleanly (status %s)" % status)
        self.sim.assert_no_violations()

    def kstsend(self, numbers, text, mail_to=None, remote=None, flash=False):
        argv = [KSTSEND]
        if mail_to:
            argv += ["-m", mail_to]
        if remote:
            argv += ["-r", remote]
        if flash:
            argv.append("-f")
        argv += [numbers, text]
        done = self.sandbox.run_inside(argv)
        self.assertEqual(done.returncode, 0, "kstsend failed: %s" % done.stderr.decode("latin-1"))

    def stats(self):
        done = self.sandbox.run_inside([KSTSEND, "--stats"])
        self.assertEqual(done.returncode, 0, "kstsend --stats failed: %s" % done.stderr.decode("latin-1"))
        return stats_of(done.stdout.decode("latin-1"))

    def wait_stat(self, name, value, timeout=30):
        wait_until(lambda: self.stats().get(name) == str(value), timeout, interval=0.2,
                   what="%s: %s in the statistics" % (name, value))

    # ---------------------------------------------------------- logs

    def log(self, name):
        return self.sandbox.read_log(name)

    def wait_record(self, name, title, count=1, timeout=20):
        """Waits until the log has `count` records with this title; returns
        them."""
        return wait_until(lambda: (lambda found: found if len(found) >= count else None)(
            records_titled(self.log(name), title)), timeout, what="%d record(s) %r in %s" % (count, title, name))

    def wait_log_line(self, name, pattern, timeout=20):
        regex = re.compile(pattern, re.M)
        return wait_until(lambda: regex.search(self.log(name)), timeout, what="%r in %s" % (pattern, name))

    # ---------------------------------------------------------- executables

    def dumps(self):
        """What the executables saw, in the order they ran."""
        out = []
        for name in sorted(os.listdir(self.dump_dir)):
            if name.endswith(".json"):
                with open(os.path.join(self.dump_dir, name), encoding="latin-1") as f:
                    out.append(json.load(f))
        return out

    def wait_dumps(self, count, timeout=20):
        return wait_until(lambda: (lambda found: found if len(found) >= count else None)(self.dumps()),
                          timeout, what="%d run(s) of the executables" % count)


class EmiDaemonTestCase(GatewayDaemonTestCase):
    """The daemon with an [EMI] section, against the SMSC simulator."""

    password = "tajne"
    laid = "4209000"

    def make_sim(self):
        return SmscSim(password=self.password)

    def write_daemon_ini(self, emi=None, hide=(), log_extra=None, smtp_extra=None, executables=None,
                         sections=""):
        """Writes the daemon's INI file; `sections` is appended as it is."""
        settings = {"Address": "127.0.0.1", "Port": str(self.sim.ucp_port), "LAID": self.laid,
                    "Password": self.password, "WindowSize": "10", "Throughput": "100",
                    "OriginatingAddress": "+420777123456", "AlertAddress": "+420999888777"}
        settings.update(emi or {})
        smtp = {"ServerHost": "127.0.0.1", "ServerPort": str(self.smtp.port),
                "From": "kstd@gateway.test"}
        smtp.update(smtp_extra or {})
        if executables is None:
            executables = ",".join("/usr/bin/python3 %s %s %s" % (self.dump_script, tag, self.dump_dir)
                                   for tag in ("first", "second"))
        extra = "".join("%s = 1\n" % key for key in hide)
        extra += "".join("%s = %s\n" % kv for kv in (log_extra or {}).items())
        text = basic_ini(self.sandbox, emi=settings)
        # basic_ini puts [Log] first: the hiding flags belong there.
        text = text.replace("[EMI]\n", extra + "[EMI]\n", 1)
        text += "[SMTP]\n" + "".join("%s = %s\n" % kv for kv in smtp.items())
        text += "[SmsProcessing]\nExecutables = %s\n" % executables
        self.sandbox.write_ini(text + sections)

    def start_daemon(self, emi=None, hide=(), log_extra=None, smtp_extra=None, executables=None,
                     wait_active=True, sections="", wrapper=()):
        self.write_daemon_ini(emi, hide, log_extra, smtp_extra, executables, sections)
        env = dict(FAST_ENV)
        self.kstd = self.sandbox.start_kstd(env=env, wrapper=wrapper)
        self.sandbox.wait_ior()
        if wait_active:
            self.wait_active()
        return self.kstd

    def wait_active(self, timeout=30):
        wait_until(lambda: self.stats().get("device 1") == "Sender thread(EMI): used for sending",
                   timeout, interval=0.2, what="the SMSC sender to become active")


def main():
    kst.main()
