#!/usr/bin/python3
"""What the disk allows a store with Sync = full: the latency of a 4 KiB
write followed by fdatasync, --count times in a row, in a file below the
build tree (where the benchmarks keep the daemon's store). One commit of
the store waits for at least one such flush (the journal's).

    bench/bench_disk.py [--build DIR] [--count 500]
"""

import os
import time

import benchlib


def options(parser):
    parser.add_argument("--count", type=int, default=500)


def main():
    args = benchlib.parse_args(__doc__, options)
    benchlib.header("The disk's flush latency")
    directory = os.path.join(args.build, "scratch")
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "fsync-probe.%d" % os.getpid())
    block = b"k" * 4096
    times = []
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        for i in range(args.count):
            os.pwrite(fd, block, (i % 256) * len(block))
            start = time.perf_counter()
            os.fdatasync(fd)
            times.append((time.perf_counter() - start) * 1000)
    finally:
        os.close(fd)
        os.unlink(path)
    p50 = benchlib.percentile(times, 0.5)
    print("write 4 KiB + fdatasync, %d times: p50 %.3f ms, p99 %.3f ms, max %.3f ms: at most about %.0f "
          "flushes a second in a row" % (args.count, p50, benchlib.percentile(times, 0.99), max(times), 1000 / p50))
    print("machine after: %s" % benchlib.machine())


if __name__ == "__main__":
    main()
