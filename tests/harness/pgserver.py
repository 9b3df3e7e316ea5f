"""A private PostgreSQL server for one test: initdb into a directory below
the build tree, the server on a free loopback port with its socket in that
directory, one database. Nothing of the machine's own PostgreSQL (service,
cluster, configuration) is used.

As root (the tests run as root) the server runs as `nobody`, which owns the
directory, since PostgreSQL refuses to run as root. The server gets SIGINT
(a fast shutdown) when the process that started it ends, however it ends;
cleanup() stops it and removes the directory.

Run as a program (`pgserver.py DIR`), it serves the C++ tests: it starts a
server in DIR, prints "ready CONNECTION-STRING", then obeys the lines
"stop" and "start" on its standard input (answering "stopped" and
"started" or "error: ..."), and at the end of its input, or after
--lifetime seconds at most, stops the server and removes DIR.
"""

import ctypes
import glob
import os
import pwd
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kst  # noqa: E402
from kst import ScratchPeer, free_port  # noqa: E402

DATABASE = "kst"
USER = "kst"
START_TIMEOUT = 60.0
STOP_TIMEOUT = 30.0
_PR_SET_PDEATHSIG = 1


def bin_dir():
    """The newest installed server's programs (postgresql-NN of Debian)."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    if not found:
        raise RuntimeError("no PostgreSQL server in /usr/lib/postgresql/*/bin (Debian package postgresql)")
    return os.path.dirname(found[-1])


def _die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGINT, 0, 0, 0)


class PostgresServer(ScratchPeer):
    def __init__(self, workdir=None):
        self._make_workdir(workdir, "pg-")
        self.bin = bin_dir()
        self.data = os.path.join(self.workdir, "data")
        self.socket_dir = os.path.join(self.workdir, "socket")
        self.err_path = os.path.join(self.workdir, "server.log")
        self.port = free_port()
        self.process = None
        self._drop = []
        self._user = None
        if os.getuid() == 0:
            self._user = pwd.getpwnam("nobody")
            self._drop = ["setpriv", "--reuid=%d" % self._user.pw_uid, "--regid=%d" % self._user.pw_gid,
                          "--clear-groups"]
            self._open_path_for(self._user)
        os.makedirs(self.socket_dir, exist_ok=True)
        if self._user:
            os.chown(self.workdir, self._user.pw_uid, self._user.pw_gid)
            os.chown(self.socket_dir, self._user.pw_uid, self._user.pw_gid)
        self._run([os.path.join(self.bin, "initdb"), "-D", self.data, "-U", USER, "--auth=trust", "--no-sync",
                   "-E", "UTF8", "--locale=C"], "initdb")
        self.start()
        self._run([os.path.join(self.bin, "createdb"), "-h", "127.0.0.1", "-p", str(self.port), "-U", USER,
                   DATABASE], "createdb")

    def _open_path_for(self, user):
        """The server's user must reach the directory: the directories of the
        build tree on the way get search permission for others; one above it
        without it is an error that says so."""
        build = os.path.realpath(kst.BUILD_DIR)
        path = os.path.realpath(self.workdir)
        while path != "/":
            path = os.path.dirname(path)
            mode = os.stat(path).st_mode
            if mode & 0o001:
                continue
            if path == build or path.startswith(build + "/"):
                os.chmod(path, mode | 0o001)
            else:
                raise RuntimeError("the PostgreSQL server runs as %s, which cannot reach %s: %s lacks search "
                                   "permission for others" % (user.pw_name, self.workdir, path))

    def _run(self, argv, what):
        done = subprocess.run(self._drop + argv, capture_output=True, text=True, timeout=START_TIMEOUT,
                              cwd=self.workdir)
        if done.returncode != 0:
            raise RuntimeError("%s failed (%d): %s%s" % (what, done.returncode, done.stdout, done.stderr))

    @property
    def connection(self):
        """The libpq connection string of the test database."""
        return "host=127.0.0.1 port=%d dbname=%s user=%s" % (self.port, DATABASE, USER)

    def start(self):
        """Starts the server on its port and waits until it takes connections."""
        if self.process is not None:
            return
        log = open(self.err_path, "a")
        try:
            # The parent-death signal is set after the change of user (which
            # would clear it): by setpriv as root, else before the exec.
            drop = self._drop + ["--pdeathsig", "INT"] if self._drop else []
            self.process = subprocess.Popen(
                drop + [os.path.join(self.bin, "postgres"), "-D", self.data, "-h", "127.0.0.1",
                              "-p", str(self.port), "-k", self.socket_dir, "-c", "fsync=off",
                              "-c", "max_connections=20", "-c", "shared_buffers=16MB"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, cwd=self.workdir,
                preexec_fn=None if self._drop else _die_with_parent)
        finally:
            log.close()
        deadline = time.monotonic() + START_TIMEOUT
        ready = [os.path.join(self.bin, "pg_isready"), "-q", "-h", "127.0.0.1", "-p", str(self.port), "-t", "1"]
        while subprocess.run(ready, timeout=10).returncode != 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the PostgreSQL server did not start: " + self.stderr()[-2000:])
            time.sleep(0.1)

    def stop(self):
        """A fast shutdown: the clients are disconnected."""
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(STOP_TIMEOUT)
        self.process = None

    def sql(self, query):
        """Runs `query` with psql; its rows, fields separated by '|'."""
        done = subprocess.run(["psql", "-X", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d", self.connection,
                               "-c", query], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise RuntimeError("psql failed: " + done.stderr)
        return [line for line in done.stdout.splitlines() if line]


def serve(directory, lifetime):
    os.makedirs(directory, exist_ok=True)
    server = None
    done = threading.Event()

    def finish(*_):
        done.set()

    signal.signal(signal.SIGTERM, finish)
    try:
        server = PostgresServer(directory)
        print("ready " + server.connection, flush=True)
        reader = threading.Thread(target=_obey, args=(server, done), daemon=True)
        reader.start()
        done.wait(lifetime)
    except Exception as e:  # noqa: BLE001 - the caller reads why
        print("error: %s" % " ".join(str(e).split()), flush=True)
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(directory, ignore_errors=True)


def _obey(server, done):
    for line in sys.stdin:
        command = line.strip()
        try:
            if command == "stop":
                server.stop()
                print("stopped", flush=True)
            elif command == "start":
                server.start()
                print("started", flush=True)
            else:
                print("error: unknown command %r" % command, flush=True)
        except Exception as e:  # noqa: BLE001
            print("error: %s" % " ".join(str(e).split()), flush=True)
    done.set()


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory")
    parser.add_argument("--lifetime", type=float, default=600.0)
    arguments = parser.parse_args()
    serve(arguments.directory, arguments.lifetime)
