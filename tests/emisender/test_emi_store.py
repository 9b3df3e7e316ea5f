"""The store under the SMSC sender in the real kstd: what was accepted
survives an orderly stop and a kill -9, and so do the confirmations of
delivered messages and the received messages whose executables have not run;
a store it cannot use ends the start, a full file system refuses SendSms
while what is stored is still sent, and an acknowledged message whose
notification never comes is given up. The PostgreSQL store, on a server of
the test's own, keeps what was accepted across a kill -9 as well, and while
its database is away SendSms fails and nothing already accepted is lost.
Two daemons sharing its queue submit each message once; when one stops in
order or is killed, the other sends what it had claimed. A notification
reaches either of them, and each confirmation, executable run and delivery
callback happens once."""

import contextlib
import os
import random
import re
import signal
import sqlite3
import time

import kst
from emisender_support import KSTSEND, EmiDaemonTestCase, fields_of, main
from httpapi import CallbackEndpoint, HttpApi
from kst import wait_until
from pgserver import PostgresServer

FAST_LINK = {"WindowSize": "20", "Throughput": "100000"}


def numbers(first, count):
    return ["+42060%07d" % i for i in range(first, first + count)]


def international(number):
    """A number as numbers() writes it, also when it begins with 00."""
    return "+" + number[2:] if number.startswith("00") else number


class StoreTestCase(EmiDaemonTestCase):
    def queue(self, destinations, text="m", mail_to=None, limit=1000):
        """Queues one message per destination with kstsend, `limit` per call."""
        for start in range(0, len(destinations), limit):
            self.kstsend(",".join(destinations[start:start + limit]), text, mail_to=mail_to)

    def destinations_seen(self):
        """The destinations of the simulator's submissions, in order."""
        return ["+" + s["AdC"][2:] for s in self.sim.submissions()]

    def restart(self, **kwargs):
        self.kstd.stop(timeout=60)
        return self.start_daemon(**kwargs)

    def kill9(self):
        """kill -9 of the daemon; its IOR file stays behind and goes."""
        self.kstd.signal(signal.SIGKILL)
        self.kstd.wait(10)
        if os.path.exists(self.sandbox.ior_path):
            os.unlink(self.sandbox.ior_path)

    def recovered(self):
        return [line for line in self.log("error.log").splitlines() if "Recovered " in line]

    def store_rows(self, sql):
        db = sqlite3.connect(self.sandbox.store_path)
        try:
            return db.execute(sql).fetchall()
        finally:
            db.close()


class Durability(StoreTestCase):
    def test_orderly_stop_with_a_long_queue_sends_everything_after_the_restart_in_order(self):
        count = int(os.environ.get("KST_STORE_QUEUE_COUNT", "100000"))
        sections = "[Limits]\nMaxDestinations = 5000\n"
        # The SMSC refuses the login: everything stays queued.
        self.sim.set_mode(login="nack")
        self.start_daemon(emi=FAST_LINK, sections=sections, wait_active=False)
        expected = numbers(0, count)
        self.queue(expected, limit=5000)
        self.assertEqual(self.stats()["queued"], str(count))
        self.assertEqual(self.sim.submissions(), [])
        self.kstd.stop(timeout=60)

        self.sim.set_mode(login="ack")
        self.start_daemon(emi=FAST_LINK, sections=sections)
        self.assertIn("Recovered %d queued, 0 unacknowledged, 0 confirmations, 0 received messages" % count,
                      self.recovered()[-1])
        self.sim.wait_for(lambda: self.sim.counts()["submits"] >= count, timeout=240,
                          what="%d submissions" % count, interval=0.5)
        self.wait_stat("queued", 0)
        self.assertEqual(self.destinations_seen(), expected)

    def test_kill_9_during_traffic_loses_nothing_and_repeats_only_unacknowledged_submissions(self):
        kills = int(os.environ.get("KST_STORE_KILLS", "19"))
        count = int(os.environ.get("KST_STORE_KILL_MESSAGES", "20000"))
        window = 20
        rng = random.Random(17)
        # Results come late, and the simulator closes the connection now and then.
        self.sim.set_mode(submit_delay=20, close_after=1500, notify=False)
        sections = "[Limits]\nMaxDestinations = 5000\n"
        self.start_daemon(emi=FAST_LINK, sections=sections)
        expected = numbers(0, count)
        self.queue(expected, limit=5000)
        # SendSms returned: the messages are committed, a kill at once loses none.
        self.kill9()
        for _ in range(kills):
            self.start_daemon(emi=FAST_LINK, sections=sections)
            time.sleep(rng.uniform(0.1, 1.0))
            self.kill9()
        self.start_daemon(emi=FAST_LINK, sections=sections)
        self.sim.wait_for(lambda: set(self.destinations_seen()) >= set(expected), timeout=240,
                          what="every message at the simulator", interval=0.5)
        self.wait_stat("queued", 0)

        seen = self.destinations_seen()
        repeated = len(seen) - len(set(seen))
        closes = self.sim.counts()["closed"]
        # Every kill and every closed connection may repeat at most the window.
        self.assertLessEqual(repeated, window * (kills + 1 + closes),
                             "%d repeated submissions after %d kills and %d closed connections"
                             % (repeated, kills + 1, closes))
        self.assertEqual(set(seen), set(expected))
        print("store kill test: %d messages, %d kills, %d closes, %d repeated"
              % (count, kills + 1, closes, repeated))


class PostgresqlStore(StoreTestCase):
    """Store/Type postgresql on a PostgreSQL server of the test's own."""

    def setUp(self):
        # Made before the daemon's parts: its cleanup runs after the
        # daemon's stop, which still writes to it.
        self.pg = PostgresServer()
        self.addCleanup(self.pg.cleanup)
        super().setUp()

    def test_kill_9_mid_burst_loses_nothing_and_http_shows_each_message(self):
        count = 3000
        window = 20
        http, port = kst.http_section(self.sandbox)
        sections = ("[Limits]\nMaxDestinations = 5000\n[Store]\nType = postgresql\nConnection = %s\n"
                    "Node = gw-1\n" % self.pg.connection) + http
        self.sim.set_mode(submit_delay=20, notify=False)
        self.start_daemon(emi=FAST_LINK, sections=sections)
        expected = numbers(0, count)
        self.queue(expected, limit=1000)
        self.sim.wait_for(lambda: len(self.sim.submissions()) >= count // 4, timeout=60,
                          what="a quarter of the messages submitted", interval=0.1)
        self.kill9()
        self.assertEqual(self.pg.sql("SELECT node, COUNT(*) FROM message GROUP BY node"), ["gw-1|%d" % count])

        self.start_daemon(emi=FAST_LINK, sections=sections)
        self.sim.wait_for(lambda: set(self.destinations_seen()) >= set(expected), timeout=120,
                          what="every message at the simulator", interval=0.5)
        self.wait_stat("queued", 0)
        seen = self.destinations_seen()
        repeated = len(seen) - len(set(seen))
        closes = self.sim.counts()["closed"]
        self.assertEqual(set(seen), set(expected))
        self.assertLessEqual(repeated, window * (1 + closes),
                             "%d repeated submissions after a kill and %d closed connections" % (repeated, closes))

        # Each message's state, read from the database over HTTP.
        wait_until(lambda: self.pg.sql("SELECT COUNT(*) FROM message WHERE state <> 3") == ["0"], 60,
                   interval=0.2, what="every message finished in the database")
        first, last = self.pg.sql("SELECT MIN(id) || ' ' || MAX(id) FROM message")[0].split()
        api = HttpApi(port)
        self.addCleanup(api.close)
        for message_id, number in ((first, expected[0]), (last, expected[-1])):
            status, record = api.json("GET", "/v1/messages/" + message_id)
            self.assertEqual(status, 200, record)
            self.assertEqual((record["id"], record["to"], record["state"], record["sender"]),
                             (message_id, number, "accepted", "Sender thread(EMI)"))
        self.assertEqual(api.request("GET", "/v1/messages/%d" % (int(last) + 1))[0], 404)
        print("postgresql kill test: %d messages, %d closes, %d repeated" % (count, closes, repeated))

    def test_the_database_away_mid_burst_fails_submissions_loudly_and_loses_nothing(self):
        count = 3000
        window = 20
        sections = ("[Limits]\nMaxDestinations = 5000\n[Store]\nType = postgresql\nConnection = %s\n"
                    % self.pg.connection)
        self.sim.set_mode(submit_delay=20, notify=False)
        self.start_daemon(emi=FAST_LINK, sections=sections)
        expected = numbers(0, count)
        self.queue(expected, limit=1000)
        self.sim.wait_for(lambda: len(self.sim.submissions()) >= count // 4, timeout=60,
                          what="a quarter of the messages submitted", interval=0.1)
        self.pg.stop()
        refused = self.sandbox.run_inside([KSTSEND, "+420601999999", "away"])
        self.assertEqual(refused.returncode, 1)
        self.assertIn("could not store the messages", refused.stderr.decode("latin-1"))
        time.sleep(3)
        self.pg.start()
        self.sim.wait_for(lambda: set(self.destinations_seen()) >= set(expected), timeout=120,
                          what="every message at the simulator", interval=0.5)
        self.wait_stat("queued", 0)
        seen = self.destinations_seen()
        repeated = len(seen) - len(set(seen))
        closes = self.sim.counts()["closed"]
        self.assertEqual(set(seen), set(expected))
        self.assertNotIn("+420601999999", seen)
        # The results read while the database was away were kept and
        # recorded when it came back: the connection stayed, nothing went
        # out twice but after a closed connection.
        self.assertLessEqual(repeated, window * closes)
        log = self.log("error.log")
        self.assertEqual(len(re.findall(r"Store PostgreSQL database kst on 127\.0\.0\.1:\d+: connection lost: ", log)),
                         1, log)
        self.assertRegex(log, r"Store PostgreSQL database kst on 127\.0\.0\.1:\d+: connected again after \d+ s away")
        print("postgresql away test: %d messages, %d closes, %d repeated" % (count, closes, repeated))


class SharedPostgresqlQueue(StoreTestCase):
    """Two daemons, each in a namespace of its own with a simulator of its
    own, share the queue of one PostgreSQL database."""

    lease = 2
    window = 20

    def setUp(self):
        self.pg = PostgresServer()
        self.addCleanup(self.pg.cleanup)
        super().setUp()
        self.nodes = {"gw-1": (self.sandbox, self.sim, None)}
        other = kst.Sandbox(self.id().split(".")[-1][:30] + "-2")
        self.addCleanup(other.close)
        other_sim = self.make_sim()
        self.addCleanup(other_sim.cleanup)
        self.nodes["gw-2"] = (other, other_sim, None)
        self.addCleanup(self.stop_node, "gw-2")

    @contextlib.contextmanager
    def on(self, node):
        """The test case's daemon, sandbox and simulator (gw-1's) are those
        of `node` while inside."""
        if node == "gw-1":
            yield
            return
        saved = (self.sandbox, self.sim, self.kstd)
        self.sandbox, self.sim, self.kstd = self.nodes[node]
        try:
            yield
        finally:
            self.nodes[node] = (self.sandbox, self.sim, self.kstd)
            self.sandbox, self.sim, self.kstd = saved

    def start_node(self, node, lease=None, executables=None, sections=""):
        sections += ("[Limits]\nMaxDestinations = 5000\n[Store]\nType = postgresql\nConnection = %s\n"
                     "Node = %s\nLeaseSeconds = %d\n" % (self.pg.connection, node, lease or self.lease))
        link = {"WindowSize": str(self.window), "Throughput": "100000"}
        with self.on(node):
            self.sim.set_mode(submit_delay=20, notify=False)
            self.start_daemon(emi=link, sections=sections, executables=executables)

    def stop_node(self, node):
        with self.on(node):
            self._stop_daemon_and_check()
            self.kstd = None

    def submitted(self, node):
        """The simulator's submissions of `node`: (time, destination)."""
        sim = self.nodes[node][1]
        return [(s["t"], "+" + s["AdC"][2:]) for s in sim.submissions()]

    def start_both_and_queue(self, count):
        """Starts both daemons and queues `count` messages, half through each."""
        for node in self.nodes:
            self.start_node(node)
        expected = numbers(0, count)
        half = count // 2
        with self.on("gw-1"):
            self.queue(expected[:half], limit=500)
        with self.on("gw-2"):
            self.queue(expected[half:], limit=500)
        return expected

    def wait_all_submitted(self, expected, nodes):
        wait_until(lambda: set(d for n in nodes for _, d in self.submitted(n)) >= set(expected), 120,
                   interval=0.5, what="every message at a simulator")

    def test_two_daemons_submit_each_message_of_the_shared_queue_once(self):
        count = 2000
        expected = self.start_both_and_queue(count)
        self.wait_all_submitted(expected, self.nodes)
        for node in self.nodes:
            with self.on(node):
                self.wait_stat("queued", 0)
        per_node = {node: [d for _, d in self.submitted(node)] for node in self.nodes}
        everything = per_node["gw-1"] + per_node["gw-2"]
        self.assertEqual(sorted(everything), sorted(expected), "each message submitted once in total")
        self.assertTrue(all(per_node.values()), "both daemons sent: %r" % {n: len(d) for n, d in per_node.items()})
        wait_until(lambda: self.pg.sql("SELECT COUNT(*) FROM message WHERE state <> 3") == ["0"], 60,
                   interval=0.2, what="every message finished in the database")
        self.assertEqual(self.pg.sql("SELECT node, COUNT(*) FROM message GROUP BY node ORDER BY node"),
                         ["gw-1|%d" % (count // 2), "gw-2|%d" % (count - count // 2)])
        print("shared queue: %d messages, %d sent by gw-1, %d by gw-2"
              % (count, len(per_node["gw-1"]), len(per_node["gw-2"])))

    def test_an_orderly_stop_hands_the_claims_to_the_other_daemon_at_once(self):
        count = 3000
        lease = 600  # a lease that cannot run out during the test
        for node in self.nodes:
            self.start_node(node, lease)
        expected = numbers(0, count)
        self.queue(expected, limit=500)
        self.sim.wait_for(lambda: len(self.sim.submissions()) >= count // 10, timeout=60,
                          what="a tenth of the messages submitted by gw-1", interval=0.1)
        self.assertEqual(self.kstd.stop(timeout=60), 0)
        self.kstd = None
        self.assertEqual(self.pg.sql("SELECT COUNT(*) FROM message WHERE claimed_by = 'gw-1' AND state IN (0, 1)"),
                         ["0"])
        self.assertEqual(self.pg.sql("SELECT node FROM daemon_lease"), ["gw-2"])
        self.wait_all_submitted(expected, self.nodes)
        with self.on("gw-2"):
            self.wait_stat("queued", 0)
        everything = [d for node in self.nodes for _, d in self.submitted(node)]
        self.assertEqual(set(everything), set(expected))
        # Only submissions left unanswered at the stop are sent again.
        repeated = len(everything) - count
        self.assertLessEqual(repeated, self.window)
        print("orderly stop of one of two daemons: %d messages, %d sent by gw-2, %d sent again"
              % (count, len(self.submitted("gw-2")), repeated))

    def test_a_notification_on_the_other_daemons_connection_mails_one_confirmation(self):
        for node in self.nodes:
            self.start_node(node)
        self.kstsend("+420602111222", "Potvrzeni", mail_to="jana@example.org")
        wait_until(lambda: self.pg.sql("SELECT COUNT(*) FROM message WHERE state = 2") == ["1"], 30, interval=0.1,
                   what="the message acknowledged, waiting for its notification")
        submitter = [node for node, (_, sim, _) in self.nodes.items() if sim.submissions()]
        self.assertEqual(len(submitter), 1)
        submitter = submitter[0]
        other = "gw-2" if submitter == "gw-1" else "gw-1"
        adc, scts = self.nodes[submitter][1].sent(ot=51, or_="R")[0]["SM"].split(":")

        # The SMSC delivers the notification on the other daemon's
        # connection: that daemon settles the message and mails its
        # confirmation.
        self.nodes[other][1].notify(adc, scts, 0)
        mail = self.smtp.wait_for_messages(1, timeout=30)[0]
        self.assertEqual(mail.rcpt_tos, ["jana@example.org"])
        self.assertIn("602111222", mail.body)
        self.assertEqual(self.pg.sql("SELECT claimed_by FROM confirmation"), [other])
        # Repeated on the submitter's connection, it is acknowledged and
        # settles nothing again: no second e-mail, and no expiry later.
        self.nodes[submitter][1].notify(adc, scts, 0)
        for node in self.nodes:
            sim = self.nodes[node][1]
            sim.wait_for(lambda: [r["ACK"] for r in sim.results_in(ot=53)] == ["A"], timeout=20,
                         what="the notification acknowledged by " + node)
            with self.on(node):
                self.wait_record("receive.log", "Status Report received")
        wait_until(lambda: self.pg.sql("SELECT COUNT(*), MIN(outcome) FROM confirmation") == ["1|mailed"], 30,
                   interval=0.1, what="the confirmation recorded as mailed")
        time.sleep(2)
        self.assertEqual(len(self.smtp.messages()), 1, "one confirmation e-mail")
        self.assertEqual(self.pg.sql("SELECT state, outcome, notification_status FROM message"), ["3|notified|0"])

    def test_a_received_message_runs_its_executables_once_on_one_of_two_daemons(self):
        gate = kst.Gate(self.sandbox.root, 1)
        self.addCleanup(gate.close)
        self.start_node("gw-1", executables=gate.command(["/usr/bin/python3", self.dump_script, "gw-1",
                                                          self.dump_dir]))
        self.sim.inject_52("420777111222", self.laid, "prichozi", scts="081226170000")
        self.sim.wait_for(lambda: [r["ACK"] for r in self.sim.results_in(ot=52)] == ["A"], what="the acknowledgement")
        wait_until(gate.started, timeout=20, what="the executables of gw-1 to start")

        # A daemon that starts while the one that received it lives leaves
        # it to that one, at its start and in its later cycles.
        self.start_node("gw-2", executables="/usr/bin/python3 %s gw-2 %s" % (self.dump_script, self.dump_dir))
        with self.on("gw-2"):
            self.assertIn("0 confirmations, 0 received messages", self.recovered()[-1])
        time.sleep(self.lease + 1.5)
        self.assertEqual(self.dumps(), [])

        # gw-1 dies before its executables ran: once its lease ran out gw-2
        # takes the message over and runs them, once.
        self.kill9()
        self.kstd = None
        gate.close()
        dumps = self.wait_dumps(1, timeout=self.lease + 20)
        with self.on("gw-2"):
            self.wait_log_line("error.log", r"Store: node gw-2 took over 0 confirmations and 1 received messages "
                                            r"that no live daemon owned")
        wait_until(lambda: self.pg.sql("SELECT state, claimed_by FROM received") == ["1|gw-2"], 20, interval=0.1,
                   what="the received message processed by gw-2")
        time.sleep(1.5)
        self.assertEqual([(d["tag"], d["env"]["OA"], d["env"]["UD"]) for d in self.dumps()],
                         [("gw-2", "420777111222", "prichozi")])
        self.assertEqual(dumps[0]["env"]["SCTIME"], "081226170000")

    def test_two_dispatchers_post_each_delivery_callback_once(self):
        endpoint = CallbackEndpoint()
        self.addCleanup(endpoint.close)
        ports = {}
        for node in self.nodes:
            with self.on(node):
                http, ports[node] = kst.http_section(self.sandbox)
            self.start_node(node, sections=http)
            # Every message is delivered: its callback is due at once.
            self.nodes[node][1].set_mode(notify=True, notify_status=0, notify_delay=20)
        count = 40
        for i in range(count):
            api = HttpApi(ports["gw-1" if i % 2 == 0 else "gw-2"])
            status, answer = api.json("POST", "/v1/messages", {"to": "6020%05d" % i, "text": "hook",
                                                               "callback_url": endpoint.url + "/hook/%d" % i})
            api.close()
            self.assertEqual(status, 202, answer)
        wait_until(lambda: len(set(p["path"] for p in endpoint.taken())) == count, 60, interval=0.2,
                   what="every delivery callback posted")
        wait_until(lambda: self.pg.sql("SELECT COUNT(*) FROM webhook WHERE state = 1") == [str(count)], 30,
                   interval=0.2, what="every delivery callback recorded as delivered")
        # Both dispatchers look for due callbacks every second.
        time.sleep(2.5)
        paths = [p["path"] for p in endpoint.taken()]
        self.assertEqual(len(paths), count, "each callback posted once")
        self.assertEqual(set(paths), set("/hook/%d" % i for i in range(count)))
        print("delivery callbacks of two daemons: %s"
              % ", ".join(self.pg.sql("SELECT claimed_by || ': ' || COUNT(*) FROM webhook GROUP BY claimed_by"
                                      " ORDER BY claimed_by")))

    def test_kill_9_of_one_daemon_its_claims_are_sent_by_the_other(self):
        count = 4000
        expected = self.start_both_and_queue(count)
        self.sim.wait_for(lambda: len(self.sim.submissions()) >= count // 8, timeout=60,
                          what="an eighth of the messages submitted by gw-1", interval=0.1)
        self.kill9()
        killed_at = time.time()
        self.kstd = None
        dead = self.submitted("gw-1")
        self.wait_all_submitted(expected, self.nodes)
        with self.on("gw-2"):
            self.wait_stat("queued", 0)
        survivor = self.submitted("gw-2")
        everything = [d for _, d in dead] + [d for _, d in survivor]
        self.assertEqual(set(everything), set(expected))
        dead_destinations = set(d for _, d in dead)
        repeated = [d for _, d in survivor if d in dead_destinations]
        self.assertEqual(len(everything), count + len(repeated), "repeats only of the dead daemon's submissions")
        self.assertEqual(len(set(d for _, d in survivor)), len(survivor), "the survivor repeats nothing itself")
        # Only what the dead daemon had submitted and not yet recorded as
        # acknowledged: at most its window.
        self.assertLessEqual(len(repeated), self.window)
        self.assertEqual(self.pg.sql("SELECT node FROM daemon_lease"), ["gw-2"])
        takeover = min((t for t, d in survivor if d in dead_destinations), default=None)
        print("kill -9 of one of two daemons: %d messages, %d sent again by the other; from the kill to the first "
              "of them sent again: %s s (lease %d s)"
              % (count, len(repeated), "%.2f" % (takeover - killed_at) if takeover else "-", self.lease))


class ConfirmationsAndReceivedMessages(StoreTestCase):
    def acknowledged_notifications(self):
        """The destinations of the delivery notifications the daemon
        acknowledged, as it writes them."""
        sent = {}
        for frame in self.sim.sent(ot=53, or_="O"):
            sent.setdefault((frame["conn"], frame["trn"]), []).append((frame["t"], frame["OAdC"]))
        destinations = []
        for result in self.sim.results_in(ot=53):
            if result.get("ACK") != "A":
                continue
            before = [adc for t, adc in sent.get((result["conn"], result["trn"]), []) if t <= result["t"]]
            self.assertTrue(before, "an acknowledgement of a notification never sent: %r" % result)
            destinations.append(international(before[-1]))
        return destinations

    def test_kill_9_with_confirmations_mails_every_delivered_message_once(self):
        kills = int(os.environ.get("KST_STORE_CONFIRMATION_KILLS", "8"))
        count = 400  # the SMTP server numbers its messages with three digits
        rng = random.Random(53)
        link = {"WindowSize": "20", "Throughput": "200"}
        # Every message asks for a notification; it comes a little later.
        self.sim.set_mode(submit_delay=20, notify=True, notify_status=0, notify_delay=50)
        options = dict(emi=link, sections="[Limits]\nMaxDestinations = 5000\n", smtp_extra={"Subject": "%DA%"})
        self.start_daemon(**options)
        expected = numbers(0, count)
        self.queue(expected, mail_to="jana@example.org")
        restarts = []
        for _ in range(kills):
            time.sleep(rng.uniform(0.3, 1.5))
            self.kill9()
            restarts.append(time.time())
            self.start_daemon(**options)
        self.sim.wait_for(lambda: set(self.destinations_seen()) >= set(expected), timeout=120,
                          what="every message at the simulator", interval=0.5)
        self.wait_stat("queued", 0)
        # A notification the daemon acknowledged was committed with its
        # confirmation first: each of them is mailed.
        wait_until(lambda: set(self.acknowledged_notifications()) <=
                   set(international(mail["Subject"]) for mail in self.smtp.messages()),
                   timeout=120, interval=0.5, what="a confirmation for every acknowledged notification")
        wait_until(lambda: self.smtp_quiet(), timeout=30, interval=0.5, what="the mailing to end")
        self.kstd.stop(timeout=60)

        delivered = set(self.acknowledged_notifications())
        mails = self.smtp.messages()
        by_destination = {}
        for mail in mails:
            by_destination.setdefault(international(mail["Subject"]), []).append(mail)
        self.assertLessEqual(set(by_destination), set(expected), "a confirmation for no message")
        self.assertLessEqual(delivered, set(by_destination))
        # A second copy is the one window SMTP leaves: the mail reached the
        # server and the kill came before the store recorded it (the server
        # may even write it after the kill). That copy was the last mail of
        # the killed daemon, and the repetition came from the next one.
        times = sorted(mail.received_at for mail in mails)
        repeated = {da: copies for da, copies in by_destination.items() if len(copies) > 1}
        for destination, copies in repeated.items():
            self.assertEqual(len(copies), 2, "%s mailed %d times" % (destination, len(copies)))
            first, second = sorted(copy.received_at for copy in copies)
            restart = min((r for r in restarts if r > first), default=None)
            self.assertIsNotNone(restart, "%s mailed twice without a restart between" % destination)
            self.assertGreater(second, restart, "%s mailed twice by one daemon" % destination)
            self.assertFalse([t for t in times if first < t < restart],
                             "%s mailed again although mails after it were recorded" % destination)
        self.assertLessEqual(len(repeated), kills)
        self.assertEqual(self.store_rows("SELECT COUNT(*) FROM confirmation WHERE state = 0"), [(0,)])
        print("confirmation kill test: %d messages, %d kills, %d acknowledged notifications, %d mails, "
              "%d mailed twice" % (count, kills, len(delivered), len(mails), len(repeated)))

    def smtp_quiet(self):
        """True when no mail arrived during the last two seconds."""
        mails = self.smtp.messages()
        return not mails or time.time() - max(mail.received_at for mail in mails) > 2

    def gated_executables(self, run):
        """The gate of daemon run `run` and the executables behind it."""
        gate = kst.Gate(self.sandbox.root, run)
        self.addCleanup(gate.close)
        return gate, gate.command(["/usr/bin/python3", self.dump_script, "run%d" % run, self.dump_dir])

    def test_received_messages_acknowledged_before_a_kill_run_their_executables_after_the_restart_once(self):
        gate, command = self.gated_executables(1)
        self.start_daemon(executables=command)
        self.sim.inject_52("420777111222", self.laid, "first", scts="081226170000")
        self.sim.inject_01("420777333444", self.laid, "second")
        self.sim.wait_for(lambda: len(self.sim.results_in(ot=52)) + len(self.sim.results_in(ot=1)) == 2,
                          what="both acknowledgements")
        self.assertEqual([r["ACK"] for r in self.sim.results_in(ot=52) + self.sim.results_in(ot=1)], ["A", "A"])
        # The executables of the first message have started and wait.
        wait_until(gate.started, timeout=20, what="the executables to start")
        self.kill9()
        # What the killed daemon started ends without running anything.
        gate.close()

        gate, command = self.gated_executables(2)
        gate.open()
        self.start_daemon(executables=command)
        self.assertIn("Recovered 0 queued, 0 unacknowledged, 0 confirmations, 2 received messages",
                      self.recovered()[-1])
        dumps = self.wait_dumps(2)
        self.assertEqual([(d["tag"], d["env"]["OA"], d["env"]["UD"]) for d in dumps],
                         [("run2", "420777111222", "first"), ("run2", "420777333444", "second")])
        self.assertEqual(dumps[0]["env"]["SCTIME"], "081226170000")

        # Done: another restart runs nothing again.
        self.kstd.stop(timeout=60)
        gate, command = self.gated_executables(3)
        gate.open()
        self.start_daemon(executables=command)
        self.assertIn("Recovered 0 queued, 0 unacknowledged, 0 confirmations, 0 received messages",
                      self.recovered()[-1])
        time.sleep(1.5)
        self.assertFalse(gate.started())
        self.assertEqual(len(self.dumps()), 2)
        # The simulator sent each of them once.
        self.assertEqual(len(self.sim.sent(ot=52)) + len(self.sim.sent(ot=1)), 2)


class ConcatenatedParts(StoreTestCase):
    def test_parts_wait_in_the_store_across_a_restart_and_are_handed_on_one_by_one_after_the_timeout(self):
        """The parts of a concatenated message wait in the store: a restart
        between them loses none, and the executable runs once for the
        joined text. Parts that are still incomplete when the time-out is
        over run the executable one by one, after a restart and while the
        daemon runs. Without
        Encoding = unicode the transparent data stays hexadecimal."""
        one = "/usr/bin/python3 %s only %s" % (self.dump_script, self.dump_dir)
        waiting = "[General]\nConcatenationTimeout = 600\n"
        self.start_daemon(executables=one, sections=waiting)
        whole = "Ahoj, tohle je dlouh\u00e1 zpr\u00e1va"
        halves = [whole[:15].encode("utf-16-be"), whole[15:].encode("utf-16-be")]

        def part(trn, reference, number, count, data):
            self.sim.inject_52_data("420777111222", self.laid, data, dcs=8, trn=trn,
                                    udh=bytes([5, 0, 3, reference, count, number]))
            self.sim.wait_for(lambda: [r for r in self.sim.results_in(ot=52) if r["trn"] == trn],
                              what="the acknowledgement of %d" % trn)

        part(70, 0x11, 2, 2, halves[1])
        self.assertEqual(self.store_rows("SELECT part_number FROM received_part"), [(2,)])
        self.restart(executables=one, sections=waiting)
        part(71, 0x11, 1, 2, halves[0])
        dumps = self.wait_dumps(1)
        self.assertEqual((dumps[0]["env"]["ALPHABET"], dumps[0]["env"]["UD"]),
                         ("7bit", (halves[0] + halves[1]).hex().upper()))
        self.assertEqual(self.store_rows("SELECT COUNT(*) FROM received_part"), [(0,)])

        # Parts 1 and 3 of three; part 2 never comes.
        part(72, 0x22, 3, 3, b"\x00C")
        part(73, 0x22, 1, 3, b"\x00A")
        time.sleep(1)
        self.assertEqual(len(self.dumps()), 1)
        self.restart(executables=one, sections="[General]\nConcatenationTimeout = 2\n")
        dumps = self.wait_dumps(3)
        self.assertEqual([d["env"]["UD"] for d in dumps[1:]], ["0041", "0043"])
        record = fields_of(self.wait_record("receive.log", "Concatenated SMS incomplete")[0][1])
        self.assertEqual((record["Originating Address"], record["Parts received"]), ("420777111222", "1, 3 of 3"))
        self.assertEqual(self.store_rows("SELECT COUNT(*) FROM received_part"), [(0,)])

        # A lone part while the daemon runs: handed on when its time is over.
        part(74, 0x33, 2, 2, b"\x00Z")
        self.assertEqual(len(self.dumps()), 3)
        dumps = self.wait_dumps(4, timeout=10)
        self.assertEqual(dumps[3]["env"]["UD"], "005A")
        self.wait_record("receive.log", "Concatenated SMS incomplete", count=2)
        time.sleep(1)
        self.assertEqual(len(self.dumps()), 4)
        self.assertTrue(all(r["ACK"] == "A" for r in self.sim.results_in(ot=52)))


class BadStore(StoreTestCase):
    def start_failing(self, wrapper=()):
        self.write_daemon_ini(emi=FAST_LINK)
        process = self.sandbox.start_kstd(env={}, wrapper=wrapper)
        status = process.wait(30)
        return status, self.log("error.log")

    def test_a_store_it_cannot_use_ends_the_start(self):
        path = "/var/lib/kst/kstd.db"
        with open(self.sandbox.store_path, "wb") as f:
            f.write(b"not a database, " * 512)
        status, log = self.start_failing()
        self.assertEqual(status, 1)
        self.assertIn("Store %s: file is not a database, exiting" % path, log)

        os.unlink(self.sandbox.store_path)
        db = sqlite3.connect(self.sandbox.store_path)
        db.executescript("CREATE TABLE schema_version (version INTEGER NOT NULL);"
                         "INSERT INTO schema_version VALUES (1), (2), (999);")
        db.close()
        status, log = self.start_failing()
        self.assertEqual(status, 1)
        self.assertRegex(log, r"Store %s: schema version 999 is newer than this program's \d+, exiting" % path)

        os.unlink(self.sandbox.store_path)
        read_only = ["/bin/sh", "-c", 'mount -t tmpfs -o ro tmpfs /var/lib/kst && exec "$@"', "sh"]
        status, log = self.start_failing(wrapper=read_only)
        self.assertEqual(status, 1)
        self.assertIn("Store %s: cannot open: unable to open database file, exiting" % path, log)

    def test_a_full_file_system_refuses_sendsms_and_sends_what_was_stored(self):
        # The store keeps 8 MiB free for the messages it holds.
        small = ["/bin/sh", "-c", 'mount -t tmpfs -o size=11m tmpfs /var/lib/kst && exec "$@"', "sh"]
        self.sim.set_mode(login="nack")
        self.start_daemon(emi=FAST_LINK, wait_active=False, wrapper=small,
                          sections="[Limits]\nMaxDestinations = 1000\n")
        accepted = []
        refused = None
        for call in range(100):
            batch = numbers(call * 1000, 1000)
            done = self.sandbox.run_inside([KSTSEND, ",".join(batch), "x" * 150])
            if done.returncode != 0:
                refused = (batch, done)
                break
            accepted += batch
        self.assertIsNotNone(refused, "the file system never filled up")
        self.assertEqual(refused[1].returncode, 1)
        self.assertIn("kstsend: kstd could not store the messages (disk full or I/O error); nothing was queued",
                      refused[1].stderr.decode())
        self.assertIn("SMS refused: cannot store the messages", self.log("error.log"))
        self.assertIn("database or disk is full", self.log("error.log"))
        self.assertEqual(self.stats()["queued"], str(len(accepted)))

        self.sim.set_mode(login="ack")
        self.sim.wait_for(lambda: self.sim.counts()["submits"] >= len(accepted), timeout=120,
                          what="the stored messages", interval=0.5)
        self.wait_stat("queued", 0)
        seen = self.destinations_seen()
        self.assertEqual(sorted(set(seen)), sorted(accepted))
        self.assertFalse(set(seen) & set(refused[0]))


class MemoryStore(StoreTestCase):
    def test_type_memory_writes_no_file_and_keeps_nothing(self):
        sections = "[Store]\nType = memory\n"
        self.sim.set_mode(login="nack")
        self.start_daemon(sections=sections, wait_active=False)
        self.queue(numbers(0, 3))
        self.assertEqual(self.stats()["queued"], "3")
        self.kstd.stop(timeout=60)
        self.assertEqual(os.listdir(os.path.dirname(self.sandbox.store_path)), [])
        self.start_daemon(sections=sections, wait_active=False)
        self.assertEqual(self.stats()["queued"], "0")
        self.assertEqual(self.recovered(), [])


class NotificationTimeout(StoreTestCase):
    def test_an_acknowledged_message_without_notification_is_given_up(self):
        self.sim.set_mode(notify=False)
        self.start_daemon(sections="[Store]\nNotificationTimeout = 1\n")
        self.kstsend("+420602111222", "waits", mail_to="jana@example.org")
        self.wait_stat("sent", 1)
        self.wait_log_line("error.log",
                           r"Store: no delivery notification for message 1 within 1 s \(Store/NotificationTimeout\)"
                           r", no longer waiting for it$")
        # The daemon holds the file while it runs.
        self.kstd.stop(timeout=60)
        self.assertEqual(self.store_rows("SELECT state, outcome FROM message"), [(3, "expired")])
        # Nothing waits any more after a restart either.
        self.start_daemon(sections="[Store]\nNotificationTimeout = 1\n")
        self.kstd.stop(timeout=60)
        self.assertEqual(self.store_rows("SELECT state, outcome FROM message"), [(3, "expired")])


if __name__ == "__main__":
    main()
