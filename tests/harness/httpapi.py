"""A client of the daemon's HTTP interface for the tests, on Python's
http.client (keep-alive over one connection), and curl for what the tests
want from a second, independent client.

    api = HttpApi(port, key="test-key-1")
    status, headers, body = api.request("POST", "/v1/messages", {"to": ..., "text": ...})
    api.json("GET", "/v1/messages/12")  -> (status, parsed body)

CallbackEndpoint is the other side: a loopback server that takes the
daemon's delivery callbacks.
"""

import http.client
import http.server
import json
import subprocess
import threading
import time


class HttpApi:
    def __init__(self, port, key="test-key-1", host="127.0.0.1", timeout=30, context=None):
        self.host = host
        self.port = port
        self.key = key
        self.timeout = timeout
        self.context = context
        self._connection = None

    def _connect(self):
        if self._connection is None:
            if self.context is not None:
                self._connection = http.client.HTTPSConnection(self.host, self.port, timeout=self.timeout,
                                                               context=self.context)
            else:
                self._connection = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout)
        return self._connection

    def close(self):
        if self._connection is not None:
            self._connection.close()
            self._connection = None

    def request(self, method, path, body=None, headers=None, key=True, content_type="application/json"):
        """One request; `body` is JSON-encoded unless it is bytes or str.
        Returns (status, headers as a lower-cased dict, body bytes). The
        connection is opened again when the server closed it."""
        sent_headers = {}
        if key:
            sent_headers["Authorization"] = "Bearer %s" % (self.key if key is True else key)
        if body is not None:
            if not isinstance(body, (bytes, str)):
                body = json.dumps(body)
            if isinstance(body, str):
                body = body.encode("utf-8")
            if content_type:
                sent_headers["Content-Type"] = content_type
        sent_headers.update(headers or {})
        for attempt in (1, 2):
            connection = self._connect()
            try:
                connection.request(method, path, body=body, headers=sent_headers)
                response = connection.getresponse()
                data = response.read()
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                self.close()
                if attempt == 2:
                    raise
                continue
            answer_headers = {name.lower(): value for name, value in response.getheaders()}
            if answer_headers.get("connection", "").lower() == "close":
                self.close()
            return response.status, answer_headers, data
        raise AssertionError("unreachable")

    def json(self, method, path, body=None, **options):
        status, headers, data = self.request(method, path, body, **options)
        return status, (json.loads(data) if data else None)

    def metrics(self, key=True):
        """The metrics as {sample name with labels: value}."""
        status, _, data = self.request("GET", "/metrics", key=key)
        if status != 200:
            raise AssertionError("GET /metrics: %d %r" % (status, data[:200]))
        samples = {}
        for line in data.decode("utf-8").splitlines():
            if line and not line.startswith("#"):
                name, _, value = line.rpartition(" ")
                samples[name] = float(value)
        return samples


def curl(args, timeout=60):
    """Runs curl with `args`, returning (HTTP status, body bytes); the status
    comes from --write-out on the last line."""
    done = subprocess.run(["curl", "--silent", "--show-error", "--max-time", str(timeout),
                           "--write-out", "\n%{http_code}"] + list(args),
                          capture_output=True, timeout=timeout + 10)
    out = done.stdout
    body, _, code = out.rpartition(b"\n")
    if done.returncode != 0 and not code.strip().isdigit():
        raise AssertionError("curl failed (%d): %s" % (done.returncode, done.stderr.decode("latin-1")))
    return int(code or 0), body


class CallbackEndpoint:
    """A loopback HTTP server that takes delivery callbacks: it refuses the
    first `refusals` POSTs with 500 and answers 204 to the later ones, and
    records each (path, headers, body, answered status, time)."""

    def __init__(self, refusals=0):
        self.refusals = refusals
        self.posts = []
        self.lock = threading.Lock()
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                with endpoint.lock:
                    status = 500 if len(endpoint.posts) < endpoint.refusals else 204
                    self.send_response(status)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    endpoint.posts.append({"path": self.path, "headers": dict(self.headers), "body": body,
                                           "status": status, "at": time.monotonic()})

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def taken(self):
        with self.lock:
            return list(self.posts)

    def close(self):
        self.server.shutdown()
        self.server.server_close()
