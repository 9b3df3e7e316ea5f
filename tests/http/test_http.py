"""The HTTP interface of the real kstd, connected to the SMSC simulator:
submissions through curl and http.client followed to their delivery, every
error status with nothing queued, the metrics as promtool reads them,
idempotent retries across a restart, HTTPS with a certificate the test makes,
delivery callbacks to endpoints the test runs, and the configuration errors
that end the start."""

import hashlib
import hmac
import http.server
import json
import os
import select
import signal
import socket
import sqlite3
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.environ.get("KST_SOURCE_DIR", "."), "tests", "emisender"))

from emisender_support import EmiDaemonTestCase, log_records, main  # noqa: E402
from httpapi import CallbackEndpoint, HttpApi, curl  # noqa: E402
from kst import basic_ini, free_port, http_section, wait_until  # noqa: E402

KEY = "test-key-1"
TEXT_200 = "".join(chr(ord("a") + i % 26) for i in range(200))


class HttpTestCase(EmiDaemonTestCase):
    """A daemon with "[HTTP]" on a loopback port; self.api talks to it."""

    def start_http(self, http_extra=None, sections="", port=None, emi=None, wrapper=()):
        text, self.port = http_section(self.sandbox, keys=(KEY, "second-key"), port=port, extra=http_extra)
        self.http_sections = text + sections
        self.start_daemon(emi=emi, sections=self.http_sections, wrapper=wrapper)
        self.api = HttpApi(self.port, key=KEY)
        self.addCleanup(self.api.close)

    def restart(self):
        self.api.close()
        self.assertEqual(self.kstd.stop(timeout=60), 0)
        self.start_daemon(sections=self.http_sections)

    def reconnect(self):
        self.api = HttpApi(self.port, key=KEY)
        self.addCleanup(self.api.close)

    def kill9_and_start(self):
        """kill -9, then a new start; returns when the old process was gone."""
        self.api.close()
        self.kstd.signal(signal.SIGKILL)
        self.kstd.wait(10)
        killed = time.monotonic()
        if os.path.exists(self.sandbox.ior_path):
            os.unlink(self.sandbox.ior_path)
        self.start_daemon(sections=self.http_sections)
        self.reconnect()
        return killed

    def submit(self, body, headers=None):
        return self.api.json("POST", "/v1/messages", body, headers=headers)

    def accepted(self):
        return self.api.metrics().get("kestrova_messages_accepted_total")


class Submission(HttpTestCase):
    def test_two_numbers_and_a_long_text_give_four_ids_followed_to_delivered(self):
        self.start_http()
        # curl: two numbers as one string, 200 characters (two parts each).
        body = json.dumps({"to": "+420602111222, +420602333444", "text": TEXT_200,
                           "notify_email": "jana@example.org", "client_ref": "order-17"})
        status, data = curl(["-H", "Authorization: Bearer " + KEY, "-H", "Content-Type: application/json",
                             "--data-binary", body, "http://127.0.0.1:%d/v1/messages" % self.port])
        self.assertEqual(status, 202, data)
        messages = json.loads(data)["messages"]
        self.assertEqual([(m["to"], m["part"], m["parts"]) for m in messages],
                         [("+420602111222", 1, 2), ("+420602111222", 2, 2),
                          ("+420602333444", 1, 2), ("+420602333444", 2, 2)])
        ids = [m["id"] for m in messages]
        self.assertTrue(all(isinstance(i, str) and i.isdigit() for i in ids))
        self.assertEqual(len(set(ids)), 4)

        # The SMSC gets the four parts; each is followed to "delivered" by
        # the simulator's notification.
        subs = self.sim.wait_for(lambda: len(self.sim.submissions()) >= 4 and self.sim.submissions(),
                                 what="four submissions")
        self.assertEqual(sorted(s["text"][:4] for s in subs), ["1/2 ", "1/2 ", "2/2 ", "2/2 "])

        def state(message_id):
            status, record = self.api.json("GET", "/v1/messages/" + message_id)
            self.assertEqual(status, 200, record)
            return record

        record = wait_until(lambda: (lambda r: r if r["state"] == "delivered" else None)(state(ids[0])), 30,
                            interval=0.2, what="message %s delivered" % ids[0])
        self.assertEqual((record["id"], record["to"], record["part"], record["parts"]),
                         (ids[0], "+420602111222", 1, 2))
        self.assertEqual(record["sender"], "Sender thread(EMI)")
        self.assertEqual(record["client_ref"], "order-17")
        self.assertEqual(record["notification_status"], 0)
        for step in ("accepted_at", "submitted_at", "acknowledged_at", "notified_at", "finished_at"):
            self.assertRegex(record[step] or "", r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$", step)

        # The caller's reference lists the four, through http.client.
        status, listed = self.api.json("GET", "/v1/messages?client_ref=order-17")
        self.assertEqual(status, 200)
        self.assertEqual([m["id"] for m in listed["messages"]], ids)
        status, listed = self.api.json("GET", "/v1/messages?client_ref=nobody")
        self.assertEqual((status, listed["messages"]), (200, []))

        # UTF-8 arrives as the remote interface's ISO-8859-2 would: the same
        # transliteration; a character ISO-8859-2 lacks becomes "?" (or its
        # transliteration), and an array of numbers works like the string.
        status, answer = self.submit({"to": ["602555666"], "text": "Příliš žluťoučký kůň ☃", "flash": True})
        self.assertEqual(status, 202, answer)
        sub = self.sim.wait_for(lambda: [s for s in self.sim.submissions() if s["AdC"].endswith("602555666")],
                                what="the transliterated submission")[0]
        self.assertEqual(sub["text"], "Prilis zlutoucky kun ?")
        self.assertEqual(self.accepted(), 5)


class Errors(HttpTestCase):
    def test_every_error_status_queues_nothing(self):
        self.start_http(http_extra={"MaxBodyBytes": "4096"}, sections="[Limits]\nMaxQueued = 3\n")
        good = {"to": "+420602111222", "text": "hello", "client_ref": "err"}
        cases = [
            ("not JSON", "{to:", {}, 400, None),
            ("not an object", [1, 2], {}, 400, None),
            ("no destination", {"text": "x"}, {}, 400, "to"),
            ("empty destination", dict(good, to=" , "), {}, 400, "to"),
            ("bad number", dict(good, to=["+420602111222", "12ab"]), {}, 400, "to"),
            ("number as a list of numbers", dict(good, to=[420602111222]), {}, 400, "to"),
            ("no text", {"to": "1234"}, {}, 400, "text"),
            ("text too long", dict(good, text="x" * 800), {}, 400, "text"),
            ("flash not boolean", dict(good, flash="yes"), {}, 400, "flash"),
            ("mail with a line feed", dict(good, notify_email="a@b\nBcc: c@d"), {}, 400, "notify_email"),
            ("callback not http", dict(good, callback_url="ftp://x"), {}, 400, "callback_url"),
            ("unknown member", dict(good, flsh=True), {}, 400, "flsh"),
            ("bad idempotency key", good, {"Idempotency-Key": "a b"}, 400, "Idempotency-Key"),
            ("queue limit", dict(good, to="111,222,333,444"), {}, 503, None),
        ]
        for name, body, headers, expected, field in cases:
            with self.subTest(name):
                status, headers_out, data = self.api.request("POST", "/v1/messages", body, headers=headers)
                self.assertEqual(status, expected, data)
                self.assertEqual(headers_out["content-type"], "application/problem+json")
                problem = json.loads(data)
                self.assertTrue(problem["type"] and problem["title"] and problem["detail"], problem)
                if field:
                    self.assertEqual(problem.get("field"), field, problem)

        # 401: no key, a wrong key, a key of another scheme; 404, 405, 415.
        for key in (False, "wrong-key", "test-key-"):
            status, headers_out, data = self.api.request("POST", "/v1/messages", good, key=key)
            self.assertEqual(status, 401, data)
            self.assertEqual(headers_out.get("www-authenticate"), "Bearer")
        status, _, _ = self.api.request("GET", "/v1/status", headers={"Authorization": "Basic " + KEY}, key=False)
        self.assertEqual(status, 401)
        self.assertEqual(self.api.request("GET", "/v1/nothing")[0], 404)
        self.assertEqual(self.api.request("GET", "/v1/messages/999999")[0], 404)
        self.assertEqual(self.api.request("GET", "/v1/messages/12x")[0], 404)
        status, headers_out, _ = self.api.request("DELETE", "/v1/messages")
        self.assertEqual((status, headers_out.get("allow")), (405, "GET, POST"))
        self.assertEqual(self.api.request("PUT", "/v1/status")[0], 405)
        self.assertEqual(self.api.request("POST", "/v1/messages", "to=1&text=x",
                                          content_type="application/x-www-form-urlencoded")[0], 415)
        self.assertEqual(self.api.request("POST", "/v1/messages", json.dumps(good), content_type=None)[0], 415)
        self.assertEqual(self.api.request("GET", "/v1/messages")[0], 400)

        # 413: a body of 10 MB is refused by its length, unread; sent
        # without a length, the connection is closed once it passes the limit.
        big = os.path.join(self.sandbox.root, "big.json")
        with open(big, "w") as f:
            f.write('{"to": "1234", "text": "' + "x" * (10 << 20) + '"}')
        url = "http://127.0.0.1:%d/v1/messages" % self.port
        auth = ["-H", "Authorization: Bearer " + KEY, "-H", "Content-Type: application/json"]
        status, data = curl(auth + ["-H", "Expect: 100-continue", "--data-binary", "@" + big, url])
        self.assertEqual(status, 413, data)
        self.assertEqual(json.loads(data)["title"], "Payload Too Large")
        # No final answer: curl shows nothing or the "100 Continue" it had.
        status, _ = curl(auth + ["-H", "Transfer-Encoding: chunked", "--data-binary", "@" + big, url])
        self.assertIn(status, (0, 100))

        # Nothing of all that was queued or sent; the daemon still answers.
        status, listed = self.api.json("GET", "/v1/messages?client_ref=err")
        self.assertEqual((status, listed["messages"]), (200, []))
        self.assertEqual(self.accepted(), 0)
        status, stats = self.api.json("GET", "/v1/status")
        self.assertEqual((status, stats["queue_length"]), (200, 0))
        self.assertEqual(self.sim.submissions(), [])
        self.assertEqual(self.stats().get("queued"), "0")
        # The refused queue limit has its error record, as SendSms's has.
        titles = [lines[0] for _, lines in log_records(self.log("error.log"))]
        self.assertIn("SMS refused: send queue full", titles)

        # A good request afterwards is queued: the counting works.
        status, answer = self.submit(good)
        self.assertEqual(status, 202, answer)
        self.assertEqual(self.accepted(), 1)

    def test_connections_past_the_limit_are_closed_and_the_rest_still_serves(self):
        # 64 connections from one address are kept (all of them before any
        # request, as a flood would); more are closed as they come.
        self.start_http()
        held = []
        self.addCleanup(lambda: [s.close() for s in held])
        for _ in range(80):
            held.append(socket.create_connection(("127.0.0.1", self.port), timeout=5))

        def closed_count():
            readable, _, _ = select.select(held, [], [], 0.5)
            count = 0
            for sock in readable:
                try:
                    count += sock.recv(1) == b""
                except ConnectionResetError:
                    count += 1
            return count if count >= 16 else None

        refused = wait_until(closed_count, 10, interval=0.2, what="connections past the limit closed")
        self.assertEqual(refused, 16)
        # CORBA is not touched by it, and the daemon still queues.
        self.kstsend("+420602111222", "still here")
        for s in held:
            s.close()
        held.clear()
        status, answer = self.submit({"to": "+420602111222", "text": "after the flood"})
        self.assertEqual(status, 202, answer)
        self.assertEqual(self.accepted(), 2)


class StoreFull(HttpTestCase):
    def test_a_store_that_cannot_take_the_messages_gives_503_and_queues_nothing(self):
        # The store keeps 8 MiB free for the messages it holds: on a file
        # system of 8 MiB no new message fits.
        small = ["/bin/sh", "-c", 'mount -t tmpfs -o size=8m tmpfs /var/lib/kst && exec "$@"', "sh"]
        self.start_http(wrapper=small)
        body = {"to": "602111222", "text": "no room", "client_ref": "full"}
        for headers in ({}, {"Idempotency-Key": "full-1"}):
            status, answer_headers, data = self.api.request("POST", "/v1/messages", body, headers=headers)
            self.assertEqual(status, 503, data)
            self.assertEqual(answer_headers["content-type"], "application/problem+json")
            self.assertIn("cannot store the messages", json.loads(data)["detail"])
            self.assertIn("retry-after", answer_headers)
        self.assertIn("SMS refused: cannot store the messages",
                      [lines[0] for _, lines in log_records(self.log("error.log"))])
        self.assertEqual(self.accepted(), 0)
        self.assertEqual(self.api.json("GET", "/v1/status")[1]["queue_length"], 0)
        self.assertEqual(self.sim.submissions(), [])


class Metrics(HttpTestCase):
    def test_promtool_accepts_the_metrics_and_the_counters_move(self):
        self.start_http()
        # On loopback /metrics needs no key; the rest does.
        status, _, before = self.api.request("GET", "/metrics", key=False)
        self.assertEqual(status, 200)
        self.assertEqual(self.api.request("GET", "/v1/status", key=False)[0], 401)
        checked = subprocess.run(["promtool", "check", "metrics"], input=before, capture_output=True, timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

        status, answer = self.submit({"to": ["111222333", "444555666"], "text": "metrics",
                                      "notify_email": "m@example.org"})
        self.assertEqual(status, 202, answer)
        wait_until(lambda: self.api.metrics().get("kestrova_messages_delivered_total") == 2, 30, interval=0.2,
                   what="two deliveries counted")
        samples = self.api.metrics()
        self.assertEqual(samples["kestrova_messages_accepted_total"], 2)
        self.assertEqual(samples["kestrova_messages_submitted_total"], 2)
        self.assertEqual(samples["kestrova_messages_acknowledged_total"], 2)
        self.assertEqual(samples["kestrova_messages_refused_total"], 0)
        self.assertEqual(samples['kestrova_sender_active{sender="Sender thread(EMI)"}'], 1)
        self.assertEqual(samples['kestrova_sender_connected{sender="Sender thread(EMI)"}'], 1)
        self.assertEqual(samples["kestrova_accept_latency_seconds_count"], 1)
        self.assertEqual(samples['kestrova_accept_latency_seconds_bucket{le="+Inf"}'], 1)
        self.assertEqual(samples["kestrova_acknowledgement_latency_seconds_count"], 2)
        self.assertEqual(samples["kestrova_notification_latency_seconds_count"], 2)
        wait_until(lambda: self.api.metrics().get("kestrova_confirmations_mailed_total") == 2, 30, interval=0.2,
                   what="two confirmations counted")
        # A message through the remote interface counts as well.
        self.kstsend("777888999", "through CORBA")
        wait_until(lambda: self.api.metrics().get("kestrova_messages_acknowledged_total") == 3, 30, interval=0.2,
                   what="the CORBA message counted")
        self.assertEqual(self.api.metrics()["kestrova_messages_accepted_total"], 3)
        status, _, after = self.api.request("GET", "/metrics")
        checked = subprocess.run(["promtool", "check", "metrics"], input=after, capture_output=True, timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

        status, stats = self.api.json("GET", "/v1/status")
        self.assertEqual(status, 200)
        self.assertEqual(stats["sent"], 3)
        self.assertEqual(stats["senders"], [{"name": "Sender thread(EMI)", "status": "active"}])
        self.assertEqual(str(stats["sent"]), self.stats()["sent"])


class Idempotency(HttpTestCase):
    def test_a_retry_queues_once_also_across_a_restart(self):
        self.start_http()
        body = {"to": "602111222,602333444", "text": "only once", "client_ref": "idem"}
        key = {"Idempotency-Key": "order-17-attempt"}
        status, headers, first = self.api.request("POST", "/v1/messages", body, headers=key)
        self.assertEqual(status, 202, first)
        status, headers, second = self.api.request("POST", "/v1/messages", body, headers=key)
        self.assertEqual((status, second), (202, first))
        self.assertEqual(headers.get("idempotent-replayed"), "true")
        # Another caller's key of the same name is another key.
        other = HttpApi(self.port, key="second-key")
        self.addCleanup(other.close)
        status, _, third = other.request("POST", "/v1/messages", body, headers=key)
        self.assertEqual(status, 202)
        self.assertNotEqual(third, first)
        # The same key with another body is refused, nothing queued.
        status, _, data = self.api.request("POST", "/v1/messages", dict(body, text="changed"), headers=key)
        self.assertEqual(status, 422, data)
        self.sim.wait_for(lambda: len(self.sim.submissions()) >= 4, what="four submissions")
        self.assertEqual(self.accepted(), 4)

        self.restart()
        self.api = HttpApi(self.port, key=KEY)
        self.addCleanup(self.api.close)
        status, headers, again = self.api.request("POST", "/v1/messages", body, headers=key)
        self.assertEqual((status, again), (202, first))
        self.assertEqual(self.accepted(), 0, "nothing accepted since the restart")
        status, listed = self.api.json("GET", "/v1/messages?client_ref=idem")
        self.assertEqual(len(listed["messages"]), 4)
        self.assertEqual(len(self.sim.submissions()), 4)


    def test_a_retry_after_a_kill_gets_the_first_answer_and_each_message_goes_once(self):
        self.start_http()
        # The SMSC refuses logins from now on: the messages stay queued
        # until the new start, so that each reaches it exactly once.
        self.sim.set_mode(login="nack")
        self.sim.drop()
        self.sim.wait_for(lambda: self.sim.counts()["login_failures"] >= 1, timeout=30,
                          what="a refused login", interval=0.1)
        body = {"to": "602111222,602333444", "text": TEXT_200, "client_ref": "killed"}
        key = {"Idempotency-Key": "order-18-attempt"}
        status, _, first = self.api.request("POST", "/v1/messages", body, headers=key)
        self.assertEqual(status, 202, first)
        ids = [m["id"] for m in json.loads(first)["messages"]]
        self.assertEqual(len(ids), 4)
        # kill -9 right after the answer; the retry after the new start
        # gets that answer, byte for byte, and queues nothing.
        self.sim.set_mode(login="ack")
        self.kill9_and_start()
        status, headers, again = self.api.request("POST", "/v1/messages", body, headers=key)
        self.assertEqual((status, again), (202, first))
        self.assertEqual(headers.get("idempotent-replayed"), "true")
        self.assertEqual(self.accepted(), 0, "nothing accepted since the restart")
        status, listed = self.api.json("GET", "/v1/messages?client_ref=killed")
        self.assertEqual([m["id"] for m in listed["messages"]], ids)
        # Each of the four parts reaches the SMSC once.
        self.sim.wait_for(lambda: len(self.sim.submissions()) >= 4, timeout=30, what="four submissions")
        self.wait_stat("queued", 0)
        time.sleep(1)
        sent = sorted((s["AdC"][-9:], s["text"][:4]) for s in self.sim.submissions())
        self.assertEqual(sent, sorted((adc, part) for adc in ("602111222", "602333444")
                                      for part in ("1/2 ", "2/2 ")), sent)


class Https(HttpTestCase):
    def test_self_signed_certificate(self):
        cert = os.path.join(self.sandbox.root, "cert.pem")
        key = os.path.join(self.sandbox.root, "key.pem")
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                               "-keyout", key, "-out", cert, "-subj", "/CN=127.0.0.1",
                               "-addext", "subjectAltName=IP:127.0.0.1"], capture_output=True, timeout=120)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.start_http(http_extra={"CertificateFile": cert, "KeyFile": key})
        url = "https://127.0.0.1:%d" % self.port
        status, data = curl(["--cacert", cert, "-H", "Authorization: Bearer " + KEY, url + "/v1/status"])
        self.assertEqual(status, 200, data)
        self.assertEqual(json.loads(data)["queue_length"], 0)
        status, data = curl(["--cacert", cert, "-H", "Authorization: Bearer " + KEY, "-H",
                             "Content-Type: application/json", "--data-binary",
                             '{"to": "602111222", "text": "over TLS"}', url + "/v1/messages"])
        self.assertEqual(status, 202, data)
        self.sim.wait_for(lambda: self.sim.submissions(), what="the submission")
        # Without the certificate the client refuses the server; plain HTTP
        # gets no answer.
        done = subprocess.run(["curl", "--silent", "--max-time", "20", url + "/v1/status"], timeout=40)
        self.assertNotEqual(done.returncode, 0)
        context = ssl.create_default_context(cafile=cert)
        api = HttpApi(self.port, key=KEY, context=context)
        self.addCleanup(api.close)
        self.assertEqual(api.json("GET", "/v1/status")[0], 200)


class SilentEndpoint:
    """Accepts TCP connections and never answers; counts the connections
    and those the client closed."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.opened = 0
        self.closed = 0
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.done.is_set():
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            with self.lock:
                self.opened += 1
            threading.Thread(target=self._hold, args=(connection,), daemon=True).start()

    def _hold(self, connection):
        connection.settimeout(0.2)
        with connection:
            while not self.done.is_set():
                try:
                    if not connection.recv(65536):
                        break
                except socket.timeout:
                    continue
                except OSError:
                    break
        with self.lock:
            self.closed += 1

    def open_connections(self):
        with self.lock:
            return self.opened - self.closed

    def close(self):
        self.done.set()
        self.thread.join(5)
        self.listener.close()


class Webhooks(HttpTestCase):
    SECRET = "whsec-test"

    def start_with_secret(self):
        self.start_http(http_extra={"WebhookSecret": self.SECRET})

    def endpoint(self, endpoint):
        self.addCleanup(endpoint.close)
        return endpoint

    def check_signed(self, post):
        """The signature verifies with the secret; the body as JSON."""
        expected = hmac.new(self.SECRET.encode(), post["body"], hashlib.sha256).hexdigest()
        self.assertEqual(post["headers"].get("X-Kestrova-Signature"), "sha256=" + expected)
        self.assertEqual(post["headers"].get("Content-Type"), "application/json")
        return json.loads(post["body"])

    def store_rows(self, sql):
        """Runs `sql` on the store of the stopped daemon."""
        db = sqlite3.connect(self.sandbox.store_path)
        try:
            with db:
                return db.execute(sql).fetchall()
        finally:
            db.close()

    def test_a_refused_callback_is_retried_and_taken_once_across_a_kill(self):
        endpoint = self.endpoint(CallbackEndpoint(refusals=3))
        self.start_with_secret()
        status, answer = self.submit({"to": "602111222", "text": "hook", "client_ref": "hooked",
                                      "callback_url": endpoint.url + "/hooks/kst?token=abc"})
        self.assertEqual(status, 202, answer)
        message_id = answer["messages"][0]["id"]

        # The first attempt is refused; kill -9 before the next one.
        wait_until(lambda: endpoint.taken(), 30, interval=0.02, what="the first callback")
        killed = self.kill9_and_start()

        wait_until(lambda: any(p["status"] == 204 for p in endpoint.taken()), 60, interval=0.1,
                   what="the callback taken")
        wait_until(lambda: self.api.metrics().get("kestrova_webhooks_delivered_total") == 1, 10, interval=0.1,
                   what="the delivered callback counted")
        refused_since_restart = [p for p in endpoint.taken() if p["status"] == 500 and p["at"] > killed]
        self.assertEqual(self.api.metrics().get("kestrova_webhooks_failed_total"), len(refused_since_restart))
        self.api.close()
        self.assertEqual(self.kstd.stop(timeout=60), 0)

        # Three refusals and one delivery, nothing lost or sent twice; each
        # carries the message's JSON, signed with the secret.
        posts = endpoint.taken()
        self.assertEqual([p["status"] for p in posts], [500, 500, 500, 204])
        self.assertEqual({p["path"] for p in posts}, {"/hooks/kst?token=abc"})
        bodies = [self.check_signed(p) for p in posts]
        self.assertEqual({(b["id"], b["state"], b["client_ref"]) for b in bodies},
                         {(message_id, "delivered", "hooked")})
        self.assertEqual(self.store_rows("SELECT message_id, state FROM webhook"), [(int(message_id), 1)])

        # Another restart sends nothing again.
        self.start_daemon(sections=self.http_sections)
        self.reconnect()
        self.submit({"to": "602999888", "text": "after"})
        self.sim.wait_for(lambda: any(s["AdC"].endswith("602999888") for s in self.sim.submissions()),
                          what="a later message")
        time.sleep(2)
        self.assertEqual(len(endpoint.taken()), 4)
        self.assertEqual(self.api.metrics().get("kestrova_webhooks_delivered_total"), 0)

    def test_a_silent_endpoint_holds_up_no_other_callback_and_failures_have_theirs(self):
        silent = self.endpoint(SilentEndpoint())
        endpoint = self.endpoint(CallbackEndpoint())
        self.start_with_secret()
        status, answer = self.submit({"to": "602000001", "text": "to nobody", "callback_url": silent.url + "/x"})
        self.assertEqual(status, 202, answer)
        wait_until(lambda: silent.open_connections() > 0, 30, interval=0.05, what="the silent endpoint's connection")

        # Not delivered: the callback comes while the silent endpoint still
        # holds its transfer.
        self.sim.set_mode(notify_status=2)
        status, answer = self.submit({"to": "602000002", "text": "lost", "callback_url": endpoint.url + "/u"})
        undeliverable_id = answer["messages"][0]["id"]
        post = wait_until(lambda: endpoint.taken(), 30, interval=0.05, what="the undeliverable callback")[0]
        self.assertGreater(silent.open_connections(), 0, "the silent endpoint's transfer ended before")
        body = self.check_signed(post)
        self.assertEqual((body["id"], body["state"], body["notification_status"]),
                         (undeliverable_id, "undeliverable", 2))

        # Refused by the SMSC for good.
        self.sim.set_mode(notify_status=0, submit="nack", submit_error=2)
        status, answer = self.submit({"to": "602000003", "text": "refused", "callback_url": endpoint.url + "/r"})
        rejected_id = answer["messages"][0]["id"]
        posts = wait_until(lambda: (lambda p: p if len(p) >= 2 else None)(endpoint.taken()), 30, interval=0.05,
                           what="the rejected callback")
        body = self.check_signed(posts[1])
        self.assertEqual((body["id"], body["state"], body["smsc_error_code"]), (rejected_id, "rejected", 2))

        # The silent endpoint's transfer times out and counts as a failure;
        # the daemon stops (at the test's end) with a transfer under way.
        wait_until(lambda: self.api.metrics().get("kestrova_webhooks_failed_total", 0) >= 1, 30, interval=0.2,
                   what="the silent endpoint's failure counted")
        self.assertEqual(self.api.metrics().get("kestrova_webhooks_delivered_total"), 2)
        self.assertEqual([p["path"] for p in endpoint.taken()], ["/u", "/r"])

        # A day after it was made, a callback that still fails is given up
        # with a record naming the message and the host, not the URL's
        # query; the store keeps it as given up.
        self.api.close()
        self.assertEqual(self.kstd.stop(timeout=60), 0)
        silent_id = int(self.store_rows("SELECT message_id FROM webhook WHERE state = 0")[0][0])
        closed = "http://127.0.0.1:%d/gone?token=s3cret" % free_port()
        self.store_rows("UPDATE webhook SET url = '%s', created_at = created_at - 86400, next_attempt_at = 0"
                        " WHERE state = 0" % closed)
        self.start_daemon(sections=self.http_sections)
        self.reconnect()
        title = "ERROR: Delivery callback of message %d to 127.0.0.1 given up after" % silent_id
        self.wait_log_line("error.log", title, timeout=30)
        self.assertNotIn("s3cret", self.log("error.log"))
        self.assertEqual(self.api.metrics().get("kestrova_webhooks_failed_total"), 1)
        self.api.close()
        self.assertEqual(self.kstd.stop(timeout=60), 0)
        self.assertEqual(self.store_rows("SELECT message_id, state FROM webhook WHERE state != 1"), [(silent_id, 2)])


class Configuration(EmiDaemonTestCase):
    def run_with(self, http):
        self.sandbox.write_ini(basic_ini(self.sandbox, emi={"Address": "127.0.0.1", "Port": "1"}) + http)
        process = self.sandbox.run_kstd(timeout=60)
        return process.popen.returncode, [lines[0] for _, lines in log_records(self.log("error.log"))]

    def test_settings_that_would_open_or_break_the_interface_end_the_start(self):
        keys = os.path.join(self.sandbox.root, "keys")
        with open(keys, "w") as f:
            f.write("# no key yet\n\n")
        cases = [
            ("[HTTP]\nListen = 127.0.0.1:18080\n", "Missing HTTP/ApiKeysFile setting in INI file, exiting"),
            ("[HTTP]\nListen = 127.0.0.1:18080\nApiKeysFile = %s\n" % keys,
             "HTTP/ApiKeysFile %s holds no key, exiting" % keys),
            ("[HTTP]\nListen = 127.0.0.1:18080\nApiKeysFile = %s.missing\n" % keys,
             "Cannot read HTTP/ApiKeysFile %s.missing: No such file or directory, exiting" % keys),
            ("[HTTP]\nListen = 18080\nApiKeysFile = %s\n" % keys,
             "Invalid HTTP/Listen setting '18080' in INI file (host:port), exiting"),
        ]
        for http, record in cases:
            with self.subTest(record):
                status, titles = self.run_with(http)
                self.assertEqual(status, 1)
                self.assertIn(record, titles)
        with open(keys, "a") as f:
            f.write("k1\n")
        status, titles = self.run_with("[HTTP]\nListen = 127.0.0.1:18080\nApiKeysFile = %s\nKeyFile = /k\n" % keys)
        self.assertEqual(status, 1)
        self.assertIn("HTTP/KeyFile is set without HTTP/CertificateFile in INI file, exiting", titles)
        status, titles = self.run_with("[HTTP]\nListen = 127.0.0.1:18080\nApiKeysFile = %s\n[Store]\nType = memory\n"
                                       % keys)
        self.assertEqual(status, 1)
        self.assertTrue(any(t.startswith("HTTP/Listen needs the durable store") for t in titles), titles)


if __name__ == "__main__":
    main()
