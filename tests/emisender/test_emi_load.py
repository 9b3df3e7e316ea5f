"""The SMSC sender under load in the real kstd: a burst cut by the SMSC
closing the connection, a queue much longer than the window, and a queue
held back by the throughput limit. Every message must arrive, none twice
once the SMSC has acknowledged it, and a full window or a spent second must
not cost the connection."""

import collections

from emisender_support import EmiDaemonTestCase, WireCapture, main
from smscsim import _decode_frame as decode_frame

# The daemon splits a long text into parts "i/5 ..." of one SMS each.
LONG_TEXT = "".join("cast%d-" % i + chr(ord("a") + i) * 146 for i in range(5))


def numbers(count, start):
    return ["7%08d" % (start + i) for i in range(count)]


class Traffic:
    """The simulator's log read as submissions and their results."""

    def __init__(self, sim):
        self.submissions = []  # dicts: key, conn, trn, t, result ("A", "N" or None), sm
        pending = {}
        for record in sim.records():
            if "trn" not in record or record.get("bad"):
                continue
            if record["dir"] == "in" and record["or"] == "O" and int(record["ot"]) == 51:
                frame = decode_frame(record)
                entry = {"key": (frame["AdC"], frame["text"]), "conn": record["conn"], "trn": frame["trn"],
                         "t": record["t"], "result": None, "sm": None}
                self.submissions.append(entry)
                pending[(record["conn"], frame["trn"])] = entry
            elif record["dir"] == "out" and record["or"] == "R" and int(record["ot"]) == 51:
                entry = pending.pop((record["conn"], int(record["trn"])), None)
                if entry is not None:
                    entry["result"] = record["fields"][0]
                    entry["sm"] = record["fields"][-1]
        self.by_key = collections.defaultdict(list)
        for entry in self.submissions:
            self.by_key[entry["key"]].append(entry)


class Burst(EmiDaemonTestCase):
    def send_burst(self, count_numbers, start):
        targets = numbers(count_numbers, start)
        self.kstsend(",".join(targets), LONG_TEXT)
        return targets

    def test_connection_closed_in_the_middle_of_a_burst(self):
        self.start_daemon(emi={"WindowSize": "20", "Throughput": "100000"})
        # What reached the daemon is read from the wire: the simulator logs
        # results it has queued, and a closed connection takes the unsent
        # ones with it.
        capture = WireCapture(self.sim.workdir, self.sim.ucp_port)
        self.addCleanup(capture.stop)
        self.sim.set_mode(close_after=150)
        self.send_burst(100, 1000)
        self.wait_stat("sent", 500, timeout=120)
        self.wait_stat("queued", 0)
        capture.stop()
        delivered = {fields[-1] for stream, trn, kind, ot, fields in capture.frames_from_server()
                     if kind == "R" and ot == 51 and fields[0] == "A"}
        traffic = Traffic(self.sim)
        closes = [e for e in self.sim.events("close") if e.get("reason") == "close_after"]
        self.assertEqual(len(closes), 1, "the simulator closed the connection once")
        self.assertGreaterEqual(len(self.sim.events("login")), 2, "the manager reconnected")
        self.assertEqual(len(traffic.by_key), 500, "every message submitted")
        for key, entries in traffic.by_key.items():
            acknowledged = [i for i, e in enumerate(entries) if e["result"] == "A" and e["sm"] in delivered]
            self.assertEqual(len(acknowledged), 1,
                             "%r acknowledged %d times: %r" % (key, len(acknowledged), entries))
            self.assertEqual(acknowledged[0], len(entries) - 1,
                             "%r submitted again after its acknowledgement: %r" % (key, entries))
        self.assertIn("EMI: Problems during sending detected", self.log("error.log"))

    def test_queue_much_longer_than_the_window(self):
        self.start_daemon(emi={"WindowSize": "5", "Throughput": "100000"})
        self.send_burst(200, 5000)
        self.wait_stat("sent", 1000, timeout=180)
        self.wait_stat("queued", 0)
        traffic = Traffic(self.sim)
        self.assertEqual(len(traffic.submissions), 1000, "every message submitted once")
        self.assertEqual(len(traffic.by_key), 1000)
        self.assertTrue(all(e["result"] == "A" for e in traffic.submissions))
        self.assertEqual(len(self.sim.events("connect")), 1, "the connection was kept")
        self.assertEqual(len(self.sim.events("close")), 0)
        # Never more than five submissions awaited their results.
        self.assertLessEqual(max(e["trn"] for e in traffic.submissions), 5)
        errors = self.log("error.log")
        self.assertNotIn("No free transaction ID", errors)
        self.assertNotIn("Problems during sending detected", errors)

    def test_throughput_limit_holds_the_queue_back(self):
        self.start_daemon(emi={"WindowSize": "96", "Throughput": "40"})
        self.send_burst(30, 9000)
        self.wait_stat("sent", 150, timeout=120)
        traffic = Traffic(self.sim)
        self.assertEqual(len(traffic.submissions), 150, "every message submitted once")
        self.assertEqual(len(self.sim.events("connect")), 1, "the connection was kept")
        errors = self.log("error.log")
        self.assertNotIn("Data throughput overloaded", errors)
        self.assertNotIn("Problems during sending detected", errors)


if __name__ == "__main__":
    main()
