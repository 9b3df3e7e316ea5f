"""The statistics page as a person gets it: lighttpd, run with the packaged
configuration, serves kstmon as a CGI program; curl checks the HTTP response
and headless Chromium renders the page, whose DOM is checked and whose
screenshot is kept under build/tests/artifacts/."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kst  # noqa: E402
from kst import SANITIZER_REPORT, SandboxTestCase  # noqa: E402
from kstmon_helpers import FakeServer, WebServer, curl, pre_text, rendered_dom, screenshot  # noqa: E402
from test_kstmon_daemon import ME, STATUS, start_daemon  # noqa: E402


class WebTestCase(SandboxTestCase):
    def serve_web(self, inside=False):
        web = WebServer(self.sandbox).start(inside=inside)
        self.addCleanup(self.check_logs, web)
        self.addCleanup(web.stop)
        return web

    def check_logs(self, web):
        self.assertNotRegex(web.cgi_log(), SANITIZER_REPORT)
        self.assertNotRegex(web.error_log(), r"\(mod_cgi\.c")

    def assert_html_response(self, response):
        self.assertEqual(response.status, 200)
        self.assertEqual(response.headers.get("content-type"), "text/html; charset=windows-1250")
        self.assertTrue(response.body.startswith(b"<html>"), response.body[:200])


class ErrorPage(WebTestCase):
    def test_without_daemon(self):
        web = self.serve_web()
        response = curl(web.url())
        self.assert_html_response(response)
        self.assertEqual(response.body,
                         b"<html><head><title>Error</title></head><body><pre>\n"
                         b"Problems occured while Proccesing request. Error code: 1\n"
                         b"It seems that KST server is not running.\n\n"
                         b"</pre>\n</body></html>\n")
        # The line about the missing file reaches the server's log only.
        self.assertIn("Nelze otevrit soubor s IOR '/tmp/kstd.ior': No such file or directory\n",
                      web.cgi_log())

        dom = rendered_dom(self.sandbox, web.url())
        self.assertIn("<title>Error</title>", dom)
        self.assertEqual(pre_text(dom),
                         "Problems occured while Proccesing request. Error code: 1\n"
                         "It seems that KST server is not running.\n\n")
        screenshot(self.sandbox, web.url(), "kstmon-error-page")

    def test_start_page_redirects_and_post_is_answered(self):
        web = self.serve_web()
        response = curl(web.url("/"))
        self.assertEqual(response.status, 301)
        self.assertEqual(response.headers.get("location"), "/cgi-bin/kstmon")
        # A form posted to the page is read and does not disturb it.
        response = curl(web.url("/cgi-bin/kstmon?a=1"), data="x=" + "y" * 5000)
        self.assert_html_response(response)
        self.assertIn(b"It seems that KST server is not running.", response.body)
        self.assertNotIn("cgi:", web.cgi_log())


class FakeServerPage(WebTestCase):
    def test_statistics_with_odd_values(self):
        server = FakeServer(self.sandbox, version="0.18.0 <b>beta</b>", start=0, current=86400,
                            queue=4, sent=7, received=3, confirmations=1, senders=2,
                            name1="<img src=x onerror=alert(1)>", status1=9,
                            name2="Sender thread(ME)", status2=2)
        self.addCleanup(server.stop)
        web = self.serve_web()
        response = curl(web.url())
        self.assert_html_response(response)

        dom = rendered_dom(self.sandbox, web.url())
        self.assertIn("<title>Kestrova: statistiky</title>", dom)
        text = pre_text(dom)
        # The names arrive as text: no element was made from them.
        self.assertIn("Server version:         0.18.0 &lt;b&gt;beta&lt;/b&gt;\n", text)
        self.assertIn("Zarizeni 1: &lt;img src=x onerror=alert(1)&gt;: unknown (9)\n", text)
        self.assertIn("Zarizeni 2: Sender thread(ME): used for sending\n", text)
        self.assertIn("Velikost odesilaci fronty:  4\n", text)
        self.assertEqual(len(re.findall(r"<img\b", dom)), 1, "only the page's own picture")
        screenshot(self.sandbox, web.url(), "kstmon-fake-server-page")
        # The browser fetched the page's picture from the configured site
        # (lighttpd writes its access log with a delay).
        kst.wait_until(lambda: re.search(r'"GET /kst/img/statistika_pripojeni\.gif HTTP/1\.1" 200 ',
                                         web.access_log()), 10, what="the picture in the access log")


class DaemonPage(WebTestCase):
    def test_statistics_of_the_running_daemon(self):
        start_daemon(self.sandbox, me=ME)
        # The web server shares the daemon's /tmp, as it must in production.
        web = self.serve_web(inside=True)
        response = curl(web.url())
        self.assert_html_response(response)
        self.assertIn(b"<pre>\nServer version:         0.18.0\n", response.body)

        dom = rendered_dom(self.sandbox, web.url())
        text = pre_text(dom)
        self.assertRegex(text, r"^Server version:         0\.18\.0\n"
                               r"Statistics CGI version: 0\.18\.0\n\n"
                               r"Cas startu serveru:         \d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\n")
        self.assertIn("Velikost odesilaci fronty:  0\n", text)
        self.assertRegex(text, r"Zarizeni 1: Sender thread\(EMI\): " + STATUS + r"\n")
        self.assertIn("Zarizeni 2: Sender thread(ME): disconnected\n", text)
        screenshot(self.sandbox, web.url(), "kstmon-daemon-page")


if __name__ == "__main__":
    kst.main()
