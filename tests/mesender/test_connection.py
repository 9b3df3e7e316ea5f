"""The modem sender's connection: PIN dialogue, line speed, reception
routing with its fallback, the pause while disconnected and the routing
switched off at shutdown. Real kstd against the modem emulator."""

import os
import re
import resource
import socket
import termios
import time

from kst import ior_endpoint, wait_until
from mesender import MeSenderTest, MANAGER_CYCLE_MS


def pin_status_records(test):
    return [t for t in test.error_log_texts() if t.startswith("ME: PIN Status: ")]


def failures(test):
    return [r for r in test.records("error.log")
            if r["lines"][0].startswith("ME: Connection failed: ")]


class ReadySim(MeSenderTest):
    def test_ready_sim_gets_no_pin_even_when_one_is_configured(self):
        self.start_kstd(self.me_section(Pin="1234"))
        self.wait_ready()
        self.assertEqual(pin_status_records(self), ["ME: PIN Status: READY"])
        self.assertFalse([c for c in self.modem.commands() if c.startswith("AT+CPIN=")])
        # The identity records of connect() and the store of init().
        texts = self.error_log_texts()
        self.assertIn("ME: Kestrova Test Modems - KTM-900 (rev.1.0.7)\nME: Serial number: 351234567890123", texts)
        self.assertIn("ME: Store names: SM ME MT", texts)
        self.assertIn("ME: Connected", texts)
        self.assertIn("ME: Using SMS store SM", texts)
        self.assertEqual(self.stats()["device 1"], "Sender thread(ME): used for sending")


class PinRequired(MeSenderTest):
    modem_args = ("--pin", "1234")

    def test_accepted_pin_gives_two_status_records(self):
        self.start_kstd(self.me_section(Pin="1234"))
        self.wait_ready()
        self.assertEqual(pin_status_records(self), ["ME: PIN Status: SIM PIN", "ME: PIN Status: READY"])
        self.assertEqual([c for c in self.modem.commands() if c.startswith("AT+CPIN")],
                         ["AT+CPIN?", "AT+CPIN=1234", "AT+CPIN?"])
        self.assertEqual(self.modem.status()["sim"], "READY")
        # The console shows the PIN masked, nowhere in clear.
        console = self.kstd.output()
        self.assertEqual(re.findall(r"^PIN: (.*)$", console, re.M), ["********"])
        self.assertNotRegex(console, r"PIN\W*1234")

    def test_wrong_pin_is_offered_once_across_restarts(self):
        state_file = os.path.join(self.sandbox.root, "state", "sim-pin.state")
        for start in range(3):
            self.start_kstd(self.me_section(Pin="9999", PinStateFile=state_file))
            wait_until(lambda: len(failures(self)) >= 2 * start + 2, 30, what="two more failed connections")
            self.stop_kstd()
        found = failures(self)
        self.assertTrue(all(r["type"] == "e" for r in found))
        self.assertEqual(found[0]["lines"], ["ME: Connection failed: PIN not OK, received: +CME ERROR: 16"])
        for later in found[1:]:
            self.assertEqual(later["lines"],
                             ["ME: Connection failed: Wrong PIN specified in config file, giving up."])
        self.assertEqual([c for c in self.modem.commands() if c.startswith("AT+CPIN=")], ["AT+CPIN=9999"])
        # The SIM still asks for the PIN, two attempts left.
        self.assertEqual(self.modem.status()["sim"], "SIM PIN")
        self.assertEqual([e["data"]["attempts_left"] for e in self.modem.events("sim")], [2])
        # The file holds a salted hash, not the PIN, readable by root alone.
        with open(state_file) as f:
            content = f.read()
        self.assertNotIn("9999", content)
        self.assertRegex(content, r"\nsalt [0-9a-f]{32}\nsha256 [0-9a-f]{64}\n$")
        self.assertEqual(os.stat(state_file).st_mode & 0o777, 0o600)

        # Another PIN is offered; once the SIM takes it the record goes.
        self.start_kstd(self.me_section(Pin="1234", PinStateFile=state_file))
        self.wait_ready()
        self.assertEqual([c for c in self.modem.commands() if c.startswith("AT+CPIN=")],
                         ["AT+CPIN=9999", "AT+CPIN=1234"])
        self.assertFalse(os.path.exists(state_file))

    def test_sim_in_another_state_gets_no_pin(self):
        advice = {
            "SIM PUK": "the SIM is blocked and asks for its PUK (SIM PUK); no PIN was sent.",
            "SIM PIN2": "the SIM asks for PIN2 (SIM PIN2), which kstd never gives.",
            "PH-SIM PIN": "the modem asks for its phone-to-SIM password (PH-SIM PIN)",
        }
        for state, text in advice.items():
            self.modem.sim(state=state)
            before = len(failures(self))
            self.start_kstd(self.me_section(Pin="1234"))
            wait_until(lambda: len(failures(self)) >= before + 2, 30, what="two failed connections")
            self.stop_kstd()
            for record in failures(self)[before:]:
                self.assertTrue(record["lines"][0].startswith("ME: Connection failed: SIM not ready: " + text),
                                record)
                self.assertEqual(record["type"], "e")
            self.assertIn("ME: PIN Status: " + state, pin_status_records(self))
        self.assertFalse([c for c in self.modem.commands() if c.startswith("AT+CPIN=")])
        self.assertFalse([e for e in self.modem.events("sim") if "wrong_puk" in e["data"]])

    def test_missing_pin(self):
        self.start_kstd(self.me_section())
        wait_until(lambda: len(failures(self)) >= 2, 30, what="two failed connections")
        for record in failures(self):
            self.assertEqual(record["lines"],
                             ["ME: Connection failed: PIN is required but not specified in config file."])
        self.assertFalse([c for c in self.modem.commands() if c.startswith("AT+CPIN=")])
        self.assertEqual(self.stats()["device 1"], "Sender thread(ME): disconnected")


class LineSpeed(MeSenderTest):
    def line_speed(self):
        # The slave's settings are those the daemon made on its side.
        fd = os.open(self.modem.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            attributes = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        return attributes[4], attributes[5]

    def test_empty_baud_rate_opens_at_38400(self):
        self.start_kstd(self.me_section(BaudRate=""))
        self.wait_ready()
        self.assertEqual(self.line_speed(), (termios.B38400, termios.B38400))

    def test_configured_baud_rate(self):
        self.start_kstd(self.me_section(BaudRate="9600"))
        self.wait_ready()
        self.assertEqual(self.line_speed(), (termios.B9600, termios.B9600))


class Routing(MeSenderTest):
    def test_modem_without_status_report_routing_falls_back_and_receives(self):
        self.modem.fault("routing", "caps")
        self.start_kstd()
        self.wait_ready(routing=(2, 1, 0, 0, 1))
        records = self.records("error.log")
        firsts = [r["lines"][0] for r in records]
        failed = firsts.index("ME: Initializing failed: cannot route status reports messages to TE")
        self.assertEqual(records[failed]["type"], "e")
        self.assertEqual(firsts[failed + 1], "ME: Set SMS routing only, no status reports")
        self.assertEqual(records[failed + 1]["type"], "i")

        self.modem.deliver("+420603111222", "Still received")
        received = self.wait_record("receive.log", "SMS received")
        self.assertEqual(received[0]["lines"][-1], "User data: Still received")

    def test_refused_routing_command_leaves_the_sender_disconnected(self):
        # An error answer is no missing capability: no fallback, and every
        # attempt closes the line again.
        self.modem.fault("routing", "error")
        self.start_kstd()
        wait_until(lambda: len([t for t in self.error_log_texts()
                                if t.startswith("ME: Initializing failed: ")]) >= 2, 30,
                   what="two failed initialisations")
        self.assertNotIn("ME: Set SMS routing only, no status reports", self.error_log_texts())
        self.assertEqual(self.stats()["device 1"], "Sender thread(ME): disconnected")
        self.assertGreaterEqual(len(self.modem.events("close")), 2)


class Disconnected(MeSenderTest):
    def cpu_seconds(self, pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def test_no_spinning_while_the_modem_is_missing(self):
        self.start_kstd(self.me_section(Device=os.path.join(self.sandbox.root, "no-such-modem")))
        wait_until(lambda: failures(self), 20, what="a failed connection")
        # With a message waiting the loop still has nothing to do without a
        # connection; it must not busy-wait for the manager.
        self.kstsend("+420603111222", "waiting")
        window = 5.0
        before = self.cpu_seconds(self.kstd.pid)
        time.sleep(window)
        used = self.cpu_seconds(self.kstd.pid) - before
        self.assertLess(used, window / 2, "kstd used %.2f s of CPU in %.0f s" % (used, window))
        self.assertEqual(self.stats()["queued"], "1")
        self.assertIn("No such file or directory", failures(self)[0]["lines"][0])
        # Every manager cycle tried again.
        self.assertGreater(len(failures(self)), window * 1000 / MANAGER_CYCLE_MS / 4)


    def test_line_is_not_opened_above_the_select_limit(self):
        # gsmlib waits on the line with select(), which ends the process for
        # a descriptor number of 1024 or more. With more idle clients than
        # that, the modem appears: the connection fails instead, and succeeds
        # once the clients are gone.
        connections = 1100
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < connections + 200:
            self.skipTest("the hard descriptor limit %d is too low" % hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, connections + 200), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        link = os.path.join(self.sandbox.root, "modem-link")
        self.start_kstd(self.me_section(Device=link), wrapper=["prlimit", "--nofile=1024:4096", "--"])
        wait_until(lambda: failures(self), 20, what="a failed connection")
        endpoint = ior_endpoint(self.sandbox.wait_ior().decode())
        clients = [socket.create_connection(endpoint, timeout=10) for _ in range(connections)]
        try:
            wait_until(lambda: len(os.listdir("/proc/%d/fd" % self.kstd.pid)) > connections, 30,
                       what="the daemon to hold every connection")
            os.symlink(self.modem.device, link)
            reason = "ME: Connection failed: no descriptor below 1024 free for the modem line"
            wait_until(lambda: [r for r in failures(self) if r["lines"][0] == reason], 20,
                       what="the refused line")
            self.assertTrue(self.kstd.running())
        finally:
            for client in clients:
                client.close()
        self.wait_ready()


class Shutdown(MeSenderTest):
    def test_routing_is_switched_off_before_the_line_is_released(self):
        self.start_kstd()
        self.wait_ready()
        since = self.modem.last_seq()
        kstd = self.stop_kstd()
        log = self.modem.log(since)
        commands = [r["text"] for r in log if r["dir"] == "rx"]
        self.assertEqual(commands[-2:], ["AT+CNMI=?", "AT+CNMI=2,0,0,0,1"])
        routing_off = max(r["n"] for r in log if r["dir"] == "rx" and r["text"] == "AT+CNMI=2,0,0,0,1")
        closes = [r["n"] for r in log if r["dir"] == "event" and r["name"] == "close"]
        self.assertTrue(closes and closes[-1] > routing_off, log[-5:])
        self.assertEqual(self.modem.status()["cnmi"], [2, 0, 0, 0, 1])
        out = kstd.stdout()
        self.assertRegex(out, r"\d+: Sender thread\(ME\): shutdown indicator detected\n"
                              r"\d+: Sender thread\(ME\): is shuting down\n")
        wait_until(lambda: "Sender thread(ME): is shuting down" in self.sandbox.syslog.texts(), 5,
                   what="the syslog line")


if __name__ == "__main__":
    import unittest
    unittest.main(verbosity=2)
