"""What really went over a loopback TCP port, whatever either side's log
says: dumpcap captures it, tshark reads it back.

    capture = WireCapture(workdir, port)
    ... traffic ...
    capture.stop()
    capture.streams()            # {(stream, from_server): bytes}
    capture.tshark("-Y", "ucp")  # any tshark query, port decoded as UCP

WireCapture(workdir, port, protocol="smpp") decodes the port as SMPP.
"""

import os
import re
import signal
import subprocess
import time

from kst import wait_until


class WireCapture:
    """dumpcap on the loopback interface, limited to one TCP port."""

    def __init__(self, workdir, port, protocol="ucp"):
        self.path = os.path.join(workdir, "%s.pcapng" % protocol)
        self.port = port
        self.protocol = protocol
        self.err_path = os.path.join(workdir, "dumpcap.err")
        self._err = open(self.err_path, "wb")
        self.process = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-f", "tcp port %d" % port,
                                         "-w", self.path], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=self._err)
        wait_until(lambda: "Capturing on" in self.stderr() or self.process.poll() is not None,
                   timeout=20, what="dumpcap to start")
        if self.process.poll() is not None:
            raise AssertionError("dumpcap cannot capture on lo: %s" % self.stderr())

    def stderr(self):
        with open(self.err_path, "r", encoding="latin-1") as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            time.sleep(0.3)  # the last segments
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(20)
        self._err.close()

    def tshark(self, *args):
        """tshark's output for the capture, the port decoded as the protocol."""
        argv = ["tshark", "-r", self.path, "-d", "tcp.port==%d,%s" % (self.port, self.protocol)]
        argv += list(args)
        done = subprocess.run(argv, capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            raise AssertionError("tshark failed: %s" % done.stderr)
        return done.stdout

    def streams(self):
        """The bytes of every connection per direction: {(stream, from_server): bytes}."""
        streams = {}
        for line in self.tshark("-T", "fields", "-e", "tcp.stream", "-e", "tcp.srcport",
                                "-e", "tcp.payload", "-Y", "tcp.len > 0").splitlines():
            stream, source, payload = line.split("\t")
            key = (int(stream), int(source) == self.port)
            streams.setdefault(key, bytearray()).extend(bytes.fromhex(payload.replace(":", "")))
        return {key: bytes(data) for key, data in streams.items()}

    def frames_from_server(self):
        """The UCP frames the server sent, as (stream, trn, O/R, ot, fields)."""
        out = []
        for (stream, from_server), data in sorted(self.streams().items()):
            if not from_server:
                continue
            for raw in re.findall(rb"\x02([^\x02\x03]*)\x03", data):
                parts = raw.decode("latin-1").split("/")
                # TRN/LEN/O-R/OT/data.../checksum
                out.append((stream, int(parts[0]), parts[2], int(parts[3]), parts[4:-1]))
        return out
