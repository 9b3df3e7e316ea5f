"""A real SMTP server for tests and demonstrations: Debian's aiosmtpd on a
free loopback port, with the capturing handler of tests/smtp/capture.py.

    with SmtpServer() as smtp:
        ... point the mailer at 127.0.0.1:smtp.port ...
        mail = smtp.wait_for_messages(1)[0]
        mail.mail_from, mail.rcpt_tos, mail.raw     # envelope, bytes as received
        mail["Subject"], mail.body                  # parsed headers and body
        mail.received_at                            # time.time() of its arrival

A recipient beginning with `refuse_prefix` is refused (550); every RCPT
address the client named is in rcpt_log().
"""

import email
import email.policy
import os
import socket
import subprocess
import time

from kst import ScratchPeer, wait_or_kill

PYTHON = "/usr/bin/python3"
# The handler module (capture.py) lives with the SMTP client's tests.
HANDLER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "smtp")


class SmtpServerError(AssertionError):
    pass


class Message:
    """One message as the server received it."""

    def __init__(self, directory):
        self.name = os.path.basename(directory)
        # When its last file was written, before the server answered 250.
        self.received_at = os.stat(directory).st_mtime
        with open(os.path.join(directory, "from"), "r", encoding="latin-1") as f:
            self.mail_from = f.read()
        with open(os.path.join(directory, "rcpt"), "r", encoding="latin-1") as f:
            self.rcpt_tos = [line for line in f.read().split("\n") if line]
        with open(os.path.join(directory, "content"), "rb") as f:
            self.raw = f.read()
        self.parsed = email.message_from_bytes(self.raw, policy=email.policy.compat32)

    def __getitem__(self, header):
        return self.parsed[header]

    def headers(self):
        """(name, value) pairs in the order received."""
        return list(self.parsed.items())

    @property
    def body(self):
        """The body as text, line ends as sent (CRLF from the wire kept)."""
        payload = self.parsed.get_payload(decode=True)
        if payload is None:
            payload = self.parsed.get_payload().encode("latin-1")
        return payload.decode("latin-1")

    def __repr__(self):
        return "<Message %s from %r to %r>" % (self.name, self.mail_from, self.rcpt_tos)


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _can_connect(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class SmtpServer(ScratchPeer):
    """One aiosmtpd process; stopped by stop() or on leaving a with block."""

    def __init__(self, refuse_prefix="", workdir=None, start_timeout=20.0):
        self._make_workdir(workdir, "smtp-")
        self.mail_dir = os.path.join(self.workdir, "mail")
        os.makedirs(self.mail_dir, exist_ok=True)
        self.err_path = os.path.join(self.workdir, "aiosmtpd.err")
        self.process = None
        self.port = None
        environment = dict(os.environ)
        environment["PYTHONPATH"] = HANDLER_DIR + (
            os.pathsep + environment["PYTHONPATH"] if environment.get("PYTHONPATH") else "")
        environment["PYTHONDONTWRITEBYTECODE"] = "1"
        # The free port may be taken by someone else before aiosmtpd binds
        # it: then try another.
        for _ in range(3):
            port = _free_port()
            argv = [PYTHON, "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:%d" % port,
                    "-c", "capture.Capture", self.mail_dir]
            if refuse_prefix:
                argv.append(refuse_prefix)
            with open(self.err_path, "ab") as err:
                process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                           env=environment, start_new_session=True)
            deadline = time.monotonic() + start_timeout
            while process.poll() is None and time.monotonic() < deadline:
                if _can_connect(port):
                    self.process, self.port = process, port
                    return
                time.sleep(0.05)
            if process.poll() is None:
                process.kill()
            process.wait(10)
        raise SmtpServerError("aiosmtpd did not start: %s" % self.stderr())

    # ---------------------------------------------------------- messages

    def messages(self):
        """Every complete message so far, in the order received."""
        names = sorted(name for name in os.listdir(self.mail_dir)
                       if name.startswith("mail-") and "." not in name)
        return [Message(os.path.join(self.mail_dir, name)) for name in names]

    def wait_for_messages(self, count, timeout=15.0):
        """Waits until at least `count` messages have arrived; returns all."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.messages()
            if len(found) >= count:
                return found
            if self.process.poll() is not None:
                raise SmtpServerError("aiosmtpd ended (%s): %s" % (self.process.returncode, self.stderr()))
            if time.monotonic() >= deadline:
                raise SmtpServerError("timed out after %.1f s waiting for %d message(s), have %d"
                                      % (timeout, count, len(found)))
            time.sleep(0.05)

    def rcpt_log(self):
        """Every RCPT address the clients named, refused ones too."""
        try:
            with open(os.path.join(self.mail_dir, "rcpt.log"), "r", encoding="latin-1") as f:
                return [line for line in f.read().split("\n") if line]
        except FileNotFoundError:
            return []

    # ---------------------------------------------------------- life

    def stop(self):
        """Stops the server; returns its exit status."""
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            wait_or_kill(self.process)
        return self.process.returncode if self.process is not None else None
