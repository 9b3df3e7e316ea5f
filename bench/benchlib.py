"""Shared pieces of the benchmark drivers: the build tree, the machine, the
daemon in its sandbox (the tests' harness) and the kstbench client.

Every driver takes --build DIR (default: build/ beside this folder, or
KST_BUILD_DIR) and prints its figures as plain lines. The daemon always runs
in a private mount namespace below DIR/scratch, as in the tests, and
everything is removed at the end.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)


def parse_args(description, extra=None):
    """Parses the common options (and those `extra(parser)` adds) and points
    the harness at the build tree; call before importing kst."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--build", default=os.environ.get("KST_BUILD_DIR", os.path.join(SOURCE_DIR, "build")),
                        help="the build tree (default: %(default)s)")
    parser.add_argument("--store", default="normal", choices=("memory", "normal", "full"),
                        help="the daemon's store: Store/Type memory, or sqlite with Store/Sync normal or full"
                        " (default: %(default)s)")
    if extra:
        extra(parser)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    os.environ["KST_BUILD_DIR"] = args.build
    os.environ["KST_SOURCE_DIR"] = SOURCE_DIR
    harness = os.path.join(SOURCE_DIR, "tests", "harness")
    if harness not in sys.path:
        sys.path.insert(0, harness)
    for program in ("src/kstd", "tools/smscsim/smscsim", "bench/kstbench", "bench/httpload"):
        if not os.path.exists(os.path.join(args.build, program)):
            sys.exit("%s is not built in %s (cmake --build %s --target kstd smscsim kstbench httpload)"
                     % (program, args.build, args.build))
    return args


def kstbench(build):
    return os.path.join(build, "bench", "kstbench")


def machine():
    """One line about the machine and its load now."""
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            match = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
            if match:
                model = match.group(1)
    except OSError:
        pass
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return "cores=%d cpu=%r load(1,5,15 min)=%s" % (os.cpu_count(), model, load)


def header(title):
    print("== %s" % title)
    print("machine: %s" % machine())
    sys.stdout.flush()


def rss_kb(pid):
    """Resident and peak resident size in kB (VmRSS, VmHWM)."""
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values.get("VmRSS", 0), values.get("VmHWM", 0)


def cpu_seconds(pid):
    """User and system CPU time the process has used."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / ticks, int(fields[12]) / ticks


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def httpload(build, port, seconds, method, target, body="", headers=(), connections=4, delay_ms=0):
    """Runs bench/httpload (one keep-alive connection per thread; "{n}" and
    "{to}" in `target` and `body` make every request unique) and returns
    its RESULT pairs."""
    command = [os.path.join(build, "bench", "httpload"), "--port", str(port), "--connections", str(connections),
               "--seconds", str(seconds), "--method", method, "--target", target, "--body", body,
               "--delay-ms", str(delay_ms)]
    for header in headers:
        command += ["--header", header]
    done = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 60)
    match = re.search(r"^RESULT (.*)$", done.stdout, re.M)
    if done.returncode != 0 or not match:
        raise RuntimeError("httpload failed (%d): %s%s" % (done.returncode, done.stdout, done.stderr))
    return parse_pairs(match.group(1))


def parse_pairs(line):
    out = {}
    for item in line.split():
        key, _, value = item.partition("=")
        try:
            out[key] = int(value)
        except ValueError:
            try:
                out[key] = float(value)
            except ValueError:
                out[key] = value
    return out


def run_client(build, args, timeout=600):
    """Runs kstbench with `args`; returns its result line as a dict."""
    env = dict(os.environ)
    result = subprocess.run([kstbench(build)] + [str(a) for a in args], capture_output=True, text=True,
                            timeout=timeout, env=env)
    if result.returncode != 0:
        raise RuntimeError("kstbench %s failed (%d): %s%s" % (" ".join(map(str, args)), result.returncode,
                                                              result.stdout, result.stderr))
    return parse_pairs(result.stdout.strip().splitlines()[-1])


class Daemon:
    """kstd as a daemon (detached, console on /dev/null) in a sandbox."""

    # Short manager cycle and reconnection pause, so that the SMSC sender is
    # active within a second.
    FAST_ENV = {"KSTD_TEST_MANAGER_CYCLE_MS": "300", "KSTD_TEST_RECONNECT_PAUSE_MS": "100"}

    def __init__(self, name, ini_text_of, env=None, foreground=False, wrapper=(), fast=True):
        import kst
        self.sandbox = kst.Sandbox(name)
        self.sandbox.write_ini(ini_text_of(self.sandbox))
        environment = dict(self.FAST_ENV) if fast else {}
        environment.update(env or {})
        self._start(environment, foreground, wrapper)

    def _start(self, environment, foreground=False, wrapper=()):
        import kst
        self._how = (environment, foreground, wrapper)
        if foreground:
            # -d with the console on /dev/null: for wrappers (valgrind) that
            # must see the process itself.
            self.process = self.sandbox.start(list(wrapper) + [kst.binary("kstd"), "-d"], environment,
                                              tag="kstd", stdin=None)
            self.pid = self.process.pid
        else:
            starter = self.sandbox.start_kstd(args=(), env=environment)
            starter.wait(30)
            self.pid = self.sandbox.daemon_pid()
        self.sandbox.wait_ior(60)

    @property
    def ior_path(self):
        return self.sandbox.ior_path

    def log(self, name):
        return self.sandbox.read_log(name)

    def terminate(self):
        """SIGTERM; waits until the daemon has ended."""
        if alive(self.pid):
            os.kill(self.pid, signal.SIGTERM)
            deadline = time.monotonic() + 60
            while alive(self.pid) and time.monotonic() < deadline:
                time.sleep(0.05)

    def restart(self, ini_text_of=None):
        """Stops the daemon and starts it again in the same sandbox (its store
        kept), with the configuration of `ini_text_of` if given; returns the
        wall-clock time of the start and the seconds from it until the IOR
        file is there."""
        self.terminate()
        # The new daemon's files, not the old one's, tell that it is there.
        for path in (self.sandbox.ior_path, self.sandbox.pid_path):
            if os.path.exists(path):
                os.unlink(path)
        if ini_text_of is not None:
            self.sandbox.write_ini(ini_text_of(self.sandbox))
        wall = time.time()
        started = time.monotonic()
        self._start(*self._how)
        return wall, time.monotonic() - started

    def stop(self):
        if alive(self.pid):
            os.kill(self.pid, signal.SIGTERM)
            deadline = time.monotonic() + 60
            while alive(self.pid) and time.monotonic() < deadline:
                time.sleep(0.05)
        self.sandbox.close()


def emi_ini(port, password, window=96, throughput=100000, extra=""):
    """A configuration text function for Daemon: the SMSC sender at `port`."""
    import kst

    def text(sandbox):
        settings = {"Address": "127.0.0.1", "Port": str(port), "LAID": "4209000", "Password": password,
                    "WindowSize": str(window), "Throughput": str(throughput)}
        return kst.basic_ini(sandbox, emi=settings) + extra
    return text


def store_section(kind):
    """The [Store] section of a --store choice."""
    if kind == "memory":
        return "[Store]\nType = memory\n"
    return "[Store]\nType = sqlite\nSync = %s\n" % kind


def with_store(ini_text_of, kind):
    """`ini_text_of` with the [Store] section of `kind` appended."""
    return lambda sandbox: ini_text_of(sandbox) + store_section(kind)


def nowhere_ini(sandbox):
    """No SMSC listens: the daemon queues and sends nothing."""
    import kst
    return kst.basic_ini(sandbox, emi={"Address": "127.0.0.1", "Port": "1", "WindowSize": "96"})


def perf_record(pid, path):
    """Starts perf sampling `pid` (software clock: this machine's virtual
    processors count no hardware events) with call graphs."""
    recorder = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "--call-graph", "dwarf,16384", "-p", str(pid), "-o", path],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    return recorder


def perf_stop(recorder):
    recorder.send_signal(signal.SIGINT)
    recorder.wait(60)


def percentile(values, q):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]
