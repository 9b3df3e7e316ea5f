"""The remote interface of the real kstd: reached through the IOR file by
kstsend (omniORB) and by Combat, a pure-Tcl ORB; the IOR file itself; and
the orderly stop on signals."""

import os
import re
import signal
import subprocess
import time

import kst
from kst import SandboxTestCase, basic_ini, binary, log_records, stats_of, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
# An SMSC nobody serves: the daemon runs, nothing is sent, the queue keeps
# what the tests put in.
EMI_NOWHERE = {"Address": "127.0.0.1", "Port": "1"}


class DaemonTestCase(SandboxTestCase):
    def start(self, ini=None, args=("-d",)):
        self.sandbox.write_ini(ini or basic_ini(self.sandbox, emi=EMI_NOWHERE))
        self.kstd = self.sandbox.start_kstd(args)
        self.kstd.wait_output(r"Starting ORB")
        self.sandbox.wait_ior()
        return self.kstd

    def kstsend(self, *args, input=None):
        return self.sandbox.run_inside([binary("kstsend")] + list(args), input=input)

    def stats(self):
        result = self.kstsend("--stats")
        self.assertEqual(result.returncode, 0, result.stderr)
        return stats_of(result.stdout.decode())


class Interface(DaemonTestCase):
    def test_kstsend_queues_parts_for_every_number(self):
        self.start()
        text = "".join(chr(ord("a") + i % 26) for i in range(161))
        result = self.kstsend("-r", "192.0.2.5", "-m", "ops@example.org", "-f", "601,,602", text)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.stats()["queued"], "4")
        out = self.kstd.wait_output(r"Target\[2\]: 602\tposition in the que: 4\n")
        out = self.kstd.stdout()
        self.assertRegex(out, r"\d+: CORBA if: SendSms\( da: '601,,602', ud: '%s', ra: '192.0.2.5', "
                              r"displ: TRUE, mail: 'ops@example.org' \)\n" % text)
        self.assertRegex(out, r"\d+: CORBA if: User data ascii length: 161\n")
        self.assertRegex(out, r"\d+: CORBA if: Target\[1\]: 601\tposition in the que: 2\n")
        self.assertIn("appendSms( 601, , 1/2 %s, 192.0.2.5 )" % text[:156], out)
        self.assertIn("appendSms( 602, , 2/2 %s, 192.0.2.5 )" % text[156:], out)

    def test_kstsend_reads_the_text_from_standard_input(self):
        self.start()
        result = self.kstsend("700", input=b"first line\nsecond line\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.kstd.wait_output(r"ud: 'first line\nsecond line', ")

    def test_combat_calls_every_operation(self):
        self.start()
        # Tcl reads its arguments in the C locale's encoding, ISO-8859-1: the
        # Czech letters go as ISO-8859-2 bytes.
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
        self.kstd.wait_output(r"Target\[2\]: 222")
        self.assertIn("appendSms( 111, , Prilis, 198.51.100.1 )", self.kstd.stdout())

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
        self.assertNotIn("appendSms( 603, , 1/2", self.kstd.stdout())


class Stopping(DaemonTestCase):
    def test_two_terms_stop_once(self):
        self.start()
        self.kstd.signal(signal.SIGTERM)
        self.kstd.signal(signal.SIGTERM)
        self.assertEqual(self.kstd.wait(30), 0)
        log = self.sandbox.read_log("error.log")
        self.assertEqual(log.count("SMS Service v0.18.0 stopping"), 1)
        self.assertEqual(log.count("exit code 0"), 1)
        self.assertEqual(self.kstd.stdout().count("signal handler: Caught signal 15, exiting."), 1)

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

    def test_unwritable_ior_file_waits_for_a_signal(self):
        os.mkdir(self.sandbox.ior_path)  # a directory cannot be opened for writing
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_NOWHERE))
        kstd = self.sandbox.start_kstd()
        kstd.wait_output(r"Starting SMS processing thread")
        wait_until(lambda: "Cannot create file with IOR" in self.sandbox.read_log("error.log"), 15,
                   what="the IOR error record")
        self.assertRegex(self.sandbox.read_log("error.log"),
                         r"INFO     - Cannot create file with IOR: Is a directory\n")
        time.sleep(1)
        self.assertTrue(kstd.running(), "the daemon waits for a signal")
        kstd.signal(signal.SIGTERM)
        self.assertEqual(kstd.wait(30), 1)
        self.assertRegex(self.sandbox.read_log("error.log"),
                         r"INFO     - SMS Service v0\.18\.0 stopped\n {35}exit code 1\n$")
        self.assertNotIn("Starting ORB", kstd.stdout())

    def test_second_daemon_is_refused_while_the_first_runs(self):
        self.start()
        second = self.sandbox.start_inside([binary("kstd"), "-d"], tag="second")
        self.assertEqual(second.wait(30), 1)
        self.assertIn("Cannot lock pidfile: ", second.stderr())
        self.assertTrue(self.kstd.running())
        self.assertEqual(self.kstd.stop(), 0)


if __name__ == "__main__":
    kst.main()
