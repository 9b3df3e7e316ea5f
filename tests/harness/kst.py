"""Test harness: runs the real kstd (and the programs that talk to it) in a
private mount namespace, so that the daemon's fixed paths /etc/kst/kstd.ini,
/var/run/kstd.pid and /tmp/kstd.ior are the sandbox's own directories and
never the machine's files. Syslog messages sent inside the namespace are
collected from the sandbox's own /dev/log.

Tests run as root. The sandbox lives under the build tree (never under /tmp,
which the namespace replaces).
"""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

BUILD_DIR = os.environ.get("KST_BUILD_DIR", os.path.abspath("build"))
SOURCE_DIR = os.environ.get("KST_SOURCE_DIR", os.path.abspath("."))

# kstsend and kstmon refuse IOR files that others may write: the files the
# tests write (and the peers they start) must come out 0644 whatever the
# caller's umask.
os.umask(0o022)

# The ORB puts the host's external address into references unless told
# otherwise; everything here stays on loopback.
ORB_ENV = {"ORBendPoint": "giop:tcp:127.0.0.1:"}

# ThreadSanitizer builds (other builds ignore the variable): every program a
# sandbox starts reads the project's suppressions and writes its reports to
# a file of its own in the sandbox (report.PID), so that the reports of a
# daemon (whose standard error is gone) and of the clients are found too;
# Process.stderr() shows a process's report after its output, and
# Sandbox.close() fails the test when any report was written.
TSAN_SUPPRESSIONS = os.path.join(SOURCE_DIR, "tests", "tsan.supp")

# Sanitizer builds run several times slower; the tests' waits for something
# that is due are stretched by this factor there (never a wait for something
# that must not happen).
TIME_FACTOR = 4.0 if os.environ.get("KST_SANITIZE") else 1.0

_BINARIES = {
    "kstd": "src/kstd",
    "kstsend": "tools/kstsend/kstsend",
    "kstmon": "stats/kstmon",
    "smscsim": "tools/smscsim/smscsim",
}

# Builds the namespace: first the overlays a sandbox asks for over further
# system directories (see Sandbox.system_overlays), then /var/lib gets an
# overlay whose upper layer holds kst/ (the daemon's store, kept across the
# daemon's restarts within the sandbox), /etc an overlay
# whose upper layer holds kst/, /dev an overlay that adds the collector's
# socket as /dev/log (with the pseudo-terminal and shared-memory mounts moved
# back in), /run and /tmp the sandbox's own directories. An overlay over a
# directory that holds the sandbox (a checkout below /var or /usr) would
# hide the sandbox's real files behind the overlay: the sandbox is mounted
# back over itself from the descriptor opened before. /tmp comes last: the
# sandbox may not be below it.
_NAMESPACE_SCRIPT = r"""
set -e
R=$1; OVERLAYS=$2; shift 2
exec 3<"$R"
overlay() {
  mount -t overlay overlay -o lowerdir=/$1,upperdir="$R/ns/$1-up",workdir="$R/ns/$1-wk" /$1
  case "$R/" in /$1/*) mount --no-canonicalize --bind /proc/self/fd/3 "$R";; esac
}
for d in $OVERLAYS; do overlay $d; done
overlay var/lib
overlay etc
for m in pts shm; do
  if mountpoint -q /dev/$m; then mount --bind /dev/$m "$R/ns/keep-$m"; fi
done
overlay dev
for m in pts shm; do
  if mountpoint -q "$R/ns/keep-$m"; then mount --move "$R/ns/keep-$m" /dev/$m; fi
done
mount --bind "$R/devlog" /dev/log
mount --bind "$R/run" /run
mount --bind "$R/tmp" /tmp
exec 3<&-
exec "$@"
"""


def binary(name):
    """Path of one of the project's programs in the build tree."""
    return os.path.join(BUILD_DIR, _BINARIES.get(name, name))


# A sanitizer's report in a program's output.
SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|UndefinedBehaviorSanitizer|"
                              r"runtime error:|WARNING: ThreadSanitizer|SUMMARY: \w+Sanitizer")

# "2024-05-07 15:30:00,123 INFO     - text", continuation lines indented.
_RECORD_START = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (INFO |ERROR)    - ", re.M)


def log_records(text):
    """Splits a log file into records: a list of (type, [lines]) with type
    "INFO" or "ERROR" and the lines without the time stamp or indentation."""
    records = []
    starts = list(_RECORD_START.finditer(text))
    for i, match in enumerate(starts):
        end = starts[i + 1].start() if i + 1 < len(starts) else len(text)
        body = text[match.end():end].rstrip("\n").split("\n")
        indent = match.end() - match.start()
        lines = [body[0]] + [line[indent:] if line[:indent].strip() == "" else line
                             for line in body[1:]]
        records.append((match.group(1).strip(), lines))
    return records


def stats_of(output):
    """The output of "kstsend --stats" as {label: value}."""
    stats = {}
    for line in output.splitlines():
        label, separator, value = line.partition(":")
        if separator:
            stats[label.strip()] = value.strip()
    return stats


def read_first_line(process, timeout):
    """The first line `process` prints on its standard output (a pipe),
    waiting at most `timeout` seconds; what came when it ends or the time
    is up otherwise. The peers print their ports this way before anything
    else."""
    deadline = time.monotonic() + timeout
    line = b""
    fd = process.stdout.fileno()
    os.set_blocking(fd, False)
    while time.monotonic() < deadline and not line.endswith(b"\n"):
        try:
            chunk = os.read(fd, 1)
        except BlockingIOError:
            if process.poll() is not None:
                break
            time.sleep(0.01)
            continue
        if not chunk:
            break
        line += chunk
    return line.decode("latin-1")


def wait_or_kill(process, timeout=10.0, kill=None):
    """Waits up to `timeout` seconds for a child that was asked to end, then
    kills it (with `kill` when given, else SIGKILL) and waits for that too;
    returns its exit status."""
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        (kill or process.kill)()
        return process.wait(10)


def wait_until(predicate, timeout=10.0, interval=0.05, what="condition"):
    """Polls `predicate` until it returns a true value, which is returned;
    fails the calling test with `what` after `timeout` seconds."""
    timeout *= TIME_FACTOR
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


class ScratchPeer:
    """Base of a test peer that works in a directory of its own (one made
    below the build tree's scratch/ unless the caller gives one) and writes
    its errors to `err_path`, which stderr() reads. cleanup() (also on
    leaving a with block) stops the peer with the subclass's stop() and
    removes a directory it made itself, unless KST_KEEP_SANDBOX is set."""

    def _make_workdir(self, workdir, prefix):
        scratch = os.path.join(BUILD_DIR, "scratch")
        os.makedirs(scratch, exist_ok=True)
        self._own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix=prefix, dir=scratch)

    def stderr(self):
        """What the peer wrote to its error file (`err_path`) so far."""
        try:
            with open(self.err_path, "r", encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def cleanup(self):
        self.stop()
        if self._own_workdir and not os.environ.get("KST_KEEP_SANDBOX"):
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False


class SyslogCollector:
    """Receives syslog datagrams on a Unix socket and keeps their texts."""

    def __init__(self, path):
        self.path = path
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._socket.bind(path)
        self._socket.settimeout(0.2)
        self._messages = []
        self._lock = threading.Lock()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    # "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
    _FORMAT = re.compile(r"^<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d (\S+?)(?:\[(\d+)\])?: (.*)$", re.S)

    def _run(self):
        while not self._stop:
            try:
                data = self._socket.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            text = data.decode("latin-1")
            match = self._FORMAT.match(text)
            if match:
                priority = int(match.group(1))
                entry = {"priority": priority & 7, "facility": priority >> 3,
                         "ident": match.group(2), "pid": match.group(3), "text": match.group(4)}
            else:
                entry = {"priority": None, "facility": None, "ident": None, "pid": None, "text": text}
            with self._lock:
                self._messages.append(entry)

    def messages(self):
        with self._lock:
            return list(self._messages)

    def texts(self):
        return [m["text"] for m in self.messages()]

    def close(self):
        self._stop = True
        self._thread.join()
        self._socket.close()


def read_reports(directory, pid=None):
    """The sanitizer reports written to `directory` (by process `pid`, or by
    all), each headed by the file's name."""
    try:
        names = sorted(os.listdir(directory))
    except FileNotFoundError:
        return ""
    if pid is not None:
        names = [n for n in names if n == "report.%d" % pid]
    texts = []
    for name in names:
        with open(os.path.join(directory, name), "r", encoding="latin-1") as f:
            texts.append("==== %s\n%s" % (name, f.read()))
    return "".join(texts)


class Process:
    """A program started in a sandbox, with its output collected in files."""

    def __init__(self, popen, out_path, err_path, report_dir=None):
        self.popen = popen
        self.out_path = out_path
        self.err_path = err_path
        self.report_dir = report_dir

    @property
    def pid(self):
        return self.popen.pid

    def stdout(self):
        with open(self.out_path, "r", encoding="latin-1") as f:
            return f.read()

    def stderr(self):
        """Its standard error, followed by the sanitizer report the process
        itself wrote (under its own pid: kstd -d, not a daemon's child)."""
        with open(self.err_path, "r", encoding="latin-1") as f:
            text = f.read()
        if self.report_dir:
            text += read_reports(self.report_dir, self.popen.pid)
        return text

    def output(self):
        return self.stdout() + self.stderr()

    def wait_output(self, pattern, timeout=15.0, stream="stdout"):
        """Waits until `pattern` (a regular expression) appears in the output."""
        regex = re.compile(pattern)
        read = {"stdout": self.stdout, "stderr": self.stderr, "both": self.output}[stream]
        return wait_until(lambda: regex.search(read()), timeout, what="output %r" % pattern)

    def signal(self, signum):
        try:
            os.kill(self.popen.pid, signum)
        except ProcessLookupError:
            pass

    def wait(self, timeout=30.0):
        return self.popen.wait(timeout)

    def running(self):
        return self.popen.poll() is None

    def stop(self, timeout=30.0):
        """SIGTERM, then SIGKILL if it does not end in time; returns the status."""
        if self.popen.poll() is None:
            self.signal(signal.SIGTERM)
            return wait_or_kill(self.popen, timeout, lambda: self.signal(signal.SIGKILL))
        return self.popen.returncode


class Sandbox:
    """A scratch directory and the private mount namespace built from it."""

    _counter = 0
    # Further system directories that get an overlay with an upper layer of
    # the sandbox's own (ns/DIR-up), before any other mount.
    system_overlays = ()

    def __init__(self, name="kst"):
        scratch = os.path.join(BUILD_DIR, "scratch")
        os.makedirs(scratch, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix=name + "-", dir=scratch)
        if self.root.startswith("/tmp/"):
            raise RuntimeError("the build tree must not be below /tmp")
        for d in ("ns/var/lib-up/kst", "ns/var/lib-wk", "ns/etc-up/kst", "ns/etc-wk", "ns/dev-up", "ns/dev-wk", "ns/keep-pts",
                  "ns/keep-shm", "run", "tmp", "logs", "sanitizer"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        for system in self.system_overlays:
            for d in ("ns/%s-up" % system, "ns/%s-wk" % system):
                os.makedirs(os.path.join(self.root, d), exist_ok=True)
        os.chmod(os.path.join(self.root, "tmp"), 0o1777)
        open(os.path.join(self.root, "ns/dev-up/log"), "w").close()
        self.syslog = SyslogCollector(os.path.join(self.root, "devlog"))
        self.processes = []
        self.kstd = None

    # Paths as seen from outside the namespace.
    @property
    def ini_path(self):
        return os.path.join(self.root, "ns/etc-up/kst/kstd.ini")

    @property
    def store_path(self):
        """The daemon's store (its default /var/lib/kst/kstd.db inside)."""
        return os.path.join(self.root, "ns/var/lib-up/kst/kstd.db")

    @property
    def ior_path(self):
        return os.path.join(self.root, "tmp/kstd.ior")

    @property
    def pid_path(self):
        return os.path.join(self.root, "run/kstd.pid")

    def log_path(self, name):
        """A log file path, valid inside and outside the namespace."""
        return os.path.join(self.root, "logs", name)

    def write_ini(self, text):
        with open(self.ini_path, "w") as f:
            f.write(text)

    def remove_ini(self):
        if os.path.exists(self.ini_path):
            os.unlink(self.ini_path)

    def read_log(self, name):
        path = self.log_path(name)
        if not os.path.exists(path):
            return ""
        with open(path, "r", encoding="latin-1") as f:
            return f.read()

    @property
    def report_dir(self):
        """Where the programs' sanitizer reports go (same path inside)."""
        return os.path.join(self.root, "sanitizer")

    def sanitizer_reports(self):
        """Every sanitizer report the sandbox's programs wrote so far."""
        return read_reports(self.report_dir)

    def _environment(self, env):
        environment = dict(os.environ)
        environment.update(ORB_ENV)
        if env:
            environment.update(env)
        tsan = environment.get("TSAN_OPTIONS", "")
        environment["TSAN_OPTIONS"] = (tsan + ":" if tsan else "") + "suppressions=%s:log_path=%s" % (
            TSAN_SUPPRESSIONS, os.path.join(self.report_dir, "report"))
        return environment

    def _spawn(self, argv, env=None, tag="proc", stdin=None):
        Sandbox._counter += 1
        base = os.path.join(self.root, "%s-%d" % (tag, Sandbox._counter))
        out_path, err_path = base + ".out", base + ".err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            popen = subprocess.Popen(argv, stdout=out, stderr=err,
                                     stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                     env=self._environment(env), start_new_session=True)
        process = Process(popen, out_path, err_path, self.report_dir)
        self.processes.append(process)
        return process

    def namespace_argv(self, argv):
        """The command line that runs `argv` in a new namespace of this sandbox."""
        return ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", _NAMESPACE_SCRIPT,
                "kst-ns", self.root, " ".join(self.system_overlays)] + list(argv)

    def start(self, argv, env=None, tag="proc", stdin=None):
        """Starts `argv` in a new namespace of this sandbox."""
        return self._spawn(self.namespace_argv(argv), env, tag, stdin)

    def start_kstd(self, args=("-d",), env=None, wrapper=()):
        """Starts kstd (in the foreground with -d unless `args` says
        otherwise); `wrapper` is prepended to the command (valgrind, say)."""
        self.kstd = self.start(list(wrapper) + [binary("kstd")] + list(args), env, tag="kstd")
        return self.kstd

    def run_kstd(self, args=("-d",), env=None, timeout=30):
        """Runs kstd to its end; returns the finished Process."""
        process = self.start_kstd(args, env)
        process.wait(timeout)
        return process

    def namespace_pid(self):
        """The pid of a process that lives in this sandbox's namespace."""
        if self.kstd is not None and self.kstd.running():
            return self.kstd.pid
        if os.path.exists(self.pid_path):
            with open(self.pid_path) as f:
                text = f.read().strip()
            if text.isdigit() and os.path.exists("/proc/%s" % text):
                return int(text)
        raise RuntimeError("no process runs in the sandbox's namespace")

    def start_inside(self, argv, env=None, tag="inside", stdin=None):
        """Starts `argv` inside the namespace of the running daemon."""
        pid = self.namespace_pid()
        return self._spawn(["nsenter", "-t", str(pid), "-m", "--"] + list(argv), env, tag, stdin)

    def run_inside(self, argv, env=None, timeout=60, input=None):
        """Runs `argv` inside the namespace of the running daemon and returns
        the CompletedProcess (text output)."""
        pid = self.namespace_pid()
        return subprocess.run(["nsenter", "-t", str(pid), "-m", "--"] + list(argv),
                              env=self._environment(env), capture_output=True, timeout=timeout,
                              input=input)

    def daemon_pid(self):
        """The daemon's own pid as its PID file gives it."""
        def read():
            try:
                with open(self.pid_path) as f:
                    text = f.read()
            except FileNotFoundError:
                return None
            return int(text) if text.strip().isdigit() and text.endswith("\n") else None
        return wait_until(read, 15, what="the PID file")

    def wait_ior(self, timeout=20):
        def read():
            if not os.path.exists(self.ior_path):
                return None
            with open(self.ior_path, "rb") as f:
                data = f.read()
            return data if data.startswith(b"IOR:") else None
        return wait_until(read, timeout, what="the IOR file")

    def close(self):
        for process in self.processes:
            if process.running():
                process.stop(timeout=20)
        if os.path.exists(self.pid_path):
            try:
                with open(self.pid_path) as f:
                    pid = int(f.read().strip() or "0")
                if pid > 1:
                    os.kill(pid, signal.SIGKILL)
            except (ValueError, ProcessLookupError, PermissionError):
                pass
        self.syslog.close()
        reports = self.sanitizer_reports()
        if not os.environ.get("KST_KEEP_SANDBOX"):
            shutil.rmtree(self.root, ignore_errors=True)
        if reports:
            raise AssertionError("a program of the sandbox reported a sanitizer error:\n" + reports[:20000])


class SandboxTestCase(unittest.TestCase):
    """A test case with a fresh sandbox per test (self.sandbox)."""

    def setUp(self):
        self.sandbox = Sandbox(self.id().split(".")[-1][:40])
        self.addCleanup(self.sandbox.close)


# A configuration with only an SMSC section, pointing at a port nobody
# serves; tests change what they need.
def basic_ini(sandbox, emi=None, me=None, extra=""):
    lines = ["[Log]",
             "ErrorLog = %s" % sandbox.log_path("error.log"),
             "AccessLog = %s" % sandbox.log_path("access.log"),
             "ReceiveLog = %s" % sandbox.log_path("receive.log")]
    if emi is not None:
        lines.append("[EMI]")
        lines.extend("%s = %s" % kv for kv in emi.items())
    if me is not None:
        lines.append("[ME]")
        lines.extend("%s = %s" % kv for kv in me.items())
    return "\n".join(lines) + "\n" + extra


def free_port():
    """A loopback TCP port nobody listens on right now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def http_section(sandbox, keys=("test-key-1",), port=None, extra=None):
    """The "[HTTP]" section for a daemon of `sandbox`: Listen on loopback at
    `port` (a free one unless given), the API keys written to a keys file of
    the sandbox (with a comment and a blank line, which are skipped); `extra`
    adds or replaces keys. Returns (text, port)."""
    port = port or free_port()
    keys_path = os.path.join(sandbox.root, "api-keys")
    with open(keys_path, "w") as f:
        f.write("# keys of the test clients\n\n" + "".join("%s\n" % key for key in keys))
    settings = {"Listen": "127.0.0.1:%d" % port, "ApiKeysFile": keys_path}
    settings.update(extra or {})
    text = "[HTTP]\n" + "".join("%s = %s\n" % kv for kv in settings.items() if kv[1] is not None)
    return text, port


# An executable for received messages that writes a marker when it starts,
# waits for its gate file and then runs the rest of its command line. A gate
# that says anything but "run" ends it without running the rest (so the runs
# a killed daemon left behind end); it gives up after two minutes anyway.
_GATE_SCRIPT = r'''
import os, sys, time
gate, started = sys.argv[1], sys.argv[2]
open(started, "a").close()
deadline = time.monotonic() + 120
while not os.path.exists(gate):
    if time.monotonic() > deadline:
        sys.exit(2)
    time.sleep(0.05)
with open(gate) as f:
    if f.read().strip() != "run":
        sys.exit(1)
os.execv(sys.argv[3], sys.argv[3:])
'''


class Gate:
    """The gate of one daemon run's executables: command(argv) wraps a
    command; open() lets it run, close() ends it without running; started()
    tells whether it began."""

    def __init__(self, directory, run):
        self.script = os.path.join(directory, "gate.py")
        if not os.path.exists(self.script):
            with open(self.script, "w") as f:
                f.write(_GATE_SCRIPT)
        self.path = os.path.join(directory, "gate-%s" % run)
        self.marker = os.path.join(directory, "started-%s" % run)

    def command(self, argv):
        return " ".join(["/usr/bin/python3", self.script, self.path, self.marker] + list(argv))

    def started(self):
        return os.path.exists(self.marker)

    def open(self, word="run"):
        if os.path.exists(self.path):
            return
        with open(self.path + ".part", "w") as f:
            f.write(word)
        os.rename(self.path + ".part", self.path)

    def close(self):
        self.open("stop")


# ---------------------------------------------------------------- references

def _align(buffer, boundary):
    buffer.extend(b"\0" * (-len(buffer) % boundary))


def _cdr_string(buffer, text):
    _align(buffer, 4)
    data = text.encode("latin-1") + b"\0"
    buffer.extend(struct.pack(">I", len(data)) + data)


def make_ior(host, port, type_id="IDL:SmsServer:1.0", object_key=b"kst-test"):
    """A stringified object reference to an object at host:port (one IIOP 1.2
    profile, big-endian), for pointing clients at a test peer."""
    profile = bytearray(b"\0\x01\x02")
    _cdr_string(profile, host)
    _align(profile, 2)
    profile.extend(struct.pack(">H", port))
    _align(profile, 4)
    profile.extend(struct.pack(">I", len(object_key)) + object_key)
    _align(profile, 4)
    profile.extend(struct.pack(">I", 0))  # no tagged components
    ior = bytearray(b"\0")
    _cdr_string(ior, type_id)
    _align(ior, 4)
    ior.extend(struct.pack(">II", 1, 0))  # one profile, TAG_INTERNET_IOP
    ior.extend(struct.pack(">I", len(profile)) + profile)
    return "IOR:" + ior.hex()


def ior_endpoint(ior):
    """(host, port) of the first IIOP profile of a stringified reference."""
    data = bytes.fromhex(ior.strip()[4:])
    order = ">" if data[0] == 0 else "<"
    position = 1

    def unpack(fmt, size, blob, at, base=0):
        at += -(at - base) % size
        return struct.unpack(order + fmt, blob[at:at + size])[0], at + size

    length, position = unpack("I", 4, data, position)
    position += length
    count, position = unpack("I", 4, data, position)
    for _ in range(count):
        tag, position = unpack("I", 4, data, position)
        length, position = unpack("I", 4, data, position)
        body = data[position:position + length]
        position += length
        if tag != 0:
            continue
        order = ">" if body[0] == 0 else "<"
        at = 3
        length, at = unpack("I", 4, body, at)
        host = body[at:at + length - 1].decode("latin-1")
        at += length
        port, at = unpack("H", 2, body, at)
        return host, port
    raise ValueError("no IIOP profile in the reference")


class SilentServer:
    """A TCP listener on loopback that accepts every connection, reads what
    comes and never answers: a server that has stopped responding."""

    def __init__(self):
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(16)
        self._socket.settimeout(0.2)
        self.port = self._socket.getsockname()[1]
        self.accepted = 0
        self._connections = []
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def ior(self):
        return make_ior("127.0.0.1", self.port)

    def _run(self):
        while not self._stop:
            try:
                connection, _ = self._socket.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted += 1
            self._connections.append(connection)

    def close(self):
        self._stop = True
        self._thread.join()
        for connection in self._connections:
            connection.close()
        self._socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def main():
    unittest.main(verbosity=2)
