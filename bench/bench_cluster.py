#!/usr/bin/python3
"""Several daemons on one PostgreSQL queue. Every daemon submits to an SMSC
simulator of its own, which answers every submission at once (EMI/WindowSize
96); the PostgreSQL server is the tests' own (tests/harness/pgserver.py:
fsync off, loopback), so that the database's figures are its CPU's, not a
disk's.

1. End to end, messages per second from the first SendSms call to the last
   submission at a simulator (kstbench, two client threads per daemon, each
   daemon given half of --count): SQLite (Store/Sync normal), one daemon on
   PostgreSQL, and two daemons sharing it.
2. Takeover: two daemons (Store/LeaseSeconds --lease, EMI/Throughput 500)
   with a backlog, kill -9
   of one; the time from the kill to the survivor's first submission of a
   message the dead daemon had claimed, and how many of the dead daemon's
   submissions were sent again.
3. Claims per second the database sustains: the store's claim statement
   (SELECT ... FOR UPDATE SKIP LOCKED of --batch queued messages, marked as
   one daemon's) run by pgbench with one client (one daemon claiming) and
   with two, on --claim-rows queued rows.

    bench/bench_cluster.py [--build DIR] [--count 20000] [--lease 5]
"""

import os
import signal
import subprocess
import tempfile
import threading
import time

import benchlib


def options(parser):
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--lease", type=int, default=5)
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--claim-rows", type=int, default=400000)
    parser.add_argument("--claim-seconds", type=int, default=10)


def postgres_section(pg, node, lease=30):
    return ("[Limits]\nMaxDestinations = 5000\n[Store]\nType = postgresql\nConnection = %s\nNode = %s\n"
            "LeaseSeconds = %d\n" % (pg.connection, node, lease))


def start(name, sim, store_text, throughput=100000):
    ini = benchlib.emi_ini(sim.ucp_port, "tajne", throughput=throughput)
    daemon = benchlib.Daemon(name, lambda sandbox: ini(sandbox) + store_text)
    sim.wait_for(lambda: sim.logins(), 30, what="the daemon's login")
    return daemon


def texts(sim, prefix):
    return {f.get("text", ""): f["t"] for f in sim.submissions() if f.get("text", "").startswith(prefix)}


def send_all(args, daemons, prefix):
    """kstbench on every daemon at once, --count in all; the first call's
    wall-clock time."""
    share = args.count // len(daemons)
    results = [None] * len(daemons)

    def run(i):
        results[i] = benchlib.run_client(args.build, ["send", daemons[i].ior_path, "--count", share, "--threads", 2,
                                                      "--prefix", "%s%d-" % (prefix, i)])
    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(daemons))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return min(r["first_call_ns"] for r in results) / 1e9, share * len(daemons)


def throughput(args, label, daemons, sims, prefix):
    for daemon, sim in zip(daemons, sims):
        benchlib.run_client(args.build, ["send", daemon.ior_path, "--count", 1, "--prefix", "warm" + prefix])
        sim.wait_for(lambda: texts(sim, "warm" + prefix), 30, what="the warm-up submission")
    cpu = {d.pid: benchlib.cpu_seconds(d.pid) for d in daemons}
    first, count = send_all(args, daemons, prefix)
    seen = {}
    deadline = time.monotonic() + 600
    while time.monotonic() < deadline:
        seen = {}
        for sim in sims:
            seen.update(texts(sim, prefix))
        if len(seen) >= count:
            break
        time.sleep(0.2)
    span = max(seen.values()) - first
    used = sum(sum(b - a for a, b in zip(cpu[d.pid], benchlib.cpu_seconds(d.pid))) for d in daemons)
    total = sum(len([f for f in sim.submissions() if f.get("text", "").startswith(prefix)]) for sim in sims)
    print("%s: %d messages in %.2f s = %.0f messages/s; kstd CPU %.0f us a message; submitted twice %d; %s"
          % (label, count, span, count / span, 1e6 * used / count, total - len(seen), benchlib.machine()))


def takeover(args, pg, sims):
    # EMI/Throughput 500: a backlog of claims at the kill.
    daemons = [start("bench-cl-t%d" % i, sims[i], postgres_section(pg, "tk-%d" % i, args.lease), 500)
               for i in (0, 1)]
    try:
        benchlib.run_client(args.build, ["send", daemons[0].ior_path, "--count", 6000, "--threads", 2,
                                         "--prefix", "K"])
        sims[0].wait_for(lambda: len(texts(sims[0], "K")) >= 500, 60, what="submissions of the first daemon")
        os.kill(daemons[0].pid, signal.SIGKILL)
        killed = time.time()
        dead = texts(sims[0], "K")
        claimed = set(pg.sql("SELECT convert_from(body, 'UTF8') FROM message WHERE claimed_by = 'tk-0'"
                             " AND state IN (0, 1)"))
        print("  at the kill: dead daemon alive %s, %d claimed, %d submitted by it; leases %r"
              % (benchlib.alive(daemons[0].pid), len(claimed), len(dead),
                 pg.sql("SELECT node, renewed_at, lease_until, pg_postmaster_start_time() FROM daemon_lease")))
        try:
            sims[1].wait_for(lambda: set(texts(sims[1], "K")) & claimed, 30, what="a claim of the dead daemon sent")
        except Exception:
            print("  leases %r; survivor sent %d; %s" % (pg.sql("SELECT node, renewed_at, lease_until FROM daemon_lease"),
                  len(texts(sims[1], "K")), pg.sql("SELECT claimed_by, state, COUNT(*) FROM message GROUP BY 1, 2")))
            print(daemons[1].log("error.log")[-3000:])
            raise
        first = min(t for text, t in texts(sims[1], "K").items() if text in claimed)
        sims[1].wait_for(lambda: len(set(texts(sims[1], "K")) | set(dead)) >= 6000, 120, what="every message")
        again = set(texts(sims[1], "K")) & set(dead)
        print("takeover after kill -9 (lease %d s): the survivor sent the first of the %d messages the dead daemon "
              "had claimed %.2f s after the kill; %d of the dead daemon's submissions sent again"
              % (args.lease, len(claimed), first - killed, len(again)))
    finally:
        for daemon in daemons:
            daemon.stop()


def claims(args, pg):
    pg.sql("DELETE FROM message")
    pg.sql("INSERT INTO message (state, position, node, accepted_at, target, source, body, remote_addr, on_display,"
           " mail_to) SELECT 0, nextval('message_back_position'), 'bench', 0, '+420601000000'::bytea, ''::bytea,"
           " 'claim benchmark'::bytea, '127.0.0.1'::bytea, 0, ''::bytea FROM generate_series(1, %d)"
           % args.claim_rows)
    pg.sql("VACUUM ANALYZE message")
    script = tempfile.NamedTemporaryFile("w", suffix=".sql", delete=False)
    script.write("WITH claimed AS (UPDATE message SET claimed_by = 'bench-' || :client_id WHERE id IN"
                 " (SELECT id FROM message WHERE state = 0 AND claimed_by IS NULL AND position <= 9223372036854775807"
                 " ORDER BY position LIMIT %d FOR UPDATE SKIP LOCKED) RETURNING id, target, source, body,"
                 " remote_addr, on_display, mail_to, position, client_ref, callback_url, part, parts)"
                 " SELECT count(*) FROM claimed;\n" % args.batch)
    script.close()
    from pgserver import bin_dir
    try:
        for clients in (1, 2):
            pg.sql("UPDATE message SET claimed_by = NULL")
            before = time.monotonic()
            done = subprocess.run([os.path.join(bin_dir(), "pgbench"), "-n", "-f", script.name, "-c", str(clients),
                                   "-j", str(clients), "-T", str(args.claim_seconds), "-d", pg.connection],
                                  capture_output=True, text=True, timeout=args.claim_seconds + 120)
            claimed = int(pg.sql("SELECT COUNT(*) FROM message WHERE claimed_by IS NOT NULL")[0])
            tps = [line for line in done.stdout.splitlines() if line.startswith("tps")]
            seconds = time.monotonic() - before
            print("claims: %d client(s), batches of %d: %s; %d claimed in %.1f s = %.0f claims/s%s"
                  % (clients, args.batch, tps[0] if tps else done.stderr[-300:], claimed, seconds,
                     claimed / seconds, " (the rows ran out)" if claimed >= args.claim_rows else ""))
    finally:
        os.unlink(script.name)


def main():
    args = benchlib.parse_args(__doc__, options)
    from pgserver import PostgresServer
    from smscsim import SmscSim
    benchlib.header("Several daemons on one PostgreSQL queue")
    sims = [SmscSim(password="tajne") for _ in range(2)]
    pg = PostgresServer()
    try:
        if os.environ.get("KST_BENCH_CLUSTER_ONLY"):
            takeover(args, pg, sims)
            claims(args, pg)
            return
        daemon = start("bench-cl-sqlite", sims[0], benchlib.store_section("normal"))
        try:
            throughput(args, "SQLite, one daemon", [daemon], sims[:1], "S")
        finally:
            daemon.stop()
        daemon = start("bench-cl-pg1", sims[0], postgres_section(pg, "one"))
        try:
            throughput(args, "PostgreSQL, one daemon", [daemon], sims[:1], "P")
        finally:
            daemon.stop()
        daemons = [start("bench-cl-pg2-%d" % i, sims[i], postgres_section(pg, "two-%d" % i)) for i in (0, 1)]
        try:
            throughput(args, "PostgreSQL, two daemons", daemons, sims, "D")
        finally:
            for daemon in daemons:
                daemon.stop()
        takeover(args, pg, sims)
        claims(args, pg)
        print("machine after: %s" % benchlib.machine())
    finally:
        pg.cleanup()
        for sim in sims:
            sim.cleanup()


if __name__ == "__main__":
    main()
