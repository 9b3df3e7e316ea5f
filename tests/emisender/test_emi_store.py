"""The store under the SMSC sender in the real kstd: what was accepted
survives an orderly stop and a kill -9, a store it cannot use ends the start,
a full file system refuses SendSms while what is stored is still sent, and an
acknowledged message whose notification never comes is given up."""

import os
import random
import signal
import sqlite3
import time

import kst
from emisender_support import KSTSEND, EmiDaemonTestCase, main
from kst import wait_until

FAST_LINK = {"WindowSize": "20", "Throughput": "100000"}


def numbers(first, count):
    return ["+42060%07d" % i for i in range(first, first + count)]


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
                         "INSERT INTO schema_version VALUES (1), (2);")
        db.close()
        status, log = self.start_failing()
        self.assertEqual(status, 1)
        self.assertIn("Store %s: schema version 2 is newer than this program's 1, exiting" % path, log)

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
