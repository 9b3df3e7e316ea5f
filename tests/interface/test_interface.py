"""The remote interface of the real kstd: reached through the IOR file by
kstsend (omniORB) and by Combat, a pure-Tcl ORB; the IOR file itself, a name
taken by somebody else and the files clients refuse; a server that never
answers; the ORB's settings and thousands of idle clients; and the orderly
stop on signals."""

import os
import re
import resource
import signal
import socket
import stat
import subprocess
import time

import kst
from kst import SandboxTestCase, SilentServer, basic_ini, binary, ior_endpoint, log_records, stats_of, wait_until
from smscsim import SmscSim

HERE = os.path.dirname(os.path.abspath(__file__))
# An SMSC nobody serves: the daemon runs, nothing is sent, the queue keeps
# what the tests put in.
EMI_NOWHERE = {"Address": "127.0.0.1", "Port": "1"}


class DaemonTestCase(SandboxTestCase):
    def start(self, ini=None, args=("-d",), env=None):
        self.sandbox.write_ini(ini or basic_ini(self.sandbox, emi=EMI_NOWHERE))
        self.kstd = self.sandbox.start_kstd(args, env=env)
        self.kstd.wait_output(r"Starting ORB")
        self.sandbox.wait_ior()
        return self.kstd

    def start_with_smsc(self, sim):
        """Starts the daemon with its SMSC sender at the simulator `sim`,
        reconnecting every half second."""
        emi = {"Address": "127.0.0.1", "Port": str(sim.ucp_port), "WindowSize": "10", "Throughput": "100"}
        return self.start(ini=basic_ini(self.sandbox, emi=emi), env={"KSTD_TEST_MANAGER_CYCLE_MS": "500"})

    def wait_accepted(self, count):
        """The lines of the access records of accepted messages, once there
        are `count` of them."""
        def accepted():
            records = [lines for _, lines in log_records(self.sandbox.read_log("access.log"))
                       if lines[0] == "Send SMS requested"]
            return records if len(records) >= count else None
        return wait_until(accepted, 20, what="%d access records" % count)

    def kstsend(self, *args, input=None):
        return self.sandbox.run_inside([binary("kstsend")] + list(args), input=input)

    def stats(self):
        result = self.kstsend("--stats")
        self.assertEqual(result.returncode, 0, result.stderr)
        return stats_of(result.stdout.decode())


class Interface(DaemonTestCase):
    def test_kstsend_queues_parts_for_every_number(self):
        # The SMSC refuses the login until the queue has been counted; then
        # the parts go out in the order they were queued.
        with SmscSim() as sim:
            sim.set_mode(login="nack")
            self.start_with_smsc(sim)
            text = "".join(chr(ord("a") + i % 26) for i in range(161))
            result = self.kstsend("-r", "192.0.2.5", "-m", "ops@example.org", "-f", "601,,602", text)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(self.stats()["queued"], "4")
            self.assertEqual(sim.submissions(), [])

            sim.set_mode(login="ack")
            sim.wait_for(lambda: len(sim.submissions()) >= 4, 30, what="the four parts")
            first, second = "1/2 " + text[:156], "2/2 " + text[156:]
            self.assertEqual([(s["AdC"], s["text"], s["NRq"]) for s in sim.submissions()],
                             [("00420601", first, "1"), ("00420601", second, "1"), ("00420602", first, "1"),
                              ("00420602", second, "1")])
            accepted = self.wait_accepted(4)
            self.assertEqual([(r[2], r[3]) for r in accepted],
                             [("Destination Address: 601", "User Data: " + first),
                              ("Destination Address: 601", "User Data: " + second),
                              ("Destination Address: 602", "User Data: " + first),
                              ("Destination Address: 602", "User Data: " + second)])
            for record in accepted:
                self.assertEqual((record[1], record[4], record[5]),
                                 ("IP Address: 192.0.2.5", "Notification e-mail: ops@example.org", "OnDisplay: Yes"))
            self.assertEqual(self.kstd.stop(), 0)

    def test_kstsend_reads_the_text_from_standard_input(self):
        with SmscSim() as sim:
            self.start_with_smsc(sim)
            result = self.kstsend("700", input=b"first line\nsecond line\n")
            self.assertEqual(result.returncode, 0, result.stderr)
            sim.wait_for(lambda: sim.submissions(), 30, what="the submission")
            self.assertEqual([s["text"] for s in sim.submissions()], ["first line\nsecond line"])
            self.assertEqual(self.kstd.stop(), 0)

    def test_combat_calls_every_operation(self):
        # The SMSC refuses the login until the statistics have been read.
        with SmscSim() as sim:
            sim.set_mode(login="nack")
            self.start_with_smsc(sim)
            # Tcl reads its arguments in the C locale's encoding, ISO-8859-1:
            # the Czech letters go as ISO-8859-2 bytes.
            result = subprocess.run(["tclsh", os.path.join(HERE, "combat_client.tcl"), self.sandbox.ior_path,
                                     "111,222", b"P\xf8\xedli\xb9", "198.51.100.1", "1", "a@example.org"],
                                    capture_output=True, timeout=60, env=dict(os.environ, LC_ALL="C"))
            self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
            fields = dict(line.split(": ", 1) for line in result.stdout.decode().splitlines())
            self.assertEqual(fields["version"], "0.18.0")
            self.assertEqual(fields["SendSms"], "2")  # messages queued
            self.assertEqual(fields["getStats"], "0")
            self.assertEqual(fields["smsQueLength"], "2")
            self.assertEqual(fields["smsSent"], "0")
            self.assertEqual(fields["numberOfSenders"], "1")
            self.assertEqual(fields["deviceName1"], "Sender thread(EMI)")
            self.assertEqual(fields["deviceStatus1"], "0")
            self.assertEqual(fields["deviceName2"], "no device")
            self.assertEqual(fields["deviceStatus2"], "-1")
            self.assertLessEqual(abs(int(fields["serverCurrentTime"]) - time.time()), 5)
            self.kstd.wait_output(r"CORBA if: KeepAlive")

            # Sent without the accents, from the client's address.
            sim.set_mode(login="ack")
            sim.wait_for(lambda: len(sim.submissions()) >= 2, 30, what="the two messages")
            self.assertEqual([s["text"] for s in sim.submissions()], ["Prilis", "Prilis"])
            accepted = self.wait_accepted(2)
            self.assertEqual([r[1:4] for r in accepted],
                             [["IP Address: 198.51.100.1", "Destination Address: 111", "User Data: Prilis"],
                              ["IP Address: 198.51.100.1", "Destination Address: 222", "User Data: Prilis"]])
            self.assertEqual(self.kstd.stop(), 0)

    def test_ior_file_holds_exactly_the_reference(self):
        self.start()
        data = self.sandbox.wait_ior()
        self.assertRegex(data, rb"^IOR:[0-9a-f]+$")
        self.assertEqual(os.stat(self.sandbox.ior_path).st_mode & 0o777, 0o644)
        logged = wait_until(lambda: [t for t in self.sandbox.syslog.texts() if t.startswith("IOR:")], 5,
                            what="the reference in syslog")
        self.assertEqual(data.decode(), logged[0])
        self.assertEqual(self.kstd.stop(), 0)
        self.assertFalse(os.path.exists(self.sandbox.ior_path))

    def test_kstsend_reports_a_missing_or_stale_daemon(self):
        self.start()
        with open(self.sandbox.ior_path, "rb") as f:
            ior = f.read()
        self.kstd.stop()
        stale = os.path.join(self.sandbox.root, "stale.ior")
        with open(stale, "wb") as f:
            f.write(ior)
        result = subprocess.run([binary("kstsend"), "-i", stale, "1", "x"], capture_output=True,
                                env=dict(os.environ, **kst.ORB_ENV), timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"kstsend: cannot reach kstd", result.stderr)
        result = subprocess.run([binary("kstsend"), "-i", stale + ".missing", "--stats"],
                                capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"cannot read the IOR file", result.stderr)

    def test_large_inputs(self):
        self.start()
        text = "".join(chr(c) for c in range(1, 256)) * 400  # about 100 kB, every byte value
        numbers = ",".join(str(600000000 + i) for i in range(1000))  # the default limit
        self.assertEqual(self.kstsend("1", text.encode("latin-1")).returncode, 0)
        result = self.kstsend(numbers, "hello")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, b"queued 1000 messages for %s\n" % numbers.encode())
        self.assertEqual(self.stats()["queued"], str(5 + 1000))
        self.assertTrue(self.kstd.running())

    def test_limits_refuse_a_request_whole(self):
        limits = "[Limits]\nMaxDestinations = 3\nMaxQueued = 5\n"
        self.start(ini=basic_ini(self.sandbox, emi=EMI_NOWHERE) + limits)
        two_parts = "x" * 200
        result = self.kstsend("601,602,603,604", "hi")
        self.assertEqual(result.returncode, 3)
        self.assertEqual(result.stderr, b"kstsend: refused: too many numbers in one request; nothing was queued\n")
        self.assertEqual(self.stats()["queued"], "0")
        result = self.kstsend("601,602", two_parts)
        self.assertEqual((result.returncode, result.stdout), (0, b"queued 4 messages for 601,602\n"))
        result = self.kstsend("603", two_parts)
        self.assertEqual(result.returncode, 3)
        self.assertEqual(result.stderr, b"kstsend: refused: the daemon's send queue is full; nothing was queued\n")
        self.assertEqual(self.stats()["queued"], "4")
        self.assertEqual(self.kstsend("603", "hi").returncode, 0)
        self.assertEqual(self.stats()["queued"], "5")
        records = [lines for kind, lines in log_records(self.sandbox.read_log("error.log")) if kind == "ERROR"]
        self.assertEqual(records, [
            ["SMS refused: too many destinations", "IP Address: 127.0.0.1",
             "Reason: 4 destinations, at most 3 in one request (Limits/MaxDestinations)"],
            ["SMS refused: send queue full", "IP Address: 127.0.0.1",
             "Reason: the queue holds 4 messages; 2 more would pass the limit of 5 (Limits/MaxQueued)"]])


class Stopping(DaemonTestCase):
    def test_two_terms_stop_once(self):
        self.start()
        self.kstd.signal(signal.SIGTERM)
        self.kstd.signal(signal.SIGTERM)
        self.assertEqual(self.kstd.wait(30), 0)
        log = self.sandbox.read_log("error.log")
        self.assertEqual(log.count("SMS Service v0.18.0 stopping"), 1)
        self.assertEqual(log.count("exit code 0"), 1)

    def test_interrupt_in_debug_mode(self):
        self.start()
        self.kstd.signal(signal.SIGINT)
        self.assertEqual(self.kstd.wait(30), 0)
        out = self.kstd.stdout()
        self.assertIn("signal handler: Caught signal 2, exiting.", out)
        order = [r"kstd is shuting down", r"waiting for Shutdowner\.\.\.", r"Shutdowner joined\.",
                 r"Emailer joined\.", r"SMS processor joined\.", r"cleanup: start", r"cleanup: finish"]
        positions = [re.search(r"\d+: " + line + r"\n", out).start() for line in order]
        self.assertEqual(positions, sorted(positions))
        self.assertFalse(os.path.exists(self.sandbox.ior_path))
        self.assertRegex(self.sandbox.read_log("error.log"),
                         r"INFO     - SMS Service v0\.18\.0 stopped\n {35}exit code 0\n$")

    def test_daemon_mode_stops_on_term(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_NOWHERE))
        starter = self.sandbox.start_kstd(args=())
        self.assertEqual(starter.wait(30), 0)
        pid = self.sandbox.daemon_pid()
        self.sandbox.wait_ior()
        os.kill(pid, signal.SIGTERM)
        wait_until(lambda: not os.path.exists(self.sandbox.ior_path), 30, what="the IOR file to go")
        wait_until(lambda: "exit code 0" in self.sandbox.read_log("error.log"), 30, what="the stop record")

    def test_unwritable_ior_directory_waits_for_a_signal(self):
        # An immutable /tmp: the file beside the IOR file cannot be created.
        tmp = os.path.dirname(self.sandbox.ior_path)
        if subprocess.run(["chattr", "+i", tmp], capture_output=True).returncode != 0:
            self.skipTest("the build tree's file system has no immutable flag")
        self.addCleanup(subprocess.run, ["chattr", "-i", tmp], capture_output=True)
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_NOWHERE))
        kstd = self.sandbox.start_kstd()
        kstd.wait_output(r"Starting SMS processing thread")
        record = (r"INFO     - Cannot create file with IOR: cannot create a file next to '/tmp/kstd\.ior': "
                  r"Operation not permitted\n")
        wait_until(lambda: re.search(record, self.sandbox.read_log("error.log")), 15, what="the IOR error record")
        time.sleep(1)
        self.assertTrue(kstd.running(), "the daemon waits for a signal")
        kstd.signal(signal.SIGTERM)
        self.assertEqual(kstd.wait(30), 1)
        self.assertRegex(self.sandbox.read_log("error.log"),
                         r"INFO     - SMS Service v0\.18\.0 stopped\n {35}exit code 1\n$")
        self.assertNotIn("Starting ORB", kstd.stdout())
        self.assertEqual(os.listdir(tmp), [])

    def test_second_daemon_is_refused_while_the_first_runs(self):
        self.start()
        second = self.sandbox.start_inside([binary("kstd"), "-d"], tag="second")
        self.assertEqual(second.wait(30), 1)
        self.assertIn("Cannot lock pidfile: ", second.stderr())
        self.assertTrue(self.kstd.running())
        self.assertEqual(self.kstd.stop(), 0)


# Another user of the machine.
NOBODY = 65534


def snapshot(path):
    """What a test must find unchanged at `path`: kind, owner, mode, inode
    and, for a regular file, the content."""
    st = os.lstat(path)
    content = None
    if stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            content = f.read()
    elif stat.S_ISLNK(st.st_mode):
        content = os.readlink(path)
    return (stat.S_IFMT(st.st_mode), st.st_uid, stat.S_IMODE(st.st_mode), st.st_ino, content)


class IorFilePlace(DaemonTestCase):
    """What the daemon does with the name /tmp/kstd.ior when it is taken."""

    def make_victim(self):
        victim = os.path.join(self.sandbox.root, "victim")
        with open(victim, "w") as f:
            f.write("root's own file\n")
        os.chmod(victim, 0o600)
        return victim

    def test_name_taken_by_a_link_fifo_directory_or_another_user_is_refused(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_NOWHERE))
        victim = self.make_victim()
        victim_before = snapshot(victim)
        path = self.sandbox.ior_path

        def symlink():
            os.symlink(victim, path)
            os.lchown(path, NOBODY, NOBODY)

        def fifo():
            os.mkfifo(path, 0o666)
            os.chown(path, NOBODY, NOBODY)

        def foreign_file():
            with open(path, "w") as f:
                f.write("IOR:0123")
            os.chown(path, NOBODY, NOBODY)
            os.chmod(path, 0o666)

        cases = [("a symbolic link", "nobody", symlink), ("a FIFO", "nobody", fifo),
                 ("a directory", "root", lambda: os.mkdir(path)),
                 ("a regular file", "nobody", foreign_file)]
        for kind, owner, make in cases:
            with self.subTest(kind):
                make()
                before = snapshot(path)
                kstd = self.sandbox.run_kstd(timeout=30)
                self.assertEqual(kstd.popen.returncode, 1)
                text = ("Cannot create file with IOR: '/tmp/kstd.ior' is %s owned by %s (uid %d), "
                        "not a regular file of root (uid 0); refusing to start"
                        % (kind, owner, 0 if owner == "root" else NOBODY))
                self.assertIn(text + "\n", kstd.stderr())
                self.assertRegex(self.sandbox.read_log("error.log"), r"INFO     - " + re.escape(text) + "\n")
                self.assertNotIn("Starting SMS sender thread", kstd.stdout(), "refused before any thread")
                self.assertEqual(snapshot(path), before, "the name is left as it was")
                self.assertEqual(snapshot(victim), victim_before)
                self.assertEqual(sorted(os.listdir(os.path.dirname(path))), ["kstd.ior"], "nothing left beside")
                if os.path.isdir(path) and not os.path.islink(path):
                    os.rmdir(path)
                else:
                    os.unlink(path)
                os.unlink(self.sandbox.log_path("error.log"))

    def test_own_stale_file_is_replaced_and_only_the_own_file_removed(self):
        # A stale file of root's that is a hard link to another file, and
        # world-writable: a new file takes its name, the other keeps its text.
        victim = self.make_victim()
        os.link(victim, self.sandbox.ior_path)
        os.chmod(self.sandbox.ior_path, 0o666)
        self.start()
        data = self.sandbox.wait_ior()
        self.assertRegex(data, rb"^IOR:[0-9a-f]+$")
        st = os.stat(self.sandbox.ior_path)
        self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid, st.st_nlink), (0o644, 0, 1))
        with open(victim) as f:
            self.assertEqual(f.read(), "root's own file\n")
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.sandbox.ior_path))), ["kstd.ior"])
        self.assertEqual(self.kstsend("--stats").returncode, 0)
        # Another daemon's file put in its place later is not removed at exit.
        other = self.sandbox.ior_path + ".other"
        with open(other, "w") as f:
            f.write("IOR:00")
        os.rename(other, self.sandbox.ior_path)
        self.assertEqual(self.kstd.stop(), 0)
        with open(self.sandbox.ior_path) as f:
            self.assertEqual(f.read(), "IOR:00")


class ClientsCheckTheIorFile(DaemonTestCase):
    def test_kstsend_uses_only_a_private_regular_file(self):
        self.start()
        with open(self.sandbox.ior_path) as f:
            ior = f.read()
        scratch = os.path.join(self.sandbox.root, "iors")
        os.mkdir(scratch)

        def regular(name, owner, mode):
            path = os.path.join(scratch, name)
            with open(path, "w") as f:
                f.write(ior)
            os.chown(path, owner, owner)
            os.chmod(path, mode)
            return path

        good = regular("good", 0, 0o644)
        link = os.path.join(scratch, "link")
        os.symlink(good, link)
        fifo = os.path.join(scratch, "fifo")
        os.mkfifo(fifo, 0o644)
        cases = [(link, "it is a symbolic link"),
                 (fifo, "it is a FIFO, not a regular file"),
                 (regular("foreign", NOBODY, 0o644),
                  "it is owned by nobody (uid %d), neither root nor the user of this program" % NOBODY),
                 (regular("group", 0, 0o664), "it is writable by others than its owner (mode 0664)"),
                 (regular("world", 0, 0o646), "it is writable by others than its owner (mode 0646)")]
        for path, reason in cases:
            with self.subTest(reason):
                result = self.kstsend("-i", path, "--stats")
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.decode(),
                                 "kstsend: the IOR file '%s' is not used: %s\n" % (path, reason))
        result = self.kstsend("-i", good, "--stats")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_kstsend_gives_up_on_a_server_that_never_answers(self):
        ior_file = os.path.join(self.sandbox.root, "silent.ior")
        with SilentServer() as server:
            with open(ior_file, "w") as f:
                f.write(server.ior())
            for args in (["1", "hello"], ["--stats"]):
                with self.subTest(args=args):
                    result = subprocess.run([binary("kstsend"), "-i", ior_file] + args, capture_output=True,
                                            env=dict(os.environ, **kst.ORB_ENV), timeout=60)
                    self.assertEqual(result.returncode, 1)
                    self.assertEqual(result.stderr.decode(),
                                     "kstsend: kstd did not answer within the call time-out (10 s by default)\n")
            self.assertGreaterEqual(server.accepted, 1, "the connection was made")


class ManyClients(DaemonTestCase):
    CONNECTIONS = 2000

    def test_idle_connections_starve_nothing(self):
        # The daemon starts with the usual soft limit of 1024 descriptors and
        # a higher hard limit; an SMSC delivers a message while the idle
        # connections are open, so its receive record needs a descriptor too.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        needed = self.CONNECTIONS + 200
        if hard != resource.RLIM_INFINITY and hard < needed:
            self.skipTest("the hard descriptor limit %d is below %d" % (hard, needed))
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, needed), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        with SmscSim() as sim:
            self.sandbox.write_ini(basic_ini(self.sandbox, emi={
                "Address": "127.0.0.1", "Port": str(sim.ucp_port), "WindowSize": "10", "Throughput": "100"}))
            self.kstd = self.sandbox.start_kstd(env={"KSTD_TEST_MANAGER_CYCLE_MS": "500"},
                                                wrapper=["prlimit", "--nofile=1024:8192", "--"])
            ior = self.sandbox.wait_ior().decode()
            pid = self.kstd.pid
            with open("/proc/%d/limits" % pid) as f:
                self.assertRegex(f.read(), r"Max open files\s+8192\s+8192")
            wait_until(lambda: self.stats()["device 1"] == "Sender thread(EMI): used for sending", 30,
                       interval=0.2, what="the SMSC sender in use")

            clients = []
            self.addCleanup(lambda: [c.close() for c in clients])
            for _ in range(self.CONNECTIONS):
                clients.append(socket.create_connection(ior_endpoint(ior), timeout=10))
            wait_until(lambda: len(os.listdir("/proc/%d/fd" % pid)) > self.CONNECTIONS, 30,
                       what="the daemon to hold every connection")

            result = self.kstsend("+420777000111", "through the crowd")
            self.assertEqual(result.returncode, 0, result.stderr)
            sim.wait_for(lambda: sim.submissions(), 20, what="the submission")
            self.assertEqual(sim.submissions()[0]["text"], "through the crowd")
            sim.inject_52("777111222", "4209000", "incoming")
            wait_until(lambda: "incoming" in self.sandbox.read_log("receive.log"), 20,
                       what="the receive record")
            self.assertEqual(self.stats()["received"], "1")
            with open("/proc/%d/status" % pid) as f:
                threads = int(re.search(r"^Threads:\s+(\d+)$", f.read(), re.M).group(1))
            self.assertLess(threads, 200, "a pool of threads, not one per connection")
            self.assertTrue(all(c.fileno() >= 0 for c in clients))
            self.assertEqual(self.kstd.stop(), 0)


class OrbSettings(DaemonTestCase):
    def dumped(self, env, config=None):
        """The ORB's settings as the daemon starts with `env` (and a
        configuration file with the line `config`)."""
        env = dict(env, ORBdumpConfiguration="1")
        if config is not None:
            path = os.path.join(self.sandbox.root, "omniORB.cfg")
            with open(path, "w") as f:
                f.write("# the operator's\n%s\n" % config)
            env["OMNIORB_CONFIG"] = path
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_NOWHERE))
        kstd = self.sandbox.start_kstd(env=env)
        kstd.wait_output(r"Starting ORB")
        self.sandbox.wait_ior()
        settings = dict(re.findall(r"^omniORB:\s+(\w+) = (.*)$", kstd.stderr(), re.M))
        return kstd, settings

    def test_defaults_yield_to_the_operator_and_idle_connections_close(self):
        kstd, settings = self.dumped({})
        self.assertEqual((settings["threadPerConnectionPolicy"], settings["inConScanPeriod"],
                          settings["serverCallTimeOutPeriod"]), ("0", "30", "10000"))
        self.assertEqual(kstd.stop(), 0)

        kstd, settings = self.dumped({}, config="threadPerConnectionPolicy = 1")
        self.assertEqual((settings["threadPerConnectionPolicy"], settings["inConScanPeriod"]), ("1", "30"))
        self.assertEqual(kstd.stop(), 0)

        # Idle connections are closed once the scan period has passed.
        kstd, settings = self.dumped({"ORBinConScanPeriod": "1", "ORBscanGranularity": "1"})
        self.assertEqual(settings["inConScanPeriod"], "1")
        endpoint = ior_endpoint(self.sandbox.wait_ior().decode())
        clients = [socket.create_connection(endpoint, timeout=30) for _ in range(20)]
        try:
            for client in clients:
                # The ORB says goodbye (a GIOP CloseConnection) and closes.
                goodbye = b""
                while True:
                    data = client.recv(64)
                    if not data:
                        break
                    goodbye += data
                self.assertEqual(goodbye[:4] + goodbye[7:8], b"GIOP\x05")
        finally:
            for client in clients:
                client.close()
        self.assertEqual(self.stats()["queued"], "0")
        self.assertEqual(kstd.stop(), 0)

    def test_transport_rules_decide_who_may_connect(self):
        # The rules README shows: the local machine and listed addresses.
        rules = ("serverTransportRule = localhost unix,tcp\n"
                 "serverTransportRule = 198.51.100.0/255.255.255.0 tcp\n"
                 "serverTransportRule = * none")
        kstd, _ = self.dumped({}, config=rules)
        self.assertEqual(self.kstsend("--stats").returncode, 0)
        self.assertEqual(kstd.stop(), 0)
        kstd, _ = self.dumped({}, config="serverTransportRule = 198.51.100.7 tcp\nserverTransportRule = * none")
        refused = self.kstsend("--stats")
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(refused.stderr, b"kstsend: the connection to kstd failed\n")
        self.assertEqual(kstd.stop(), 0)


if __name__ == "__main__":
    kst.main()
