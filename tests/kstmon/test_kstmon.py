"""kstmon as a real process in a sandbox whose /tmp/kstd.ior the test
controls: its options, the error pages, and the statistics page as served by
a fake SmsServer with values the real daemon never sends."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kst  # noqa: E402
from kst import SandboxTestCase  # noqa: E402
from kstmon_helpers import HTML_HEADER, FakeServer, run_kstmon, wait_syslog  # noqa: E402

NOT_RUNNING_TEXT = ("Problems occured while Proccesing request. Error code: 1\n"
                    "It seems that KST server is not running.\n\n")
NO_FILE_LINE = "Nelze otevrit soubor s IOR '/tmp/kstd.ior': No such file or directory\n"
LOG_ERR, LOG_INFO, LOG_DAEMON = 3, 6, 3

# A POSIX zone one hour east of UTC, so local time differs from UTC without
# relying on the zone database.
CET = {"TZ": "CET-1"}


class Options(SandboxTestCase):
    def test_version_help_and_copyright(self):
        for args in (["-V"], ["--version"]):
            run = run_kstmon(self.sandbox, args)
            self.assertEqual((run.returncode, run.stdout), (0, "\nKestrova, version 0.18.0\n\n"))
        for args in (["-h"], ["--help"], ["-t", "-h"]):
            run = run_kstmon(self.sandbox, args)
            self.assertEqual(run.returncode, 0)
            self.assertEqual(run.stdout,
                             "\nKestrova, version 0.18.0   (statistics CGI)\n\n"
                             "usage: kstmon [options]\n"
                             "options:\n"
                             "\t--text     -t   force text output instead of HTML\n"
                             "\t--version  -V   Print version.\n"
                             "\t--help     -h   This help :-)\n\n")
        for args in (["-c"], ["--copyright"]):
            run = run_kstmon(self.sandbox, args)
            self.assertEqual(run.returncode, 0)
            lines = run.stdout.split("\n")
            self.assertEqual(lines[:2], ["", "Kestrova, version 0.18.0"])
            self.assertTrue(lines[2].startswith("Copyright"), run.stdout)
            self.assertEqual(lines[4:], ["", ""], "a two-line notice and an empty line")

    def test_unknown_option_touches_neither_cgi_nor_server(self):
        for args in (["-x"], ["--bogus"], ["-t", "-x"]):
            with self.subTest(args=args):
                run = run_kstmon(self.sandbox, args)
                self.assertEqual(run.returncode, 0)
                self.assertEqual(run.stdout, "Try --help or -h options to get help\n")
        self.assertEqual(self.sandbox.syslog.messages(), [], "nothing was tried")


class WithoutServer(SandboxTestCase):
    def assert_error_syslog(self, *texts):
        for text in texts + ("Print error page",):
            message = wait_syslog(self.sandbox, text)
            self.assertEqual((message["priority"], message["facility"]), (LOG_ERR, LOG_DAEMON), text)

    def test_text_without_ior_file(self):
        run = run_kstmon(self.sandbox, ["-t"])
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stdout, NO_FILE_LINE + NOT_RUNNING_TEXT)
        self.assert_error_syslog(NO_FILE_LINE.rstrip("\n"), "Cannot read IOR from file")

    def test_html_without_ior_file_keeps_the_response_clean(self):
        run = run_kstmon(self.sandbox)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.raw,
                         HTML_HEADER
                         + b"<html><head><title>Error</title></head><body><pre>\n"
                         + NOT_RUNNING_TEXT.encode()
                         + b"</pre>\n</body></html>\n")
        self.assertEqual(run.stderr, NO_FILE_LINE, "the line goes to the server's log, not the page")
        self.assert_error_syslog(NO_FILE_LINE.rstrip("\n"), "Cannot read IOR from file")

    def test_ior_file_the_daemon_cannot_have_written(self):
        # A link, a directory or a FIFO (which must not keep kstmon waiting),
        # another user's file, a file others may write.
        target = os.path.join(self.sandbox.root, "target.ior")
        with open(target, "w") as f:
            f.write("IOR:00")

        def regular(owner, mode):
            def make(path):
                with open(path, "w") as f:
                    f.write("IOR:00")
                os.chown(path, owner, owner)
                os.chmod(path, mode)
            return make

        cases = [(lambda path: os.symlink(target, path), "it is a symbolic link"),
                 (os.mkdir, "it is a directory, not a regular file"),
                 (os.mkfifo, "it is a FIFO, not a regular file"),
                 (regular(65534, 0o644),
                  "it is owned by nobody (uid 65534), neither root nor the user of this program"),
                 (regular(0, 0o664), "it is writable by others than its owner (mode 0664)"),
                 (regular(0, 0o666), "it is writable by others than its owner (mode 0666)")]
        path = self.sandbox.ior_path
        for make, reason in cases:
            with self.subTest(reason):
                make(path)
                line = "Nelze pouzit soubor s IOR '/tmp/kstd.ior': %s\n" % reason
                run = run_kstmon(self.sandbox, ["-t"])
                self.assertEqual((run.returncode, run.stdout), (0, line + NOT_RUNNING_TEXT))
                run = run_kstmon(self.sandbox)
                self.assertTrue(run.raw.startswith(HTML_HEADER), run.raw)
                self.assertEqual(run.stderr, line)
                self.assert_error_syslog(line.rstrip("\n"), "Cannot read IOR from file")
                if os.path.isdir(path) and not os.path.islink(path):
                    os.rmdir(path)
                else:
                    os.unlink(path)

    def test_server_that_never_answers(self):
        with kst.SilentServer() as server:
            with open(self.sandbox.ior_path, "w") as f:
                f.write(server.ior())
            run = run_kstmon(self.sandbox, ["-t"])
            self.assertGreaterEqual(server.accepted, 1)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stdout,
                         "Problems occured while Proccesing request. Error code: 1\n"
                         "The SMS server did not answer within the call time-out (10 s by default).\n"
                         "Caught a CORBA::SystemException:\nCompletion status: 2\n\n")
        self.assert_error_syslog("The SMS server did not answer within the call time-out",
                                 "Caught a CORBA::SystemException")

    def test_unusable_references(self):
        nil = "IOR:00000000000000010000000000000000"
        cases = [
            ("garbage", "not an object reference", ""),
            ("empty", "", ""),
            ("trailing newline", None, ""),  # filled in below
            ("nil", nil, "Can t narrow reference to type SmsServer (or it was nil).\n"),
        ]
        server = FakeServer(self.sandbox)
        good = server.ior
        server.stop()
        cases[2] = ("trailing newline", good + "\n", "")
        for what, content, first in cases:
            with self.subTest(what):
                with open(self.sandbox.ior_path, "w") as f:
                    f.write(content)
                run = run_kstmon(self.sandbox, ["-t"])
                self.assertEqual(run.returncode, 0)
                self.assertEqual(run.stdout,
                                 "Problems occured while Proccesing request. Error code: 1\n" + first
                                 + "Caught a CORBA::SystemException:\nCompletion status: 1\n\n")
        self.assert_error_syslog("Caught a CORBA::SystemException")

    def test_stale_reference_of_a_stopped_server(self):
        server = FakeServer(self.sandbox)
        self.assertEqual(server.stop(), 0)
        self.assertTrue(os.path.exists(self.sandbox.ior_path))
        run = run_kstmon(self.sandbox, ["-t"])
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stdout,
                         "Problems occured while Proccesing request. Error code: 1\n"
                         "Caught a CORBA::SystemException:\nCompletion status: 1\n\n")
        self.assert_error_syslog("Caught a CORBA::SystemException")


class WithFakeServer(SandboxTestCase):
    def serve(self, **settings):
        server = FakeServer(self.sandbox, **settings)
        self.addCleanup(server.stop)
        return server

    def test_text_page_with_two_devices(self):
        self.serve(start=0, current=1000000000, queue=3, sent=12, received=5, confirmations=2,
                   senders=2, name1="Sender thread(EMI)", status1=2, name2="Sender thread(ME)", status2=0)
        run = run_kstmon(self.sandbox, ["--text"], env=CET)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stdout,
                         "Server version:         0.18.0\n"
                         "Statistics CGI version: 0.18.0\n\n"
                         "Cas startu serveru:         01.01.1970 01:00:00\n"
                         "Aktualni cas na serveru:    09.09.2001 02:46:40\n\n"
                         "Velikost odesilaci fronty:  3\n"
                         "Pocet odeslanych SMS:       12\n"
                         "Pocet prijatych SMS:        5\n"
                         "Pocet odeslanych potvrzeni: 2\n\n"
                         "Pocet odesilacich zarizeni: 2\n"
                         "Zarizeni 1: Sender thread(EMI): used for sending\n"
                         "Zarizeni 2: Sender thread(ME): disconnected\n")
        self.assertEqual(run.stderr, "")
        message = wait_syslog(self.sandbox, "All work is done, destroing ORB")
        self.assertEqual(message["priority"], LOG_INFO)
        self.assertNotIn("Print error page", self.sandbox.syslog.texts())

    def test_third_device_comes_from_the_sender_list(self):
        self.serve(senders=3, name1="Sender thread(EMI)", status1=2, name2="Sender thread(ME)", status2=0)
        run = run_kstmon(self.sandbox, ["--text"], env=CET)
        self.assertEqual(run.returncode, 0)
        self.assertTrue(run.stdout.endswith("Pocet odesilacich zarizeni: 3\n"
                                            "Zarizeni 1: Sender thread(EMI): used for sending\n"
                                            "Zarizeni 2: Sender thread(ME): disconnected\n"
                                            "Zarizeni 3: Sender thread(SMPP): connected\n"), run.stdout)

    def test_one_device_has_no_second_line(self):
        self.serve(senders=1, status1=1, name2="no device", status2=-1, start=1700000000)
        run = run_kstmon(self.sandbox, ["-t"], env={"TZ": "UTC0"})
        self.assertIn("Cas startu serveru:         14.11.2023 22:13:20\n", run.stdout)
        self.assertTrue(run.stdout.endswith("Pocet odesilacich zarizeni: 1\n"
                                            "Zarizeni 1: Sender thread(EMI): connected\n"), run.stdout)
        self.assertNotIn("Zarizeni 2", run.stdout)
        self.assertNotIn("no device", run.stdout)

    def test_html_page(self):
        self.serve(version="0.18.0 <beta> & \"rc\"", senders=2, name1="<script>alert(1)</script>",
                   status1=7, name2="M&E 'x'", status2=-3, start=0, current=0)
        run = run_kstmon(self.sandbox, env={"TZ": "UTC0"})
        self.assertEqual(run.returncode, 0)
        expected = (HTML_HEADER
                    + b"<html>\n"
                    b"  <head>\n"
                    b"    <title>Kestrova: statistiky</title>\n"
                    b"    <meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1250\">\n"
                    b"  </head>\n"
                    b"<body>\n"
                    b"<center><img src=\"/kst/img/statistika_pripojeni.gif\"></center><br/>\n"
                    b"<pre>\n"
                    b"Server version:         0.18.0 &lt;beta&gt; &amp; &quot;rc&quot;\n"
                    b"Statistics CGI version: 0.18.0\n\n"
                    b"Cas startu serveru:         01.01.1970 00:00:00\n"
                    b"Aktualni cas na serveru:    01.01.1970 00:00:00\n\n"
                    b"Velikost odesilaci fronty:  0\n"
                    b"Pocet odeslanych SMS:       0\n"
                    b"Pocet prijatych SMS:        0\n"
                    b"Pocet odeslanych potvrzeni: 0\n\n"
                    b"Pocet odesilacich zarizeni: 2\n"
                    b"Zarizeni 1: &lt;script&gt;alert(1)&lt;/script&gt;: unknown (7)\n"
                    b"Zarizeni 2: M&amp;E &#39;x&#39;: unknown (-3)\n"
                    b"</pre>\n"
                    b"</body>\n</html>\n")
        self.assertEqual(run.raw, expected)

    def test_text_page_escapes_control_characters_only(self):
        self.serve(version="0.18.0\x1b]0;owned\x07", senders=2, name1="A&B <1>", status1=0,
                   name2="ME\x1b[2J\\x\x7f", status2=1)
        run = run_kstmon(self.sandbox, ["-t"])
        self.assertIn("Server version:         0.18.0\\x1b]0;owned\\x07\n", run.stdout)
        self.assertIn("Zarizeni 1: A&B <1>: disconnected\n", run.stdout)
        self.assertIn("Zarizeni 2: ME\\x1b[2J\\\\x\\x7f: connected\n", run.stdout)
        self.assertNotRegex(run.stdout, "[\x00-\x09\x0b-\x1f\x7f]")

    def test_failing_calls(self):
        cases = [
            ("COMM_FAILURE", 1, "Caught system exception COMM_FAILURE -- unable to contact the SMS server.",
             "Caught system exception COMM_FAILURE -- unable to contact the SMS server.\n"),
            ("NO_RESOURCES", 2, "Caught a CORBA::SystemException",
             "Caught a CORBA::SystemException:\nCompletion status: 2\n"),
            ("NO_RESOURCES", 0, "Caught a CORBA::SystemException",
             "Caught a CORBA::SystemException:\nCompletion status: 0\n"),
        ]
        for exception, completion, logged, text in cases:
            with self.subTest(exception=exception, completion=completion):
                server = FakeServer(self.sandbox, fail_getstats="%s:%d" % (exception, completion))
                try:
                    run = run_kstmon(self.sandbox, ["-t"])
                finally:
                    server.stop()
                self.assertEqual(run.returncode, 0)
                self.assertEqual(run.stdout,
                                 "Problems occured while Proccesing request. Error code: 1\n" + text + "\n")
                wait_syslog(self.sandbox, logged)

    def test_failing_call_html_page(self):
        self.serve(fail_getstats="COMM_FAILURE:1")
        run = run_kstmon(self.sandbox)
        self.assertEqual(run.raw,
                         HTML_HEADER
                         + b"<html><head><title>Error</title></head><body><pre>\n"
                         b"Problems occured while Proccesing request. Error code: 1\n"
                         b"Caught system exception COMM_FAILURE -- unable to contact the SMS server.\n\n"
                         b"</pre>\n</body></html>\n")


if __name__ == "__main__":
    kst.main()
