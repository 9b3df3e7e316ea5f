"""kstmon against the real kstd: the page from a serving daemon with one and
with two sending devices, and the error page from the reference of a daemon
that has stopped."""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kst  # noqa: E402
from kst import SandboxTestCase, basic_ini  # noqa: E402
from kstmon_helpers import HTML_HEADER, run_kstmon, wait_syslog  # noqa: E402
from smscsim import SmscSim  # noqa: E402

# The SMSC sender points at a port nobody serves; the modem sender at a
# device that is no modem. Neither connects.
EMI = {"Address": "127.0.0.1", "Port": "1"}
ME = {"Device": "/dev/null", "BaudRate": "9600"}
STATUS = r"(disconnected|connected|used for sending)"


def start_daemon(sandbox, emi=EMI, me=None):
    sandbox.write_ini(basic_ini(sandbox, emi=emi, me=me))
    daemon = sandbox.start_kstd()
    sandbox.wait_ior(30)
    return daemon


def local_seconds(text):
    """Seconds since the epoch of a "%d.%m.%Y %T" local time."""
    return time.mktime(time.strptime(text, "%d.%m.%Y %H:%M:%S"))


class ServingDaemon(SandboxTestCase):
    def test_page_numbers_come_from_the_daemon(self):
        before = time.time()
        start_daemon(self.sandbox)
        # Nothing connects, so queued messages stay in the queue.
        sent = self.sandbox.run_inside([kst.binary("kstsend"), "111,222", "hello"], timeout=60)
        self.assertEqual(sent.returncode, 0, sent.stderr)
        run = run_kstmon(self.sandbox, ["-t"], inside=True)
        after = time.time()
        self.assertEqual(run.returncode, 0)
        match = re.fullmatch(
            r"Server version:         0\.18\.0\n"
            r"Statistics CGI version: 0\.18\.0\n\n"
            r"Cas startu serveru:         (\S+ \S+)\n"
            r"Aktualni cas na serveru:    (\S+ \S+)\n\n"
            r"Velikost odesilaci fronty:  2\n"
            r"Pocet odeslanych SMS:       0\n"
            r"Pocet prijatych SMS:        0\n"
            r"Pocet odeslanych potvrzeni: 0\n\n"
            r"Pocet odesilacich zarizeni: \d+\n"
            r"Zarizeni 1: [^\n]*\n(Zarizeni 2: [^\n]*\n)?", run.stdout)
        self.assertIsNotNone(match, run.stdout)
        started, now = local_seconds(match.group(1)), local_seconds(match.group(2))
        self.assertLessEqual(int(before) - 1, started)
        self.assertLessEqual(started, now)
        self.assertLessEqual(now, after + 1)
        wait_syslog(self.sandbox, "All work is done, destroing ORB")

    def test_html_page_from_the_daemon(self):
        start_daemon(self.sandbox)
        run = run_kstmon(self.sandbox, inside=True)
        self.assertEqual(run.returncode, 0)
        self.assertTrue(run.raw.startswith(HTML_HEADER + b"<html>\n  <head>\n"), run.raw)
        self.assertIn(b"<pre>\nServer version:         0.18.0\n", run.raw)
        self.assertTrue(run.raw.endswith(b"</pre>\n</body>\n</html>\n"), run.raw)
        self.assertEqual(run.stderr, "")

    def test_reference_of_a_stopped_daemon(self):
        daemon = start_daemon(self.sandbox)
        ior = self.sandbox.wait_ior()
        daemon.stop()
        with open(self.sandbox.ior_path, "wb") as f:
            f.write(ior)
        run = run_kstmon(self.sandbox, ["-t"])
        self.assertEqual(run.returncode, 0)
        self.assertIn(run.stdout, [
            "Problems occured while Proccesing request. Error code: 1\n"
            "Caught system exception COMM_FAILURE -- unable to contact the SMS server.\n\n",
            "Problems occured while Proccesing request. Error code: 1\n"
            "Caught a CORBA::SystemException:\nCompletion status: 1\n\n"])
        wait_syslog(self.sandbox, "Print error page")

    def test_daemon_without_ior_file_in_its_namespace(self):
        start_daemon(self.sandbox)
        os.unlink(self.sandbox.ior_path)
        run = run_kstmon(self.sandbox, ["-t"], inside=True)
        self.assertEqual(run.stdout,
                         "Nelze otevrit soubor s IOR '/tmp/kstd.ior': No such file or directory\n"
                         "Problems occured while Proccesing request. Error code: 1\n"
                         "It seems that KST server is not running.\n\n")


class SmscDevice(SandboxTestCase):
    def test_one_smsc_device(self):
        start_daemon(self.sandbox)
        run = run_kstmon(self.sandbox, ["-t"], inside=True)
        self.assertEqual(run.returncode, 0)
        self.assertRegex(run.stdout, r"^Server version:         0\.18\.0\n")
        self.assertRegex(run.stdout, r"\nPocet odesilacich zarizeni: 1\n"
                                     r"Zarizeni 1: Sender thread\(EMI\): " + STATUS + r"\n\Z")
        self.assertNotIn("Zarizeni 2", run.stdout)
        self.assertNotRegex(run.stdout, r"[<>]", "no HTML in text mode")

    def test_connected_smsc_is_used_for_sending(self):
        with SmscSim() as sim:
            start_daemon(self.sandbox, emi={"Address": "127.0.0.1", "Port": str(sim.ucp_port)})
            line = "Zarizeni 1: Sender thread(EMI): used for sending\n"
            kst.wait_until(lambda: line in run_kstmon(self.sandbox, ["-t"], inside=True).stdout,
                           40, interval=0.5, what="the SMSC sender in use on the page")


class SmscAndModemDevices(SandboxTestCase):
    def test_both_devices(self):
        start_daemon(self.sandbox, me=ME)
        run = run_kstmon(self.sandbox, ["-t"], inside=True)
        self.assertEqual(run.returncode, 0)
        self.assertRegex(run.stdout, r"\nPocet odesilacich zarizeni: 2\n"
                                     r"Zarizeni 1: Sender thread\(EMI\): " + STATUS + r"\n"
                                     r"Zarizeni 2: Sender thread\(ME\): disconnected\n\Z")


if __name__ == "__main__":
    kst.main()
