#!/usr/bin/python3
"""smtppeer: a scripted SMTP server peer for testing SMTP clients, including
servers that misbehave. It listens on a loopback port, serves connections one
after the other with a script, and records every line it receives.

    smtppeer.py --port-file FILE --record FILE --script FILE [--script FILE ...]
                [--connections N] [--timeout SECONDS] [--linger SECONDS]

Connection n (counted from 1) runs the n-th script; connections beyond the
last script run the last one again. The peer ends after N connections
(default 1) or after --timeout seconds (default 60), whichever comes first.
The chosen port is written to --port-file once the peer listens.

Script lines (blank lines and lines beginning with "#" are ignored):

    send TEXT      send TEXT followed by CR LF ("send" alone: an empty line)
    sendraw TEXT   send TEXT with Python escapes (\\r, \\n, \\x00) decoded
    recv           read one line
    data           read lines up to and including a line "."
    sleep SECONDS  say nothing for a while
    close          close the connection now

After the script the peer goes on reading (and recording) until the client
closes the connection, or --linger seconds (default 5) pass.

Record file, one entry a line, written as it happens:

    C1 open
    C1 < HELO default\\r\\n       a received line, CR and LF shown as \\r, \\n
    C1 > 250 ok                  a line the peer sent
    C1 eof                       the client closed the connection
    C1 close                     the peer closed it (script or linger)
"""

import argparse
import os
import socket
import sys
import time


class Deadline(Exception):
    pass


def escape(data):
    text = data.decode("latin-1")
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


class Session:
    def __init__(self, conn, number, record, deadline):
        self.conn = conn
        self.number = number
        self.record = record
        self.deadline = deadline
        self.buffer = b""
        self.eof = False

    def note(self, text):
        self.record.write("C%d %s\n" % (self.number, text))
        self.record.flush()

    def send(self, data):
        self.note("> " + escape(data.rstrip(b"\r\n")))
        try:
            self.conn.sendall(data)
        except OSError as error:
            self.note("send failed: %s" % error)

    def readline(self, until=None):
        """One line including its LF, or None at end of input or at `until`."""
        limit = self.deadline if until is None else min(self.deadline, until)
        while b"\n" not in self.buffer:
            if self.eof:
                return None
            left = limit - time.monotonic()
            if left <= 0:
                if limit == self.deadline:
                    raise Deadline()
                return None
            self.conn.settimeout(min(left, 0.5))
            try:
                chunk = self.conn.recv(4096)
            except socket.timeout:
                continue
            except OSError as error:
                self.note("recv failed: %s" % error)
                chunk = b""
            if not chunk:
                self.eof = True
                self.note("eof")
                if self.buffer:
                    self.note("< " + escape(self.buffer))
                    self.buffer = b""
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        line += b"\n"
        self.note("< " + escape(line))
        return line

    def run(self, script, linger):
        self.note("open")
        for command, argument in script:
            if command == "send":
                self.send(argument.encode("latin-1") + b"\r\n")
            elif command == "sendraw":
                self.send(argument.encode("latin-1").decode("unicode_escape").encode("latin-1"))
            elif command == "recv":
                self.readline()
            elif command == "data":
                while True:
                    line = self.readline()
                    if line is None or line == b".\r\n":
                        break
            elif command == "sleep":
                end = min(self.deadline, time.monotonic() + float(argument))
                while time.monotonic() < end:
                    time.sleep(min(0.1, end - time.monotonic()))
                if time.monotonic() >= self.deadline:
                    raise Deadline()
            elif command == "close":
                break
            if self.eof:
                return
        else:
            end = time.monotonic() + linger
            while not self.eof and time.monotonic() < end:
                self.readline(until=end)
            if self.eof:
                return
        self.note("close")


def load_script(path):
    steps = []
    with open(path, encoding="latin-1") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\r\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            command, _, argument = line.partition(" ")
            if command not in ("send", "sendraw", "recv", "data", "sleep", "close"):
                sys.exit("%s:%d: unknown command %r" % (path, number, command))
            if command == "sleep":
                float(argument)
            steps.append((command, argument))
    return steps


def main():
    parser = argparse.ArgumentParser(description="Scripted SMTP server peer.")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--script", action="append", required=True)
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--linger", type=float, default=5.0)
    args = parser.parse_args()

    scripts = [load_script(path) for path in args.script]
    deadline = time.monotonic() + args.timeout

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    partial = args.port_file + ".part"
    with open(partial, "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.rename(partial, args.port_file)

    with open(args.record, "a", encoding="latin-1") as record:
        for number in range(1, args.connections + 1):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            listener.settimeout(left)
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                break
            session = Session(conn, number, record, deadline)
            try:
                session.run(scripts[min(number, len(scripts)) - 1], args.linger)
            except Deadline:
                session.note("timeout")
            finally:
                conn.close()
        record.write("end\n")
    listener.close()


if __name__ == "__main__":
    main()
