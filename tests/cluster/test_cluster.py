"""Two kstd sharing the queue of one PostgreSQL server of the test's own,
each in a namespace of its own and connected to an SMSC simulator of its
own: messages accepted through CORBA and HTTP are each submitted once in
total; with the database stopped for 20 s mid-burst nothing is lost or sent
twice, submissions are refused meanwhile and resume after, and the error
log says what happened; daemons starting together on an empty database make
one schema; a node name runs once, and a node killed with kill -9 starts
again at once."""

import contextlib
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "emisender"))

import kst  # noqa: E402
from emisender_support import FAST_ENV, KSTSEND, EmiDaemonTestCase  # noqa: E402
from httpapi import HttpApi  # noqa: E402
from kst import wait_until  # noqa: E402
from pgserver import PostgresServer  # noqa: E402

WINDOW = 20
NODES = ("gw-1", "gw-2")


def numbers(first, count):
    return ["+42060%07d" % i for i in range(first, first + count)]


class Cluster(EmiDaemonTestCase):
    """gw-1 is the test case's own sandbox, simulator and daemon; gw-2 has
    its own, swapped in with on("gw-2")."""

    lease = 5

    def setUp(self):
        # Made before the sandbox, so that it goes after the daemons.
        self.pg = PostgresServer()
        self.addCleanup(self.pg.cleanup)
        super().setUp()
        self.nodes = {"gw-1": [self.sandbox, self.sim, None, None]}
        other = kst.Sandbox(self.id().split(".")[-1][:30] + "-2")
        self.addCleanup(other.close)
        other_sim = self.make_sim()
        self.addCleanup(other_sim.cleanup)
        self.nodes["gw-2"] = [other, other_sim, None, None]
        self.addCleanup(self.stop_node, "gw-2")

    @contextlib.contextmanager
    def on(self, node):
        if node == "gw-1":
            yield
            return
        saved = (self.sandbox, self.sim, self.kstd)
        self.sandbox, self.sim, self.kstd = self.nodes[node][:3]
        try:
            yield
        finally:
            self.nodes[node][:3] = [self.sandbox, self.sim, self.kstd]
            self.sandbox, self.sim, self.kstd = saved

    def write_node_ini(self, node, name=None):
        """The INI file of `node` (its Store/Node `name`, by default its
        own), with an HTTP interface; returns the HTTP port."""
        with self.on(node):
            http, port = kst.http_section(self.sandbox, port=self.nodes[node][3])
            self.nodes[node][3] = port
            sections = ("[Limits]\nMaxDestinations = 5000\nMaxQueued = 100000\n[Store]\nType = postgresql\n"
                        "Connection = %s\nNode = %s\nLeaseSeconds = %d\n"
                        % (self.pg.connection, name or node, self.lease)) + http
            self.sim.set_mode(submit_delay=20, notify=False)
            self.write_daemon_ini(emi={"WindowSize": str(WINDOW), "Throughput": "100000"}, sections=sections)
        return port

    def launch(self, node):
        """Starts the daemon of `node` without waiting for it."""
        with self.on(node):
            self.kstd = self.sandbox.start_kstd(env=dict(FAST_ENV))

    def ready(self, node):
        with self.on(node):
            self.sandbox.wait_ior()
            self.wait_active()

    def start_node(self, node):
        self.write_node_ini(node)
        self.launch(node)
        self.ready(node)

    def stop_node(self, node):
        with self.on(node):
            self._stop_daemon_and_check()
            self.kstd = None

    def api(self, node):
        api = HttpApi(self.nodes[node][3])
        self.addCleanup(api.close)
        return api

    def submitted(self, node):
        return ["+" + s["AdC"][2:] for s in self.nodes[node][1].submissions()]

    def everything(self):
        return [d for node in NODES for d in self.submitted(node)]

    def wait_all_submitted(self, expected, timeout=120):
        wait_until(lambda: set(self.everything()) >= set(expected), timeout, interval=0.5,
                   what="every message at a simulator")

    def wait_all_finished(self):
        for node in NODES:
            with self.on(node):
                self.wait_stat("queued", 0, timeout=60)
        wait_until(lambda: self.pg.sql("SELECT COUNT(*) FROM message WHERE state <> 3") == ["0"], 60,
                   interval=0.2, what="every message finished in the database")

    def post(self, api, destinations, batch=1000):
        for start in range(0, len(destinations), batch):
            status, answer = api.json("POST", "/v1/messages",
                                      {"to": destinations[start:start + batch], "text": "h"})
            self.assertEqual(status, 202, answer)

    def queue_corba(self, destinations, batch=1000):
        for start in range(0, len(destinations), batch):
            self.kstsend(",".join(destinations[start:start + batch]), "c")

    def test_both_interfaces_of_two_daemons_submit_each_message_once(self):
        count = 20000
        for node in NODES:
            self.start_node(node)
        expected = numbers(0, count)
        corba, http = expected[:count // 2], expected[count // 2:]
        started = time.monotonic()
        # CORBA on gw-1, HTTP on gw-2, each half to both daemons' queue.
        self.queue_corba(corba[:len(corba) // 2])
        self.post(self.api("gw-2"), http[:len(http) // 2])
        with self.on("gw-2"):
            self.queue_corba(corba[len(corba) // 2:])
        self.post(self.api("gw-1"), http[len(http) // 2:])
        self.wait_all_submitted(expected)
        elapsed = time.monotonic() - started
        self.wait_all_finished()
        everything = self.everything()
        self.assertEqual(len(everything), count, "each message submitted once in total")
        self.assertEqual(set(everything), set(expected))
        per_node = {node: len(self.submitted(node)) for node in NODES}
        self.assertTrue(all(per_node.values()), per_node)
        status, answer = self.api("gw-1").json("GET", "/v1/status")
        self.assertEqual(status, 200, answer)
        self.assertEqual(answer["shared_queue_length"], 0)
        self.assertEqual([d["node"] for d in answer["daemons"]], list(NODES))
        self.assertTrue(all(d["lease_renewed_at"] <= d["lease_until"] for d in answer["daemons"]))
        metrics = self.api("gw-2").metrics()
        self.assertEqual(metrics.get("kestrova_shared_queue_length"), 0)
        self.assertEqual(metrics.get("kestrova_daemons_alive"), 2)
        print("two daemons, both interfaces: %d messages in %.1f s, %r" % (count, elapsed, per_node))

    def test_the_database_away_for_20_s_mid_burst_loses_nothing_and_sends_nothing_twice(self):
        count = 6000
        for node in NODES:
            self.start_node(node)
        expected = numbers(0, count)
        self.queue_corba(expected[:count // 2])
        self.post(self.api("gw-2"), expected[count // 2:])
        wait_until(lambda: len(self.everything()) >= count // 4, 60, interval=0.1,
                   what="a quarter of the messages submitted")
        self.pg.stop()
        stopped = time.monotonic()
        refused = self.sandbox.run_inside([KSTSEND, "+420601999999", "away"])
        self.assertEqual(refused.returncode, 1)
        self.assertIn("could not store the messages", refused.stderr.decode("latin-1"))
        status, answer = self.api("gw-2").json("POST", "/v1/messages", {"to": "+420601999998", "text": "away"})
        self.assertEqual(status, 503, answer)
        # The statistics still answer, without the shared queue.
        status, answer = self.api("gw-1").json("GET", "/v1/status")
        self.assertEqual(status, 200, answer)
        self.assertIsNone(answer["shared_queue_length"])
        time.sleep(max(0.0, 20 - (time.monotonic() - stopped)))
        self.pg.start()
        self.wait_all_submitted(expected)
        self.queue_corba(["+420601999997"])
        self.wait_all_submitted(["+420601999997"])
        self.wait_all_finished()
        everything = self.everything()
        repeated = len(everything) - len(set(everything))
        self.assertEqual(set(everything), set(expected) | {"+420601999997"})
        self.assertEqual(repeated, 0, "results read while the database was away are recorded when it is back")
        for node in NODES:
            with self.on(node):
                log = self.log("error.log")
            lost = re.findall(r"Store PostgreSQL database kst on 127\.0\.0\.1:\d+: connection lost: .*", log)
            self.assertEqual(len(lost), 1, "%s: %r" % (node, lost))
            back = re.findall(r"Store PostgreSQL database kst on 127\.0\.0\.1:\d+: connected again after (\d+) s "
                              r"away", log)
            self.assertEqual(len(back), 1, "%s: %r" % (node, back))
            self.assertGreaterEqual(int(back[0]), 19)
            self.assertNotIn("Cannot read the queue", log)
            # Besides the refusals the test asked for, no record repeats it.
            self.assertLessEqual(log.count("cannot connect"), 2, log)
            self.assertNotIn("ran out before it was renewed", log)
            print("%s: database away for %s s; %s" % (node, back[0], "; ".join(
                re.findall(r"Store: \d+ records of submissions and results kept .*", log))))

    def test_two_daemons_starting_together_on_an_empty_database_make_one_schema(self):
        for node in NODES:
            self.write_node_ini(node)
        for node in NODES:
            self.launch(node)
        for node in NODES:
            self.ready(node)
        versions = self.pg.sql("SELECT version FROM schema_version ORDER BY version")
        self.assertEqual(versions, [str(v) for v in range(1, len(versions) + 1)])
        for node in NODES:
            with self.on(node):
                self.assertNotIn("ERROR", self.log("error.log"))
        self.assertEqual(self.pg.sql("SELECT node FROM daemon_lease ORDER BY node"), list(NODES))

    def test_a_node_name_runs_once_and_a_killed_node_starts_again_at_once(self):
        self.start_node("gw-1")
        self.write_node_ini("gw-2", name="gw-1")
        with self.on("gw-2"):
            twin = self.sandbox.start_kstd(env=dict(FAST_ENV))
            self.assertEqual(twin.wait(30), 1)
            self.assertRegex(self.log("error.log"), r"node gw-1 is in use by another running daemon \(each daemon "
                                                    r"needs a Store/Node of its own\), exiting")
        self.kstd.signal(signal.SIGKILL)
        self.kstd.wait(10)
        os.unlink(self.sandbox.ior_path)
        with self.on("gw-2"):
            started = time.monotonic()
            self.kstd = self.sandbox.start_kstd(env=dict(FAST_ENV))
            self.sandbox.wait_ior()
            self.wait_active()
            print("node gw-1 started again %.1f s after the kill -9 of its first daemon"
                  % (time.monotonic() - started))
        self.kstd = None


if __name__ == "__main__":
    kst.main()
