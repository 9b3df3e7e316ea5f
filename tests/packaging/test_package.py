"""The installed system: the Debian package built with CPack is installed
with dpkg in a private mount namespace (overlays over /usr, /etc and /var, so
the machine's own files never change), its kstd runs as a daemon from the
installed configuration against the SMSC simulator, the installed kstsend
queues a message that reaches the simulator, logrotate rotates the logs
under the running daemon, and the package is removed and purged. A second
test installs with `cmake --install` into scratch roots."""

import gzip
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

import kst
from kst import Sandbox, wait_until
from smscsim import SmscSim

BUILD_DIR = kst.BUILD_DIR
PACKAGE = "kestrova"
ORB_ENV = dict(kst.ORB_ENV)
FAST_ENV = {"KSTD_TEST_MANAGER_CYCLE_MS": "300", "KSTD_TEST_RECONNECT_PAUSE_MS": "100"}

class SystemSandbox(Sandbox):
    """A sandbox whose namespace also has private /usr and /var, so that dpkg
    writes its files and its database into the sandbox, and one long-lived
    process that holds the namespace for every step."""

    system_overlays = ("usr", "var")

    def __init__(self, name):
        super().__init__(name)
        # The installed package brings /etc/kst itself.
        os.rmdir(os.path.join(self.root, "ns/etc-up/kst"))
        self.holder = None

    def hold(self):
        # Ends by itself should the test die without cleaning up.
        self.holder = self.start(["sleep", "300"], tag="holder")

        def ready():
            if not self.holder.running():
                raise AssertionError("the namespace could not be made (%s): %s"
                                     % (self.holder.popen.returncode, self.holder.stderr()))
            # The namespace script ends with exec, once every mount is made.
            with open("/proc/%d/cmdline" % self.holder.pid, "rb") as f:
                return f.read().startswith(b"sleep\0")
        wait_until(ready, 10, what="the namespace")

    def run(self, argv, input=None, env=None, timeout=120, check=True):
        """Runs `argv` in the namespace; returns the CompletedProcess (text)."""
        environment = self._environment(env)
        result = subprocess.run(["nsenter", "-t", str(self.holder.pid), "-m", "--"] + list(argv),
                                env=environment, input=input, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(argv), result.returncode,
                                                            result.stdout, result.stderr))
        return result

    def exists(self, path):
        return self.run(["test", "-e", path], check=False).returncode == 0

    def read(self, path):
        return self.run(["cat", path]).stdout

    def write(self, path, text):
        self.run(["sh", "-c", 'cat > "$1"', "write", path], input=text)


def alive(pid):
    """Whether the process runs (a detached daemon that ended may stay a
    zombie of a parent that does not reap it)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def set_keys(ini, section, values):
    """The INI text with `values` set in `section`: an existing key (also a
    commented-out one) is replaced in place."""
    lines = ini.split("\n")
    start = lines.index("[%s]" % section)
    end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("[")), len(lines))
    remaining = dict(values)
    for i in range(start + 1, end):
        match = re.match(r"^;?(\w+) = ", lines[i])
        if match and match.group(1) in remaining:
            lines[i] = "%s = %s" % (match.group(1), remaining.pop(match.group(1)))
    lines[end:end] = ["%s = %s" % kv for kv in remaining.items()]
    return "\n".join(lines)


class DebianPackage(unittest.TestCase):
    def setUp(self):
        for tool in ("dpkg", "cpack", "nsenter", "unshare", "logrotate"):
            if shutil.which(tool) is None:
                self.skipTest("%s is not installed" % tool)
        self.sandbox = SystemSandbox("package")
        self.addCleanup(self.sandbox.close)
        self.sandbox.hold()
        self.sim = SmscSim(password="tajne")
        self.addCleanup(self.sim.cleanup)

    def build_package(self):
        out = os.path.join(self.sandbox.root, "cpack")
        self.sandbox.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                          "-B", out], timeout=300)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1, debs)
        return os.path.join(out, debs[0])

    def daemon_pid(self):
        try:
            with open(self.sandbox.pid_path) as f:
                text = f.read().strip()
        except FileNotFoundError:
            return None
        return int(text) if text.isdigit() else None

    def daemon_running(self):
        pid = self.daemon_pid()
        return pid is not None and alive(pid)

    def test_install_run_send_rotate_remove(self):
        box = self.sandbox
        deb = self.build_package()

        # The package declares what it needs at run time.
        fields = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True,
                                check=True).stdout
        for library in ("libomniorb4", "libgsmme"):
            self.assertIn(library, fields)
        conffiles = subprocess.run(["dpkg-deb", "--info", deb, "conffiles"], capture_output=True,
                                   text=True, check=True).stdout.split()
        self.assertIn("/etc/kst/kstd.ini", conffiles)

        box.run(["dpkg", "-i", deb])
        self.assertIn("install ok installed",
                      box.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE]).stdout)
        for path in ("/usr/sbin/kstd", "/usr/bin/kstsend", "/usr/lib/cgi-bin/kstmon",
                     "/usr/include/vessa.h", "/lib/systemd/system/kstd.service",
                     "/etc/logrotate.d/kstd", "/etc/kst/kstd.ini",
                     "/usr/share/man/man8/kstd.8.gz", "/usr/share/man/man1/kstsend.1.gz",
                     "/usr/share/man/man8/kstmon.8.gz"):
            self.assertTrue(box.exists(path), path)
        self.assertEqual(box.run(["stat", "-c", "%a", "/var/log/kst"]).stdout.strip(), "750")
        self.assertEqual(box.run(["stat", "-c", "%a", "/var/lib/kst"]).stdout.strip(), "700")
        # The library is found through the linker cache and pkg-config.
        self.assertRegex(box.run(["ldd", "/usr/sbin/kstd"]).stdout,
                         r"libvessa\.so\.1 => /(usr/)?lib/[^ ]*libvessa\.so\.1 ")
        self.assertEqual(box.run(["pkg-config", "--libs", "vessa"]).stdout.split(), ["-lvessa"])
        if shutil.which("systemd-analyze"):
            verify = box.run(["systemd-analyze", "verify", "/lib/systemd/system/kstd.service"], check=False)
            self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
            self.assertEqual(verify.stderr.strip(), "")

        # The installed configuration, pointed at the simulator.
        ini = box.read("/etc/kst/kstd.ini")
        ini = set_keys(ini, "EMI", {"Address": "127.0.0.1", "Port": str(self.sim.ucp_port),
                                    "LAID": "4209000", "Password": "tajne"})
        box.write("/etc/kst/kstd.ini", ini)

        # Started as the unit starts it: it detaches, writes its PID file and
        # serves at the IOR file.
        env = dict(ORB_ENV)
        env.update(FAST_ENV)
        # A daemon's console is /dev/null: a sanitizer build reports to files.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            env[name] = ":".join(filter(None, [os.environ.get(name), "log_path=/tmp/kstd-sanitizer"]))
        started = box.run(["/usr/sbin/kstd"], env=env, timeout=30)
        self.assertEqual(started.stdout, "Starting daemon...\n")
        self.addCleanup(self.stop_daemon)
        wait_until(self.daemon_running, 15, what="the daemon's PID file")
        box.wait_ior()
        self.sim.wait_for(lambda: self.sim.logins(), 20, what="the daemon's login")

        text = "Hello from the installed gateway"
        sent = box.run(["/usr/bin/kstsend", "-r", "192.0.2.7", "777123456", text], env=ORB_ENV)
        self.assertEqual(sent.stdout, "queued 1 message for 777123456\n")
        self.sim.wait_for(lambda: [s for s in self.sim.submissions() if s["text"] == text], 20,
                          what="the submission")
        sub = [s for s in self.sim.submissions() if s["text"] == text][0]
        self.assertEqual(sub["AdC"], "00420777123456")
        wait_until(lambda: "Send SMS requested" in box.read("/var/log/kst/access.log"), 10,
                   what="the access record")
        self.assertIn("IP Address: 192.0.2.7", box.read("/var/log/kst/access.log"))
        # The daemon's files: logs for owner and group only.
        for path, mode in (("/var/log/kst/access.log", "640"), ("/var/log/kst/error.log", "640"),
                           ("/tmp/kstd.ior", "644"), ("/run/kstd.pid", "644")):
            self.assertEqual(box.run(["stat", "-c", "%a", path]).stdout.strip(), mode, path)
        # The packaged environment keeps the ORB on loopback.
        self.assertRegex(box.read("/etc/default/kstd"), r"(?m)^ORBendPoint=giop:tcp:127\.0\.0\.1:$")

        # The statistics CGI as installed.
        stats = box.run(["/usr/lib/cgi-bin/kstmon", "-t"], env=ORB_ENV).stdout
        self.assertRegex(stats, r"Zarizeni 1: Sender thread\(EMI\): used for sending\n")

        # Rotation needs no signal: the daemon's next record creates the
        # file anew.
        box.run(["logrotate", "-f", "-s", "/tmp/logrotate.state", "/etc/logrotate.d/kstd"])
        self.assertTrue(box.exists("/var/log/kst/access.log.1"))
        second = "Second message after rotation"
        box.run(["/usr/bin/kstsend", "777123457", second], env=ORB_ENV)
        self.sim.wait_for(lambda: [s for s in self.sim.submissions() if s["text"] == second], 20,
                          what="the second submission")
        wait_until(lambda: box.exists("/var/log/kst/access.log") and
                   "777123457" in box.read("/var/log/kst/access.log"), 10,
                   what="a new access log")
        self.assertNotIn("777123456", box.read("/var/log/kst/access.log"))
        self.sim.assert_no_violations()

        self.stop_daemon()
        log = box.read("/var/log/kst/error.log")
        self.assertRegex(log, r"SMS Service v0\.18\.0 stopped\n {35}exit code 0\n$")
        self.assertFalse(os.path.exists(box.ior_path), "the IOR file is removed at the stop")
        self.assertFalse(self.daemon_running())
        reports = []
        for name in os.listdir(os.path.join(box.root, "tmp")):
            if name.startswith("kstd-sanitizer"):
                with open(os.path.join(box.root, "tmp", name), errors="replace") as f:
                    text = f.read()
                print(text)
                reports.append(text)
        self.assertEqual(reports, [], "sanitizer reports of the daemon")

        # An edited configuration survives a reinstallation.
        box.run(["dpkg", "-i", deb])
        self.assertIn("Port = %d" % self.sim.ucp_port, box.read("/etc/kst/kstd.ini"))

        box.run(["dpkg", "-r", PACKAGE])
        self.assertFalse(box.exists("/usr/sbin/kstd"))
        self.assertFalse(box.exists("/usr/lib/x86_64-linux-gnu/libvessa.so.1"))
        self.assertTrue(box.exists("/etc/kst/kstd.ini"), "removal keeps the configuration")
        self.assertIn("config-files", box.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE]).stdout)
        box.run(["dpkg", "-P", PACKAGE])
        for path in ("/etc/kst", "/var/log/kst", "/var/lib/kst", "/etc/logrotate.d/kstd", "/etc/default/kstd"):
            self.assertFalse(box.exists(path), path)
        self.assertNotEqual(box.run(["dpkg-query", "-W", PACKAGE], check=False).returncode, 0)

    def stop_daemon(self):
        pid = self.daemon_pid()
        if pid is None or not alive(pid):
            return
        os.kill(pid, signal.SIGTERM)
        wait_until(lambda: not alive(pid), 30, what="the daemon's end")


class CmakeInstall(unittest.TestCase):
    """`cmake --install` into scratch roots: the layout, and an existing
    configuration that is kept."""

    def setUp(self):
        scratch = os.path.join(BUILD_DIR, "scratch")
        os.makedirs(scratch, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="install-", dir=scratch)
        self.addCleanup(shutil.rmtree, self.root, True)

    def install(self, *args, env=None):
        environment = dict(os.environ)
        environment.update(env or {})
        result = subprocess.run(["cmake", "--install", BUILD_DIR] + list(args), env=environment,
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result.stdout

    def test_prefix_keeps_everything_below_it(self):
        prefix = os.path.join(self.root, "prefix")
        os.makedirs(os.path.join(prefix, "etc/kst"))
        with open(os.path.join(prefix, "etc/kst/kstd.ini"), "w") as f:
            f.write("[EMI]\n; mine\n")
        out = self.install("--prefix", prefix)
        self.assertIn("Keeping: %s/etc/kst/kstd.ini" % prefix, out)
        with open(os.path.join(prefix, "etc/kst/kstd.ini")) as f:
            self.assertEqual(f.read(), "[EMI]\n; mine\n")
        for line in out.splitlines():
            match = re.match(r"-- (?:Installing|Up-to-date|Keeping): (.*)$", line)
            if match:
                self.assertTrue(match.group(1).startswith(prefix + "/"), line)
        for path in ("sbin/kstd", "bin/kstsend", "lib/cgi-bin/kstmon", "include/vessa.h",
                     "lib/systemd/system/kstd.service", "etc/logrotate.d/kstd", "etc/default/kstd",
                     "var/log/kst", "var/lib/kst", "share/man/man8/kstd.8.gz"):
            self.assertTrue(os.path.exists(os.path.join(prefix, path)), path)
        pc = [os.path.join(d, f) for d, _, files in os.walk(prefix) for f in files if f == "vessa.pc"]
        self.assertEqual(len(pc), 1)
        with open(pc[0]) as f:
            self.assertIn("prefix=%s\n" % prefix, f.read())

    def test_destdir_lays_out_the_system(self):
        out = self.install("--prefix", "/usr", env={"DESTDIR": self.root})
        self.assertNotIn("Keeping", out)
        for path in ("usr/sbin/kstd", "usr/bin/kstsend", "usr/lib/cgi-bin/kstmon", "etc/kst/kstd.ini",
                     "etc/default/kstd", "etc/logrotate.d/kstd", "lib/systemd/system/kstd.service",
                     "var/log/kst", "var/lib/kst"):
            self.assertTrue(os.path.exists(os.path.join(self.root, path)), path)
        # The example configuration starts the daemon: logs under
        # /var/log/kst and an SMSC section.
        with open(os.path.join(self.root, "etc/kst/kstd.ini")) as f:
            ini = f.read()
        for name in ("ErrorLog", "AccessLog", "ReceiveLog"):
            self.assertRegex(ini, r"\n%s = /var/log/kst/\w+\.log\n" % name)
        self.assertIn("\n[EMI]\n", ini)
        self.assertIn("\n;[ME]\n", ini)
        # Manual pages format without warnings.
        if shutil.which("groff"):
            for page in ("usr/share/man/man8/kstd.8.gz", "usr/share/man/man1/kstsend.1.gz",
                         "usr/share/man/man8/kstmon.8.gz"):
                with gzip.open(os.path.join(self.root, page)) as f:
                    source = f.read()
                result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=source,
                                        capture_output=True)
                self.assertEqual(result.returncode, 0, page)
                self.assertEqual(result.stderr, b"", page)


if __name__ == "__main__":
    unittest.main(verbosity=2)
