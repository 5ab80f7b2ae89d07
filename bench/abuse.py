#!/usr/bin/env python3
"""Two hostile-client measurements against a real `qorda serve` on loopback.

  stall   one client pipelines STAT of a large directory many times in a single send while a
          second client sends NOOP in a loop; prints the second client's worst and median wait
          for its reply (how long one client can keep the server from everybody else).
  guess   opens many connections from one address, each sending wrong passwords as fast as the
          server answers; prints how many passwords the server checked per second.

Usage: bench/abuse.py [--qorda build/qorda] [stall|guess|all] [--entries N] [--stats N]
       [--connections N] [--seconds S]
Not a test: it prints figures and never fails on them. Traffic goes to 127.0.0.1 only.
"""
import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """A temporary home with one full-rights account and `qorda serve` on a free port."""

    def __init__(self, qorda, entries):
        self.home = tempfile.mkdtemp(prefix="qorda-abuse-")
        self.qorda = qorda
        self.run("init")
        self.run("set", "iloglf", "0")
        self.run("set", "ilogls", "1")
        self.run("set", "benabledns", "0")
        self.run("user", "add", "bench", "--password", "benchpw", "--perm",
                 "[u] rwdlcxhms /c:/")
        big = os.path.join(self.home, "c", "big")
        os.makedirs(big)
        for i in range(entries):
            with open(os.path.join(big, "file-%06d.dat" % i), "w"):
                pass
        self.port = free_port()
        self.proc = subprocess.Popen(
            [qorda, "--home", self.home, "serve", "--port", str(self.port)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        deadline = time.monotonic() + 20
        for line in self.proc.stdout:
            if "enabled on port" in line:
                break
            if time.monotonic() > deadline:
                raise SystemExit("the server did not start")
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()

    def run(self, *args):
        subprocess.run([self.qorda, "--home", self.home, *args], check=True,
                       stdout=subprocess.DEVNULL)

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        shutil.rmtree(self.home, ignore_errors=True)


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.buf = b""
        self.reply()

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def reply(self):
        first = self.line()
        if len(first) > 3 and first[3] == "-":
            while not re.match(first[:3] + " ", self.line()):
                pass
        return first

    def cmd(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.reply()


def stall(server, stats):
    hog = Client(server.port)
    hog.cmd("USER bench")
    hog.cmd("PASS benchpw")
    probe = Client(server.port)
    probe.cmd("USER bench")
    probe.cmd("PASS benchpw")
    waits = []
    done = threading.Event()

    def drain():  # the hog reads its replies, so its output never backs up
        try:
            while hog.sock.recv(1 << 20):
                pass
        except OSError:
            pass

    threading.Thread(target=drain, daemon=True).start()
    hog.sock.sendall(b"STAT /big/\r\n" * stats)
    start = time.monotonic()
    while time.monotonic() - start < 10 and not done.is_set():
        t = time.monotonic()
        probe.cmd("NOOP")
        waits.append(time.monotonic() - t)
    hog.sock.close()
    probe.sock.close()
    print("stall: %d pipelined STATs of %s; other client's NOOP: worst %.1f ms, median %.2f ms,"
          " %d round trips in %.1f s" % (stats, "a directory", max(waits) * 1000,
                                         statistics.median(waits) * 1000, len(waits),
                                         time.monotonic() - start))


def guess(server, connections, seconds):
    checked = 0
    lock = threading.Lock()
    stop = time.monotonic() + seconds

    def worker():
        nonlocal checked
        while time.monotonic() < stop:
            try:
                c = Client(server.port)
                for _ in range(3):
                    c.cmd("USER bench")
                    r = c.cmd("PASS wrong")
                    if not r.startswith("530"):
                        raise SystemExit("unexpected reply: " + r)
                    with lock:
                        checked += 1
                    if time.monotonic() >= stop:
                        break
                c.sock.close()
            except (OSError, EOFError):
                pass

    threads = [threading.Thread(target=worker) for _ in range(connections)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    print("guess: %d connections from one address, %.1f s: %d wrong passwords answered,"
          " %.1f per second" % (connections, elapsed, checked, checked / elapsed))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("what", nargs="?", default="all", choices=["stall", "guess", "all"])
    ap.add_argument("--qorda", default=os.path.join(ROOT, "build", "qorda"))
    ap.add_argument("--entries", type=int, default=10000)
    ap.add_argument("--stats", type=int, default=400)
    ap.add_argument("--connections", type=int, default=50)
    ap.add_argument("--seconds", type=float, default=10)
    args = ap.parse_args()
    server = Server(args.qorda, args.entries if args.what != "guess" else 0)
    try:
        if args.what in ("stall", "all"):
            stall(server, args.stats)
        if args.what in ("guess", "all"):
            guess(server, args.connections, args.seconds)
    finally:
        server.close()


if __name__ == "__main__":
    sys.exit(main())
