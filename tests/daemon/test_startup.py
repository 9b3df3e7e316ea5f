"""kstd's start-up as a real process: options, configuration, logs and the
PID file, each run in a private mount namespace."""

import fcntl
import os
import re
import signal
import stat
import time

import kst
from kst import SandboxTestCase, basic_ini, log_records, stats_of, wait_until
from smscsim import SmscSim

EMI_ONLY = {"Address": "127.0.0.1", "Port": "1"}


class Options(SandboxTestCase):
    def test_version_prints_banner_without_pid_file_or_ini(self):
        self.sandbox.remove_ini()
        p = self.sandbox.run_kstd(["-V"])
        self.assertEqual(p.popen.returncode, 0)
        self.assertEqual(p.stdout(), "\nKestrova, version 0.18.0\n\n")
        self.assertFalse(os.path.exists(self.sandbox.pid_path))

    def test_help_after_debug(self):
        p = self.sandbox.run_kstd(["-d", "-h"])
        self.assertEqual(p.popen.returncode, 0)
        self.assertEqual(p.stdout(),
                         "\nKestrova, version 0.18.0   (server side daemon)\n\n"
                         "options:\n"
                         "\t--debug    -d   Kstd will not start as a daemon and print\n"
                         "\t                many debug messages to terminal.\n"
                         "\t--version  -V   Print version.\n"
                         "\t--help     -h   This help :-)\n\n")

    def test_copyright_before_debug(self):
        p = self.sandbox.run_kstd(["-c", "-d"])
        self.assertEqual(p.popen.returncode, 0)
        out = p.stdout()
        self.assertTrue(out.startswith("\nKestrova, version 0.18.0\n"), out)
        self.assertTrue(out.endswith("\n\n"))
        self.assertEqual(len(out.strip("\n").split("\n")), 3, "banner and a two-line notice")
        self.assertFalse(os.path.exists(self.sandbox.pid_path))

    def test_unknown_option(self):
        p = self.sandbox.run_kstd(["-x"])
        self.assertEqual(p.popen.returncode, 0)
        self.assertIn("Try --help or -h options to get help\n", p.stdout())
        self.assertFalse(os.path.exists(self.sandbox.pid_path))


class Configuration(SandboxTestCase):
    def run_to_end(self, args=("-d",)):
        """Runs kstd; a daemon that serves is stopped once it has started."""
        p = self.sandbox.start_kstd(args)
        wait_until(lambda: not p.running() or "Starting ORB" in p.stdout(), 30,
                   what="the end of the start-up")
        p.stop()
        return p

    def test_missing_ini_file(self):
        self.sandbox.remove_ini()
        p = self.sandbox.run_kstd()
        self.assertEqual(p.popen.returncode, 1)
        text = "INI file: Error while openning file '/etc/kst/kstd.ini'"
        self.assertIn(text + "\n", p.stdout())
        wait_until(lambda: text in self.sandbox.syslog.texts(), 5, what="syslog line")
        self.assertIn("kstd", [m["ident"] for m in self.sandbox.syslog.messages()])

    def test_parse_error(self):
        self.sandbox.write_ini("Key = value\n[EMI]\n")
        p = self.sandbox.run_kstd()
        self.assertEqual(p.popen.returncode, 1)
        self.assertIn("INI file: Parse error on line 1: Not in section\n", p.stdout())

    def test_percent_in_ini_error_is_not_interpreted(self):
        self.sandbox.write_ini("[EMI]\n%s%n%s\n")
        p = self.sandbox.run_kstd()
        self.assertEqual(p.popen.returncode, 1)
        text = ("INI file: Parse error on line 2: "
                "Cannot recognize key=value pair. Line do not contains '='.")
        self.assertIn(text, p.stdout())

    def test_neither_me_nor_emi(self):
        self.sandbox.write_ini(basic_ini(self.sandbox))
        p = self.sandbox.run_kstd()
        self.assertEqual(p.popen.returncode, 1)
        text = "ERROR: There are no ME nor EMI section in configuration file, exiting"
        self.assertIn(text + "\n", p.stderr())
        self.assertRegex(self.sandbox.read_log("error.log"), r" INFO     - " + text + "\n")

    def test_me_without_device_or_baud_rate(self):
        for missing, present in (("Device", {"BaudRate": "9600"}), ("BaudRate", {"Device": "/dev/null"})):
            with self.subTest(missing=missing):
                self.sandbox.write_ini(basic_ini(self.sandbox, me=present))
                p = self.sandbox.run_kstd()
                self.assertEqual(p.popen.returncode, 1)
                self.assertRegex(p.stderr(), r"\d+: ERROR: Missing ME/%s setting in INI file, exiting\n" % missing)
                self.assertIn("Missing ME/%s setting in INI file, exiting" % missing,
                              self.sandbox.read_log("error.log"))

    def test_me_section_is_printed(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, me={"Device": "/dev/ttyS9", "BaudRate": "",
                                                           "Pin": "1234", "ReceiveAllSms": ""}))
        p = self.run_to_end()
        out = p.stdout()
        self.assertRegex(out, r"\d+: ME device: /dev/ttyS9\n")
        self.assertRegex(out, r"\d+: ME baudrate: \n")
        # Masked, as libvessa masks the password.
        self.assertIn("\nPIN: ********\n", out)
        self.assertNotIn("1234\n", out)
        self.assertIn("\nReceiving all messages\n", out)

    def test_me_send_timeout_out_of_range_is_reported(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, me={"Device": "/dev/ttyS9", "BaudRate": "",
                                                           "SendTimeout": "0"}))
        self.run_to_end()
        self.assertIn("Invalid ME/SendTimeout setting '0' in INI file (a whole number of seconds from 1 to 3600), "
                      "using 20", self.sandbox.read_log("error.log"))

    def test_me_without_pin_receiving_new_only(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, me={"Device": "/dev/ttyS9", "BaudRate": "9600",
                                                           "ReceiveAllSms": "0"}))
        out = self.run_to_end().stdout()
        self.assertIn("\nNo PIN in configuration.\n", out)
        self.assertIn("\nReceiving only new messages\n", out)

    def test_emi_defaults(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi={"Address": "127.0.0.1", "Port": "1"}))
        out = self.run_to_end().stdout()
        self.assertRegex(out, r"\d+: EMI: 127.0.0.1:1, LAID '', window 1, throughput 1, originator '', alert '', "
                              r"alert timeout 595\n")
        self.assertRegex(out, r"\d+: Limits: 1000 destinations per request, 1000000 queued messages\n")
        self.assertRegex(out, r"\d+: Texts: encoding transliterate, concatenation text, at most 5 parts\n")
        self.assertRegex(out, r"\d+: Store: /var/lib/kst/kstd.db, sync normal, keep 7 days, "
                              r"notification timeout 604800 s\n")
        self.assertNotIn("ME device", out)
        self.assertNotIn("setting", self.sandbox.read_log("error.log"))

    def test_emi_port_wraps_at_16_bits(self):
        for value, port in (("70000", 4464), ("2775", 2775)):
            with self.subTest(value=value):
                self.sandbox.write_ini(basic_ini(self.sandbox, emi={"Address": "127.0.0.1", "Port": value}))
                out = self.run_to_end().stdout()
                self.assertRegex(out, r"\d+: EMI: 127.0.0.1:%d, " % port)
        self.assertRegex(self.sandbox.read_log("error.log"),
                         r"ERROR    - EMI/Port setting '70000' in INI file is above 65535, using port 4464\n")

    def test_missing_or_unusable_smsc_address_or_port_ends_the_start(self):
        cases = (({"Port": "2775"}, "Missing EMI/Address setting in INI file, exiting"),
                 ({"Address": "", "Port": "2775"}, "Missing EMI/Address setting in INI file, exiting"),
                 ({"Address": "127.0.0.1"}, "Missing EMI/Port setting in INI file, exiting"),
                 ({"Address": "127.0.0.1", "Port": "smtp"},
                  "Invalid EMI/Port setting 'smtp' in INI file (a port number), exiting"),
                 ({"Address": "127.0.0.1", "Port": "-1"},
                  "Invalid EMI/Port setting '-1' in INI file (a port number), exiting"))
        for emi, text in cases:
            with self.subTest(emi=emi):
                self.sandbox.write_ini(basic_ini(self.sandbox, emi=emi))
                p = self.sandbox.run_kstd()
                self.assertEqual(p.popen.returncode, 1)
                self.assertRegex(p.stderr(), r"\d+: ERROR: %s\n" % re.escape(text))
                self.assertIn(" INFO     - " + text + "\n", self.sandbox.read_log("error.log"))
                self.assertNotIn("Connection to SMSC failed", self.sandbox.read_log("error.log"))

    def test_a_postgresql_store_without_connection_or_server_ends_the_start(self):
        nowhere = "host=127.0.0.1 port=1 dbname=kst user=kst password=secret"
        cases = (("", "Missing Store/Connection setting in INI file (Store/Type postgresql), exiting"),
                 ("Connection = %s\nNode = gw 1\n" % nowhere,
                  "Invalid Store/Node setting 'gw 1' in INI file (1 to 63 letters, digits, '.', '_' or '-'), "
                  "exiting"),
                 ("Connection = %s\n" % nowhere,
                  "Store PostgreSQL database kst on 127.0.0.1:1: cannot connect: "))
        for store, text in cases:
            with self.subTest(store=store):
                self.sandbox.write_ini(basic_ini(self.sandbox, emi={"Address": "127.0.0.1", "Port": "1"})
                                       + "[Store]\nType = postgresql\n" + store)
                p = self.sandbox.run_kstd()
                self.assertEqual(p.popen.returncode, 1)
                self.assertRegex(p.stderr(), r"\d+: ERROR: %s" % re.escape(text))
                log = self.sandbox.read_log("error.log")
                self.assertIn(" INFO     - " + text, log)
                self.assertNotIn("secret", log + p.stderr())

    def test_bad_numbers_are_reported_with_the_value_in_force(self):
        emi = {"Address": "127.0.0.1", "Port": "1", "WindowSize": "-5", "Throughput": "0", "AlertTimeout": "-1"}
        limits = "[Limits]\nMaxDestinations = many\nMaxQueued = 0\n"
        limits += "[General]\nEncoding = utf8\nConcatenation = yes\nMaxParts = 0\n"
        limits += "[Store]\nType = disk\nPath =\nSync = fast\nKeepDays = -1\nNotificationTimeout = 0\n"
        limits += "LeaseSeconds = 0\n"
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=emi, extra=limits))
        out = self.run_to_end().stdout()
        self.assertRegex(out, r"\d+: EMI: 127.0.0.1:1, LAID '', window 1, throughput 0, originator '', alert '', "
                              r"alert timeout 595\n")
        self.assertRegex(out, r"\d+: Limits: 1000 destinations per request, 1000000 queued messages\n")
        self.assertRegex(out, r"\d+: Texts: encoding transliterate, concatenation text, at most 5 parts\n")
        errors = [lines[0] for kind, lines in log_records(self.sandbox.read_log("error.log"))
                  if kind == "ERROR" and "setting" in lines[0]]
        self.assertEqual(errors, [
            "Invalid EMI/WindowSize setting '-5' in INI file (a whole number from 1 to 96), using 1",
            "Invalid EMI/Throughput setting '0' in INI file (a whole number of submissions per second, 1 or more), "
            "at most 1 submission per second is in force",
            "Invalid EMI/AlertTimeout setting '-1' in INI file (a whole number of seconds, 1 or more), using 595",
            "Invalid General/Encoding setting 'utf8' in INI file (transliterate or unicode), using transliterate",
            "Invalid General/Concatenation setting 'yes' in INI file (text or udh), using text",
            "Invalid General/MaxParts setting '0' in INI file (a whole number from 1 to 255), using 5",
            "Invalid Limits/MaxDestinations setting 'many' in INI file (a whole number, 1 or more), using 1000",
            "Invalid Limits/MaxQueued setting '0' in INI file (a whole number, 1 or more), using 1000000",
            "Invalid Store/Type setting 'disk' in INI file (sqlite, postgresql or memory), using sqlite",
            "Invalid Store/Path setting '' in INI file (a file name), using /var/lib/kst/kstd.db",
            "Invalid Store/Sync setting 'fast' in INI file (normal or full), using normal",
            "Invalid Store/KeepDays setting '-1' in INI file (a whole number of days from 0 to 36500), using 7",
            "Invalid Store/NotificationTimeout setting '0' in INI file (a whole number of seconds, 1 or more), "
            "using 604800",
            "Invalid Store/LeaseSeconds setting '0' in INI file (a whole number of seconds from 1 to 3600), "
            "using 30"])

    def test_smpp_settings_that_end_the_start(self):
        smpp = "[SMPP]\nAddress = 127.0.0.1\nPort = 2775\n"
        cases = (("[SMPP]\nPort = 2775\n", "Missing SMPP/Address setting in INI file, exiting"),
                 ("[SMPP]\nAddress = 127.0.0.1\n", "Missing SMPP/Port setting in INI file, exiting"),
                 ("[SMPP]\nAddress = 127.0.0.1\nPort = 0\n",
                  "Invalid SMPP/Port setting '0' in INI file (a port number from 1 to 65535), exiting"),
                 (smpp + "SystemId = sixteen-letters-x\n",
                  "Invalid SMPP/SystemId setting 'sixteen-letters-x' in INI file (at most 15 characters), exiting"),
                 (smpp + "Password = ninechars\n",
                  "Invalid SMPP/Password setting 'ninechars' in INI file (at most 8 characters), exiting"),
                 (smpp + "[Senders]\nOrder = smpp,sms\n",
                  "Invalid Senders/Order setting 'smpp,sms' in INI file (sender names smpp, emi and me, separated "
                  "by commas), exiting"),
                 (smpp + "[Senders]\nOrder = smpp, SMPP\n",
                  "Invalid Senders/Order setting 'smpp, SMPP' in INI file (smpp named twice), exiting"))
        for extra, text in cases:
            with self.subTest(text=text):
                self.sandbox.write_ini(basic_ini(self.sandbox, extra=extra))
                p = self.sandbox.run_kstd()
                self.assertEqual(p.popen.returncode, 1)
                self.assertRegex(p.stderr(), r"\d+: ERROR: %s\n" % re.escape(text))
                self.assertIn(" INFO     - " + text + "\n", self.sandbox.read_log("error.log"))

    def test_smpp_bad_values_are_reported_with_the_value_in_force(self):
        smpp = ("[SMPP]\nAddress = 127.0.0.1\nPort = 1\nSystemId = kst\nBindMode = both\nWindowSize = 300\n"
                "Throughput = 0\nEnquireLinkInterval = 0\nSourceTon = 9\nValidityPeriod = tomorrow\n"
                "DataCoding = 2\nUseTls = yes\n[Senders]\nOrder = emi, smpp\n")
        self.sandbox.write_ini(basic_ini(self.sandbox, extra=smpp))
        out = self.run_to_end().stdout()
        self.assertRegex(out, r"\d+: SMPP: 127.0.0.1:1, system id 'kst', transceiver, window 10, throughput 10, "
                              r"enquire_link every 30 s, source ''\n")
        errors = [lines[0] for kind, lines in log_records(self.sandbox.read_log("error.log"))
                  if kind == "ERROR" and ("setting" in lines[0] or "Senders/Order" in lines[0])]
        self.assertEqual(errors, [
            "Invalid SMPP/BindMode setting 'both' in INI file (transceiver or transmitter), using transceiver",
            "Invalid SMPP/WindowSize setting '300' in INI file (a whole number from 1 to 255), using 10",
            "Invalid SMPP/Throughput setting '0' in INI file (a whole number of submissions per second, 1 or "
            "more), using 10",
            "Invalid SMPP/EnquireLinkInterval setting '0' in INI file (a whole number of seconds from 1 to 3600), "
            "using 30",
            "Invalid SMPP/SourceTon setting '9' in INI file (a whole number from 0 to 6), using the type the "
            "address shows",
            "Invalid SMPP/ValidityPeriod setting 'tomorrow' in INI file (YYMMDDhhmmss000R for a relative period), "
            "using the SMSC's default",
            "Invalid SMPP/DataCoding setting '2' in INI file (0 or 1), using 0",
            "Invalid SMPP/UseTls setting 'yes' in INI file (0 or 1), using 0",
            "Senders/Order names emi but the INI file has no section for it; it is left out"])

    def test_every_throughput_that_is_not_positive_is_reported(self):
        for value, passed in (("", 0), ("-1", -1), ("abc", 0), ("2x", 0), ("7", 7)):
            with self.subTest(value=value):
                self.sandbox.write_ini(basic_ini(self.sandbox, emi={"Address": "127.0.0.1", "Port": "1",
                                                                    "Throughput": value}))
                out = self.run_to_end().stdout()
                self.assertRegex(out, r"\d+: EMI: 127.0.0.1:1, LAID '', window 1, throughput %d, " % passed)
                log = self.sandbox.read_log("error.log")
                record = ("Invalid EMI/Throughput setting '%s' in INI file (a whole number of submissions per "
                          "second, 1 or more), at most 1 submission per second is in force" % value)
                self.assertEqual(log.count(record), 0 if passed > 0 else 1, log)

    def test_hide_flags_only_for_one(self):
        flags = {"AccessLog_HideIp": "1", "AccessLog_HideDestinationAddress": '"1"',
                 "AccessLog_HideUserData": "yes", "AccessLog_HideEmail": "0",
                 "ReceiveLog_HideUserData": " 1 "}
        extra = "".join("%s = %s\n" % kv for kv in flags.items())
        ini = basic_ini(self.sandbox, emi=EMI_ONLY).replace("[Log]\n", "[Log]\n" + extra)
        self.sandbox.write_ini(ini)
        out = self.run_to_end().stdout()
        self.assertRegex(out, r"\d+: Hiding: AccessLog_HideIp AccessLog_HideDestinationAddress "
                              r"ReceiveLog_HideUserData\n")

    def test_missing_log_keys_go_to_syslog(self):
        self.sandbox.write_ini("[Log]\n[EMI]\nAddress = 127.0.0.1\nPort = 1\n")
        p = self.run_to_end()
        out = p.stdout()
        self.assertRegex(out, r"\d+: Error log: SYSLOG\n")
        self.assertRegex(out, r"\d+: Access log: SYSLOG\n")
        self.assertRegex(out, r"\d+: Receive log: SYSLOG\n")
        texts = wait_until(lambda: [t for t in self.sandbox.syslog.texts()
                                    if "INFO     - Kestrova v0.18.0 started" in t], 5,
                           what="start record in syslog")
        self.assertRegex(texts[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO     - Kestrova v0.18.0 started$")
        messages = self.sandbox.syslog.messages()
        for key in ("ErrorLog", "AccessLog", "ReceiveLog"):
            errors = [m for m in messages if m["text"] == "Missing Log/%s setting in INI file" % key]
            self.assertEqual(len(errors), 1, key)
            self.assertEqual(errors[0]["priority"], 3)  # LOG_ERR
            self.assertEqual(errors[0]["facility"], 3)  # LOG_DAEMON


class StartAndStop(SandboxTestCase):
    def test_start_record_console_and_stop_record(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_ONLY))
        p = self.sandbox.start_kstd()
        p.wait_output(r"\d+: Kestrova v0\.18\.0 started\n")
        p.wait_output(r"\d+: Starting ORB\n")
        self.assertEqual(p.stop(), 0)
        log = self.sandbox.read_log("error.log")
        self.assertRegex(log, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO     - Kestrova v0\.18\.0 started\n")
        self.assertRegex(log, r"INFO     - SMS Service v0\.18\.0 stopping\n")
        self.assertRegex(log, r"INFO     - SMS Service v0\.18\.0 stopped\n {35}exit code 0\n$")
        texts = self.sandbox.syslog.texts()
        self.assertIn("Kestrova v0.18.0 started", texts)
        wait_until(lambda: "SMS Service v0.18.0 stopped" in self.sandbox.syslog.texts(), 5,
                   what="stop line in syslog")

    def test_stop_signal_during_the_start_is_an_orderly_stop(self):
        # The signal lands at different points of the start, some before the
        # ORB runs; each must be the orderly stop with exit code 0.
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_ONLY))
        for delay in (0.0, 0.02, 0.05, 0.1, 0.2):
            with self.subTest(delay=delay):
                p = self.sandbox.start_kstd()
                p.wait_output(r"\d+: Kestrova v0\.18\.0 started\n")
                time.sleep(delay)
                self.assertEqual(p.stop(), 0, p.output())

    def test_pid_file_written_in_debug_mode(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_ONLY))
        p = self.sandbox.start_kstd()
        p.wait_output(r"Pid file is locked")
        pid = self.sandbox.daemon_pid()
        self.assertEqual(pid, p.pid)
        self.assertEqual(os.stat(self.sandbox.pid_path).st_mode & 0o777, 0o644)
        p.stop()

    def test_becomes_a_daemon(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_ONLY))
        p = self.sandbox.start_kstd(args=())
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(p.stdout(), "Starting daemon...\n")
        pid = self.sandbox.daemon_pid()
        self.assertNotEqual(pid, p.pid)
        wait_until(lambda: "Kestrova v0.18.0 started" in self.sandbox.read_log("error.log"), 10,
                   what="start record")
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        def ended():
            try:
                with open("/proc/%d/stat" % pid) as f:
                    return f.read().split()[2] == "Z"
            except FileNotFoundError:
                return True
        wait_until(ended, 30, what="daemon end")

    def test_daemon_mode_file_modes(self):
        # Logs only for owner and group, the PID and IOR files for everybody
        # to read, and what the executables write with the usual umask 022.
        received = os.path.join(self.sandbox.root, "received.txt")
        with SmscSim() as sim:
            ini = basic_ini(self.sandbox, emi={"Address": "127.0.0.1", "Port": str(sim.ucp_port),
                                               "WindowSize": "10", "Throughput": "100"})
            ini += "[SmsProcessing]\nExecutables = echo \"$UD\" > %s\n" % received
            self.sandbox.write_ini(ini)
            starter = self.sandbox.start_kstd(args=(), env={"KSTD_TEST_MANAGER_CYCLE_MS": "500"})
            self.assertEqual(starter.wait(20), 0)
            pid = self.sandbox.daemon_pid()
            self.addCleanup(lambda: os.path.exists("/proc/%d" % pid) and os.kill(pid, signal.SIGKILL))
            self.sandbox.wait_ior()
            kstsend = kst.binary("kstsend")
            wait_until(lambda: stats_of(self.sandbox.run_inside([kstsend, "--stats"]).stdout.decode())
                       .get("device 1") == "Sender thread(EMI): used for sending", 30, interval=0.2,
                       what="the SMSC sender in use")
            self.assertEqual(self.sandbox.run_inside([kstsend, "+420777000111", "out"]).returncode, 0)
            sim.wait_for(lambda: sim.submissions(), 20, what="the submission")
            sim.inject_52("777111222", "4209000", "in")
            wait_until(lambda: os.path.exists(received) and os.path.getsize(received) > 0, 20,
                       what="the executable's file")
            wait_until(lambda: "Send SMS requested" in self.sandbox.read_log("access.log"), 20,
                       what="the access record")
            modes = {name: stat.S_IMODE(os.stat(path).st_mode) for name, path in (
                ("error.log", self.sandbox.log_path("error.log")),
                ("access.log", self.sandbox.log_path("access.log")),
                ("receive.log", self.sandbox.log_path("receive.log")),
                ("kstd.pid", self.sandbox.pid_path), ("kstd.ior", self.sandbox.ior_path),
                ("received.txt", received))}
            self.assertEqual(modes, {"error.log": 0o640, "access.log": 0o640, "receive.log": 0o640,
                                     "kstd.pid": 0o644, "kstd.ior": 0o644, "received.txt": 0o644})
            os.kill(pid, signal.SIGTERM)
            wait_until(lambda: "exit code 0" in self.sandbox.read_log("error.log"), 30, what="the stop record")

    def test_locked_pid_file_refuses_second_daemon(self):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi=EMI_ONLY))
        with open(self.sandbox.pid_path, "w") as holder:
            holder.write("99999999\n")
            holder.flush()
            fcntl.lockf(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            p = self.sandbox.run_kstd()
            self.assertEqual(p.popen.returncode, 1)
            self.assertRegex(p.stderr(), r"\d+: Cannot lock pidfile: Resource temporarily unavailable\n")
            self.assertIn("Cannot create pidfile\n", p.stderr())
            self.assertIn("Cannot create pidfile", self.sandbox.syslog.texts() or
                          wait_until(lambda: self.sandbox.syslog.texts(), 5))
        with open(self.sandbox.pid_path) as f:
            self.assertEqual(f.read(), "99999999\n", "a refused daemon leaves the PID file alone")


if __name__ == "__main__":
    kst.main()
