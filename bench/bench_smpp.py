#!/usr/bin/python3
"""End to end through the SMPP sender, beside the SMSC (EMI) sender in the
same run: kstd (a daemon, console on /dev/null) submits --count messages
from SendSms calls (two client threads) to a simulator that answers every
submission at once; messages per second from the first call to the last
submission, for SMPP/WindowSize 10 and 100 (tools/smppsim, Node.js, npm
smpp) and for EMI/WindowSize 96 (tools/smscsim). The CPU time of the daemon
and of the simulator over the span tells which one was the bottleneck.
For each SMPP window the simulator alone follows: a raw-socket client of
negligible cost keeps that many submit_sm outstanding, which gives the
simulator's own limit.

    bench/bench_smpp.py [--build DIR] [--count 10000] [--store normal]
"""

import socket
import struct
import time

import benchlib


def options(parser):
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--threads", type=int, default=2, help="client threads")
    parser.add_argument("--windows", default="10,100", help="SMPP/WindowSize values, comma-separated")


def smpp_ini(port, window):
    import kst

    def text(sandbox):
        return kst.basic_ini(sandbox) + ("[SMPP]\nAddress = 127.0.0.1\nPort = %d\nSystemId = kst\nPassword = secret\n"
                                         "WindowSize = %d\nThroughput = 1000000\nSourceAddress = Kestrova\n"
                                         % (port, window))
    return text


def submitted_texts(submissions, prefix):
    """{text: [log time, ...]} of the submissions whose text starts with prefix."""
    out = {}
    for record in submissions:
        text = record.get("text", "")
        if text.startswith(prefix):
            out.setdefault(text, []).append(record["t"])
    return out


def run(args, name, sim, ini_text_of, submissions, ready):
    """One throughput run; prints its line."""
    daemon = benchlib.Daemon("bench-" + name, benchlib.with_store(ini_text_of, args.store))
    try:
        sim.wait_for(ready, 30, what="the daemon's bind or login")
        benchlib.run_client(args.build, ["send", daemon.ior_path, "--count", 1, "--prefix", "warm"])
        sim.wait_for(lambda: submitted_texts(submissions(), "warm"), 30, what="the warm-up submission")
        prefix = "T"
        daemon_cpu = benchlib.cpu_seconds(daemon.pid)
        sim_cpu = benchlib.cpu_seconds(sim.process.pid)
        calls = benchlib.run_client(args.build, ["send", daemon.ior_path, "--count", args.count,
                                                 "--threads", args.threads, "--prefix", prefix])
        sim.wait_for(lambda: len(submitted_texts(submissions(), prefix)) >= args.count, 600, interval=0.5,
                     what="%d submissions" % args.count)
        daemon_cpu = [b - a for a, b in zip(daemon_cpu, benchlib.cpu_seconds(daemon.pid))]
        sim_cpu = [b - a for a, b in zip(sim_cpu, benchlib.cpu_seconds(sim.process.pid))]
        subs = submitted_texts(submissions(), prefix)
        span = max(max(times) for times in subs.values()) - calls["first_call_ns"] / 1e9
        print("%-22s %6d messages in %6.2f s = %6.0f messages/s; CPU kstd %.2f s (%.0f%%), simulator %.2f s "
              "(%.0f%% of one core); submitted twice %d"
              % (name, args.count, span, args.count / span, sum(daemon_cpu), 100 * sum(daemon_cpu) / span,
                 sum(sim_cpu), 100 * sum(sim_cpu) / span, sum(len(t) - 1 for t in subs.values())))
        sim.assert_no_violations()
    finally:
        daemon.stop()


def pdu(command_id, sequence, body=b""):
    return struct.pack(">IIII", 16 + len(body), command_id, 0, sequence) + body


def cstring(text):
    return text.encode("ascii") + b"\0"


def simulator_alone(sim, count, window):
    """The simulator's own rate: a raw-socket client that binds and keeps
    `window` submit_sm outstanding (prebuilt PDUs, no per-message work
    beyond a send and a header read), so that the client costs far less
    than the simulator. Returns (messages/s, simulator CPU seconds)."""
    connection = socket.create_connection(("127.0.0.1", sim.smpp_port), timeout=30)
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    connection.sendall(pdu(0x00000009, 1, cstring("kst") + cstring("secret") + cstring("") + bytes([0x34, 0, 0]) +
                           cstring("")))
    buffered = b""

    def read_pdus(wanted):
        nonlocal buffered
        seen = 0
        while seen < wanted:
            while len(buffered) >= 4 and len(buffered) >= struct.unpack(">I", buffered[:4])[0]:
                length = struct.unpack(">I", buffered[:4])[0]
                buffered = buffered[length:]
                seen += 1
            if seen >= wanted:
                break
            chunk = connection.recv(1 << 16)
            if not chunk:
                raise RuntimeError("the simulator closed the connection")
            buffered += chunk
        return seen

    read_pdus(1)  # bind_transceiver_resp
    bodies = [cstring("") + bytes([5, 0]) + cstring("Kestrova") + bytes([1, 1]) + cstring("420%09d" % (600000000 + i)) +
              bytes([0, 0, 0]) + cstring("") + cstring("") + bytes([0, 0, 0, 0]) +
              bytes([len(b"alone %d" % i)]) + b"alone %d" % i for i in range(count)]
    cpu_before = sum(benchlib.cpu_seconds(sim.process.pid))
    start = time.monotonic()
    sent = answered = 0
    while answered < count:
        batch = []
        while sent < count and sent - answered < window:
            batch.append(pdu(0x00000004, sent + 2, bodies[sent]))
            sent += 1
        if batch:
            connection.sendall(b"".join(batch))
        answered += read_pdus(1 if sent - answered < window and sent < count else max(1, (sent - answered) // 2))
    span = time.monotonic() - start
    cpu = sum(benchlib.cpu_seconds(sim.process.pid)) - cpu_before
    connection.close()
    return count / span, cpu


def main():
    args = benchlib.parse_args(__doc__, options)
    from smppsim import SmppSim
    from smscsim import SmscSim
    benchlib.header("End to end through the SMPP sender and the SMSC sender")
    for window in (int(w) for w in args.windows.split(",")):
        sim = SmppSim(system_id="kst", password="secret")
        try:
            run(args, "SMPP window %d" % window, sim, smpp_ini(sim.smpp_port, window), sim.submissions,
                sim.binds)
        finally:
            sim.cleanup()
        sim = SmppSim(system_id="kst", password="secret")
        try:
            rate, cpu = simulator_alone(sim, args.count, window)
            print("%-22s %6d messages at %6.0f messages/s; simulator CPU %.2f s (%.0f%% of one core)" % (
                "simulator alone, w %d" % window, args.count, rate, cpu, 100 * cpu * rate / args.count))
        finally:
            sim.cleanup()
    sim = SmscSim(password="tajne")
    try:
        run(args, "EMI window 96", sim, benchlib.emi_ini(sim.ucp_port, "tajne"), sim.submissions, sim.logins)
    finally:
        sim.cleanup()
    print("machine after: %s" % benchlib.machine())


if __name__ == "__main__":
    main()
