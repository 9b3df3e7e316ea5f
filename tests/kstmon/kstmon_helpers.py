"""Helpers of the kstmon tests: running kstmon in a sandbox, a fake SmsServer,
lighttpd with the packaged configuration, curl and headless Chromium."""

import os
import re
import shutil
import socket
import stat
import subprocess
import tempfile
import time

import kst

KSTMON = kst.binary("kstmon")
FAKE_SERVER = kst.binary("tests/kstmon/kstmon_fake_server")
LIGHTTPD = "/usr/sbin/lighttpd"
CHROMIUM = "/usr/bin/chromium"
CURL = "/usr/bin/curl"
PACKAGED_CONF = os.path.join(kst.SOURCE_DIR, "packaging", "lighttpd-kstmon.conf")
ARTIFACTS = os.path.join(kst.BUILD_DIR, "tests", "artifacts")

HTML_HEADER = b"Content-Type: text/html; charset=windows-1250\r\n\r\n"


class Run:
    """A finished kstmon run: exit status and raw output."""

    def __init__(self, process):
        self.returncode = process.popen.returncode
        with open(process.out_path, "rb") as f:
            self.raw = f.read()
        self.stdout = self.raw.decode("latin-1")
        self.stderr = process.stderr()


def run_kstmon(sandbox, args=(), env=None, inside=False, timeout=60):
    """Runs kstmon to its end, in a new namespace of the sandbox (or inside
    the running daemon's namespace with `inside`)."""
    argv = [KSTMON] + list(args)
    process = sandbox.start_inside(argv, env) if inside else sandbox.start(argv, env, tag="kstmon")
    process.wait(timeout)
    return Run(process)


def wait_syslog(sandbox, text, timeout=5):
    """Waits for a syslog message of kstmon whose text, without its trailing
    newline, is `text`; returns the message."""
    def find():
        for message in sandbox.syslog.messages():
            if message["ident"] == "kstmon" and message["text"].rstrip("\n") == text:
                return message
        return None
    return kst.wait_until(find, timeout, what="syslog line %r" % text)


class FakeServer:
    """The test peer that serves SmsServer with chosen statistics; it writes
    its IOR into the sandbox's /tmp/kstd.ior."""

    def __init__(self, sandbox, **settings):
        argv = [FAKE_SERVER, "--ior", sandbox.ior_path]
        for key, value in settings.items():
            argv += ["--" + key.replace("_", "-"), str(value)]
        self.log = open(os.path.join(sandbox.root, "fake-server-%d.log" % id(self)), "w+")
        environment = dict(os.environ)
        environment.update(kst.ORB_ENV)
        self.popen = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.log, text=True,
                                      env=environment)
        line = self.popen.stdout.readline()
        if line != "ready\n":
            self.stop()
            raise AssertionError("fake server did not start: %r" % line)
        with open(sandbox.ior_path) as f:
            self.ior = f.read()

    def stop(self):
        if self.popen.poll() is None:
            self.popen.terminate()
            kst.wait_or_kill(self.popen, 20)
        self.popen.stdout.close()
        if self.popen.returncode != 0:
            self.log.seek(0)
            print("fake server ended with %d:\n%s" % (self.popen.returncode, self.log.read()))
        self.log.close()
        return self.popen.returncode


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# A 1x1 GIF, standing in for the page's picture.
_GIF = bytes.fromhex("47494638396101000100800000ffffff00000021f90401000000002c00000000"
                     "010001000002024401003b")


def _reachable_by_others(path):
    """Whether a user other than the owners may reach and run `path`."""
    path = os.path.realpath(path)
    parts = path.split(os.sep)
    for i in range(2, len(parts)):
        if not os.stat(os.sep.join(parts[:i])).st_mode & stat.S_IXOTH:
            return False
    return os.stat(path).st_mode & (stat.S_IROTH | stat.S_IXOTH) == (stat.S_IROTH | stat.S_IXOTH)


class WebServer:
    """lighttpd with the packaged configuration, its site settings pointed at
    the sandbox and a free loopback port, serving the kstmon of the build.

    It runs as the configured www-data, unless the build tree lies where that
    user cannot reach it (a checkout in a private home directory): then it
    stays root, the configuration's user lines removed (KSTMON_WEB_AS_ROOT=1
    in the environment forces that)."""

    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.dir = os.path.join(sandbox.root, "www")
        self.docroot = os.path.join(self.dir, "htdocs")
        self.logdir = os.path.join(self.dir, "logs")
        os.makedirs(os.path.join(self.docroot, "kst", "img"))
        os.makedirs(self.logdir)
        # Only kstmon lives in the program directory.
        self.cgidir = os.path.join(self.dir, "cgi-bin")
        os.makedirs(self.cgidir)
        os.symlink(KSTMON, os.path.join(self.cgidir, "kstmon"))
        with open(os.path.join(self.docroot, "kst", "img", "statistika_pripojeni.gif"), "wb") as f:
            f.write(_GIF)
        # lighttpd runs as www-data: it must reach the site and write its logs.
        os.chmod(sandbox.root, 0o755)
        for d in (self.dir, self.docroot, self.cgidir):
            os.chmod(d, 0o755)
        shutil.chown(self.logdir, "www-data", "www-data")
        self.as_www_data = (os.environ.get("KSTMON_WEB_AS_ROOT") is None
                            and _reachable_by_others(KSTMON) and _reachable_by_others(self.dir))
        self.process = None
        self.port = None

    def config(self, port):
        with open(PACKAGED_CONF) as f:
            text = f.read()
        settings = {"kst_bind": '"127.0.0.1"', "kst_port": str(port),
                    "kst_docroot": '"%s"' % self.docroot,
                    "kst_cgi": '"%s"' % os.path.join(self.cgidir, "kstmon"),
                    "kst_log_dir": '"%s"' % self.logdir}
        for name, value in settings.items():
            text, count = re.subn(r"(?m)^var\.%s\s*=.*$" % name, "var.%s = %s" % (name, value), text)
            if count != 1:
                raise AssertionError("the packaged configuration has no var.%s" % name)
        if not self.as_www_data:
            text, count = re.subn(r"(?m)^server\.(username|groupname)\s*=.*$", "", text)
            if count != 2:
                raise AssertionError("the packaged configuration sets no user and group")
        path = os.path.join(self.dir, "lighttpd-%d.conf" % port)
        with open(path, "w") as f:
            f.write(text)
        return path

    def start(self, inside=False):
        """Starts lighttpd in a new namespace of the sandbox, or inside the
        running daemon's namespace; retries on another port if one is taken."""
        for _ in range(3):
            port = free_port()
            argv = [LIGHTTPD, "-D", "-f", self.config(port)]
            process = (self.sandbox.start_inside(argv, tag="lighttpd") if inside
                       else self.sandbox.start(argv, tag="lighttpd"))
            if self._wait_listening(process, port):
                self.process, self.port = process, port
                return self
            process.stop()
        raise AssertionError("lighttpd did not start: %s%s" % (process.output(), self.error_log()))

    @staticmethod
    def _wait_listening(process, port, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not process.running():
                return False
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1):
                    return True
            except OSError:
                time.sleep(0.1)
        return False

    def url(self, path="/cgi-bin/kstmon"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _read_log(self, name):
        path = os.path.join(self.logdir, name)
        if not os.path.exists(path):
            return ""
        with open(path, encoding="latin-1") as f:
            return f.read()

    def error_log(self):
        return self._read_log("kstmon-error.log")

    def cgi_log(self):
        """What CGI programs wrote to standard error."""
        return self._read_log("kstmon-cgi.log")

    def access_log(self):
        return self._read_log("kstmon-access.log")

    def stop(self):
        if self.process is not None:
            self.process.stop()


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body


def curl(url, data=None, timeout=60):
    """Fetches `url` (POSTing `data` if given); returns the status, the
    headers (lower-case names) and the raw body."""
    with tempfile.TemporaryDirectory(dir=kst.BUILD_DIR) as scratch:
        headers_path = os.path.join(scratch, "headers")
        body_path = os.path.join(scratch, "body")
        argv = [CURL, "-sS", "--max-time", str(timeout), "-D", headers_path, "-o", body_path]
        if data is not None:
            argv += ["--data-binary", data]
        argv.append(url)
        result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout + 10)
        if result.returncode != 0:
            raise AssertionError("curl %s failed: %s" % (url, result.stderr))
        with open(headers_path, "rb") as f:
            lines = f.read().decode("latin-1").split("\r\n")
        with open(body_path, "rb") as f:
            body = f.read()
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            headers[name.strip().lower()] = value.strip()
    return Response(status, headers, body)


_CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def _chromium(sandbox, extra, url, timeout=120):
    profile = tempfile.mkdtemp(prefix="chromium-", dir=sandbox.root)
    try:
        argv = [CHROMIUM] + _CHROMIUM_FLAGS + ["--user-data-dir=" + profile] + extra + [url]
        result = subprocess.run(argv, capture_output=True, timeout=timeout,
                                stdin=subprocess.DEVNULL)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if result.returncode != 0:
        raise AssertionError("chromium failed (%d): %s" % (result.returncode,
                                                           result.stderr.decode("utf-8", "replace")[-2000:]))
    return result


def rendered_dom(sandbox, url):
    """The DOM of the page after Chromium has loaded it."""
    return _chromium(sandbox, ["--dump-dom"], url).stdout.decode("utf-8")


def screenshot(sandbox, url, name, size=(900, 700)):
    """Saves a screenshot of the page as build/tests/artifacts/NAME.png and
    returns its path."""
    os.makedirs(ARTIFACTS, exist_ok=True)
    path = os.path.join(ARTIFACTS, name + ".png")
    if os.path.exists(path):
        os.unlink(path)
    _chromium(sandbox, ["--screenshot=" + path, "--window-size=%d,%d" % size, "--hide-scrollbars"], url)
    with open(path, "rb") as f:
        if f.read(8) != b"\x89PNG\r\n\x1a\n":
            raise AssertionError("%s is no PNG" % path)
    return path


def pre_text(dom):
    """The text of the page's <pre> block as the DOM has it (the parser drops
    the newline right after <pre>)."""
    match = re.search(r"<pre>(.*?)</pre>", dom, re.S)
    if not match:
        raise AssertionError("no <pre> in the page: %s" % dom)
    return match.group(1)
