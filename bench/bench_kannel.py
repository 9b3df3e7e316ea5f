#!/usr/bin/python3
"""Accepted submissions per second over HTTP: Kestrova's POST /v1/messages
beside Kannel's sendsms (Debian's kannel, scripts/install-deps --bench), in
the same run on the same machine, each gateway submitting over EMI/UCP to
its own SMSC simulator (tools/smscsim, which answers every submission at
once).

- Kestrova: kstd with the SQLite store (Store/Sync as --store), [HTTP] on
  loopback, EMI/WindowSize 96; POST /v1/messages.
- Kannel: bearerbox and smsbox as the user "kannel" (when run as root) with
  a kannel.conf generated in a private directory below the build tree's
  scratch/ (nothing under /etc is read or written): its file store, an EMI
  SMSC group with window 96, one sendsms user; GET /cgi-bin/sendsms.

Both are loaded alike over 4 keep-alive connections, by bench/httpload
(default; a client that leaves the 2-core machine to the servers) or with
--client wrk by wrk -t4 -c4 with http_post.lua and kannel_sendsms.lua.

Each run measures the two interleaved for --seconds: the requests answered
202 per second, then how many submissions reached the gateway's simulator
by the end of the load and, waiting at most --drain seconds more, in all
(every request has a text of its own, so a text seen twice is a message
submitted twice); the CPU time the gateway (kstd; bearerbox and smsbox) and
its simulator used per request, and how busy the whole machine was.

    bench/bench_kannel.py [--build DIR] [--store normal|full] [--seconds 10] [--repeat 3] [--drain 60] [--client httpload|wrk]
"""

import os
import pwd
import re
import signal
import socket
import statistics
import subprocess
import time
import urllib.request

import benchlib

KEY = "bench-key"
KANNEL_USER = "bench"
KANNEL_PASSWORD = "bench-password"
SMSC_PASSWORD = "tajne"
LAID = "4209000"
BEARERBOX = "/usr/sbin/bearerbox"
SMSBOX = "/usr/sbin/smsbox"


def options(parser):
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3, help="interleaved runs of each (median)")
    parser.add_argument("--client", choices=("httpload", "wrk"), default="httpload",
                        help="load generator: bench/httpload (default) or wrk with the Lua scripts")
    parser.add_argument("--drain", type=int, default=60,
                        help="seconds to wait after a run for the queued messages to reach the simulator")


def kannel_version():
    done = subprocess.run([BEARERBOX, "--version"], capture_output=True, text=True, timeout=30)
    match = re.search(r"version `([^']*)'", done.stdout + done.stderr)
    return match.group(1) if match else "?"


class Kannel:
    """bearerbox and smsbox with a configuration of their own in a private
    directory; stop() ends both and removes the directory."""

    def __init__(self, smsc_port):
        import kst
        import tempfile
        scratch = os.path.join(os.environ["KST_BUILD_DIR"], "scratch")
        os.makedirs(scratch, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix="kannel-", dir=scratch)
        self.sendsms_port = kst.free_port()
        admin_port, smsbox_port = kst.free_port(), kst.free_port()
        self.conf_path = os.path.join(self.workdir, "kannel.conf")
        with open(self.conf_path, "w") as f:
            f.write(self.configuration(smsc_port, admin_port, smsbox_port))
        # Unprivileged: as root, the package's own user, which may write
        # only in this directory.
        self._drop = []
        if os.getuid() == 0:
            user = pwd.getpwnam("kannel")
            os.chown(self.workdir, user.pw_uid, user.pw_gid)
            self._drop = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid, "--clear-groups"]
        self.processes = []
        self.bearerbox = self._start(BEARERBOX, "bearerbox")
        self._wait_port(smsbox_port, "bearerbox's smsbox port")
        self.smsbox = self._start(SMSBOX, "smsbox")
        self._wait_port(self.sendsms_port, "smsbox's sendsms port")

    def configuration(self, smsc_port, admin_port, smsbox_port):
        path = lambda name: os.path.join(self.workdir, name)
        return "\n".join([
            "group = core",
            "admin-port = %d" % admin_port,
            "admin-interface = 127.0.0.1",
            "admin-password = %s" % KANNEL_PASSWORD,
            "admin-allow-ip = 127.0.0.1",
            "smsbox-port = %d" % smsbox_port,
            "smsbox-interface = 127.0.0.1",
            "box-allow-ip = 127.0.0.1",
            "log-file = %s" % path("bearerbox.log"),
            "log-level = 2",
            "store-type = file",
            "store-location = %s" % path("kannel.store"),
            "dlr-storage = internal",
            "",
            "group = smsc",
            "smsc = emi",
            "smsc-id = sim",
            "host = 127.0.0.1",
            "port = %d" % smsc_port,
            "smsc-username = %s" % LAID,
            "smsc-password = %s" % SMSC_PASSWORD,
            "window = 96",
            "",
            "group = smsbox",
            "bearerbox-host = 127.0.0.1",
            "sendsms-port = %d" % self.sendsms_port,
            "sendsms-interface = 127.0.0.1",
            "global-sender = %s" % LAID,
            "log-file = %s" % path("smsbox.log"),
            "log-level = 2",
            "",
            "group = sendsms-user",
            "username = %s" % KANNEL_USER,
            "password = %s" % KANNEL_PASSWORD,
            "",
        ])

    def _start(self, program, name):
        err = open(os.path.join(self.workdir, name + ".err"), "wb")
        process = subprocess.Popen(self._drop + [program, "-v", "2", self.conf_path], stdin=subprocess.DEVNULL,
                                   stdout=err, stderr=err, cwd=self.workdir, start_new_session=True)
        err.close()
        self.processes.append(process)
        return process

    def _wait_port(self, port, what, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for process in self.processes:
                if process.poll() is not None:
                    raise RuntimeError("%s ended (%d) before %s listened: %s" % (
                        process.args[-3], process.returncode, what, self.errors()))
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("%s did not listen within %d s: %s" % (what, timeout, self.errors()))

    def errors(self):
        out = []
        for name in ("bearerbox.err", "smsbox.err", "bearerbox.log", "smsbox.log"):
            try:
                with open(os.path.join(self.workdir, name), encoding="latin-1") as f:
                    out.append("%s: %s" % (name, f.read()[-2000:]))
            except OSError:
                pass
        return "\n".join(out)

    def send(self, to, text):
        """One sendsms request; its status and answer."""
        query = urllib.parse.urlencode({"username": KANNEL_USER, "password": KANNEL_PASSWORD, "to": to, "text": text})
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/cgi-bin/sendsms?%s" % (self.sendsms_port, query),
                                        timeout=10) as answer:
                return answer.status, answer.read().decode("latin-1")
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode("latin-1")

    def cpu_seconds(self):
        return sum(sum(benchlib.cpu_seconds(p.pid)) for p in self.processes)

    def stop(self):
        import kst
        import shutil
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                kst.wait_or_kill(process, 20)
        if not os.environ.get("KST_KEEP_SANDBOX"):
            shutil.rmtree(self.workdir, ignore_errors=True)


def wrk(script, url, seconds, env):
    environment = dict(os.environ)
    environment.update(env)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), script)
    done = subprocess.run(["wrk", "-t4", "-c4", "-d%ds" % seconds, "--timeout", "10s", "-s", script, url],
                          capture_output=True, text=True, env=environment, timeout=seconds + 60)
    match = re.search(r"^RESULT (.*)$", done.stdout, re.M)
    if done.returncode != 0 or not match:
        raise RuntimeError("wrk failed (%d): %s%s" % (done.returncode, done.stdout, done.stderr))
    return benchlib.parse_pairs(match.group(1))


def load_ours(args, port):
    if args.client == "wrk":
        return wrk("http_post.lua", "http://127.0.0.1:%d/v1/messages" % port, args.seconds, {"KST_API_KEY": KEY})
    return benchlib.httpload(args.build, port, args.seconds, "POST", "/v1/messages",
                    body='{"to": "+420{to}", "text": "benchmark message {n}"}',
                    headers=("Authorization: Bearer " + KEY, "Content-Type: application/json"))


def load_kannel(args, port):
    if args.client == "wrk":
        return wrk("kannel_sendsms.lua", "http://127.0.0.1:%d/cgi-bin/sendsms" % port, args.seconds,
                   {"KANNEL_USER": KANNEL_USER, "KANNEL_PASSWORD": KANNEL_PASSWORD})
    return benchlib.httpload(args.build, port, args.seconds, "GET",
                    "/cgi-bin/sendsms?username=%s&password=%s&to=%%2B420{to}&text=benchmark+message+{n}" % (
                        KANNEL_USER, KANNEL_PASSWORD))


def machine_ticks():
    """(busy, total) clock ticks of all processors since boot."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


def measure(name, sim, load, cpu, drain):
    """Runs `load` (returns wrk's result) and counts the simulator's
    submissions: by the end of the load, and after waiting for the rest."""
    before = sim.counts()["submits"]
    frames_before = len(sim.submissions())
    cpu_before = cpu()
    sim_before = sum(benchlib.cpu_seconds(sim.process.pid))
    ticks_before = machine_ticks()
    result = load()
    ticks_after = machine_ticks()
    during = sim.counts()["submits"] - before
    cpu_used = cpu() - cpu_before
    sim_used = sum(benchlib.cpu_seconds(sim.process.pid)) - sim_before
    busy = 100.0 * (ticks_after[0] - ticks_before[0]) / max(1, ticks_after[1] - ticks_before[1])
    accepted = result["requests"] - result.get("not_accepted", result.get("errors_status", 0))
    deadline = time.monotonic() + drain
    while sim.counts()["submits"] - before < accepted and time.monotonic() < deadline:
        time.sleep(0.2)
    total = sim.counts()["submits"] - before
    # Every request has a text of its own: one seen twice was submitted twice.
    texts = [frame.get("text", "") for frame in sim.submissions()[frames_before:]]
    duplicates = len(texts) - len(set(texts))
    result.update(name=name, accepted=accepted, rate=accepted / result["seconds"], at_smsc_during=during,
                  at_smsc_total=total, duplicates=duplicates, busy=busy,
                  cpu_us=1e6 * cpu_used / max(1, result["requests"]))
    print("  %-8s %6d accepted/s (%d of %d requests answered 202, %d socket errors), p50 %.2f ms, p99 %.2f ms" % (
        name, result["rate"], accepted, result["requests"], result.get("errors_socket", 0),
        result["p50_us"] / 1000.0, result["p99_us"] / 1000.0))
    print("           at the simulator by the end %d (%.0f/s), after %s %d (%d twice)" % (
        during, during / result["seconds"], "waiting" if total >= accepted else "%d s more" % drain, total,
        duplicates))
    print("           CPU per request: server %.0f us, simulator %.0f us; machine %.0f%% busy, load %s" % (
        result["cpu_us"], 1e6 * sim_used / max(1, result["requests"]), busy,
        benchlib.machine().split("load(1,5,15 min)=")[1]), flush=True)
    return result


def main():
    args = benchlib.parse_args(__doc__, options)
    if args.store == "memory":
        raise SystemExit("the HTTP interface needs the SQLite store")
    for program in (BEARERBOX, SMSBOX):
        if not os.access(program, os.X_OK):
            raise SystemExit("%s is missing: scripts/install-deps --bench installs Kannel" % program)

    import kst
    from smscsim import SmscSim
    benchlib.header("HTTP submissions: Kestrova and Kannel")
    print("kannel %s (file store); kstd with the SQLite store, sync %s" % (kannel_version(), args.store))

    ours_sim = SmscSim(password=SMSC_PASSWORD)
    rival_sim = SmscSim(password=SMSC_PASSWORD)
    port = kst.free_port()
    daemon = kannel = None
    try:
        def ini(sandbox):
            section, _ = kst.http_section(sandbox, keys=(KEY,), port=port)
            return benchlib.emi_ini(ours_sim.ucp_port, SMSC_PASSWORD)(sandbox) + benchlib.store_section(args.store) + \
                "[Limits]\nMaxQueued = 100000000\n" + section

        daemon = benchlib.Daemon("bench-kannel", ini)
        kannel = Kannel(rival_sim.ucp_port)

        # One message through each proves both connected before the clock
        # starts.
        status, answer = kannel.send("+420600000000", "warm")
        if status != 202:
            raise RuntimeError("Kannel answered %d %r to the first message: %s" % (status, answer, kannel.errors()))
        print("kannel's answer: %d %r" % (status, answer.strip()))
        rival_sim.wait_for(lambda: rival_sim.counts()["submits"] >= 1, 60, what="Kannel's first submission")
        import http.client
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("POST", "/v1/messages", body='{"to": "+420600000000", "text": "warm"}',
                           headers={"Authorization": "Bearer " + KEY, "Content-Type": "application/json"})
        if connection.getresponse().status != 202:
            raise RuntimeError("kstd did not accept the first message")
        connection.close()
        ours_sim.wait_for(lambda: ours_sim.counts()["submits"] >= 1, 60, what="kstd's first submission")

        ours, rival = [], []
        for run in range(args.repeat):
            print("run %d (machine: %s)" % (run + 1, benchlib.machine()), flush=True)
            ours.append(measure("kestrova", ours_sim, lambda: load_ours(args, port),
                                lambda: sum(benchlib.cpu_seconds(daemon.pid)), args.drain))
            rival.append(measure("kannel", rival_sim, lambda: load_kannel(args, kannel.sendsms_port),
                                 kannel.cpu_seconds, args.drain))

        ours_rate = statistics.median(r["rate"] for r in ours)
        rival_rate = statistics.median(r["rate"] for r in rival)
        print()
        print("Kestrova POST /v1/messages, 4 keep-alive connections: %d accepted/s (median of %d)" % (ours_rate, len(ours)))
        print("Kannel sendsms, 4 keep-alive connections: %d accepted/s (median of %d)" % (rival_rate, len(rival)))
        print("ratio: %.2f (target >= 2.5)" % (ours_rate / rival_rate if rival_rate else float("inf")))
        for name, results in (("Kestrova", ours), ("Kannel", rival)):
            print("%s: at the simulator while the load ran %d/s (median); %d accepted in all, %d submitted "
                  "(%d twice), server CPU %.0f us per request (median)" % (
                      name, statistics.median(r["at_smsc_during"] / r["seconds"] for r in results),
                      sum(r["accepted"] for r in results), sum(r["at_smsc_total"] for r in results),
                      sum(r["duplicates"] for r in results),
                      statistics.median(r["cpu_us"] for r in results)))
        ours_sim.assert_no_violations()
        rival_sim.assert_no_violations()
        print("machine after: %s" % benchlib.machine())
    finally:
        if kannel:
            kannel.stop()
        if daemon:
            daemon.stop()
        ours_sim.cleanup()
        rival_sim.cleanup()


if __name__ == "__main__":
    main()
