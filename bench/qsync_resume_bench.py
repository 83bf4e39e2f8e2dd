#!/usr/bin/env python3
"""Figures of qsync on repeated and flaky pushes, against the stand-in.

usage: qsync_resume_bench.py --qsync BIN --phone-service BIN [--files N] [--flaky-files N]

1. A no-op re-push of --files files (20,000 by default): after a first push
   of them, the time of the second, the requests the stand-in got during it
   (its --verbose log has one line per request) and the peak memory of qsync.
2. A push of --flaky-files files of 20 KB (2,000 by default) with the
   stand-in dropping 2 requests in 1,000 (--fault close:rate=2): one
   command, its rounds, and its time against the same push without faults
   (and with --retry-delay 0, which leaves out the waits between rounds).

Each measurement runs in a fresh folder with a journal of its own. A
benchmark, not a test: it prints figures and asserts only what makes them
meaningful (every command ends with exit 0).
"""
import argparse
import json
import os
import subprocess
import tempfile
import time
from pathlib import Path


class Phone:
    def __init__(self, service, root, *fault):
        self.log_path = Path(str(root) + ".log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([service, "--root", str(root), "--port", "0", "--verbose", *fault],
                                     stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.address = "127.0.0.1:" + self.proc.stdout.readline().rsplit(":", 1)[1].strip()

    def requests(self):
        self.log.flush()
        return sum(1 for _ in open(self.log_path))

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()
        self.log.close()


def run(qsync, phone, state, *args):
    """Runs qsync; returns (seconds, peak resident KiB, JSON events)."""
    env = dict(os.environ, XDG_STATE_HOME=str(state))
    start = time.monotonic()
    proc = subprocess.Popen([qsync, "--phone", phone.address, "--json", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    proc.stdout.close()
    events = [json.loads(line) for line in out.splitlines()]
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise SystemExit("qsync %s ended with %d: %s" % (" ".join(args), code, events[-1]))
    return seconds, usage.ru_maxrss, events


def make_files(folder, count, size):
    folder.mkdir(parents=True)
    block = os.urandom(size)
    for i in range(count):
        (folder / ("%05d.mp3" % i)).write_bytes(block[i % size:] + block[:i % size])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qsync", required=True)
    parser.add_argument("--phone-service", required=True)
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--flaky-files", type=int, default=2000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qsync-bench-") as tmp:
        tmp = Path(tmp)
        make_files(tmp / "many", args.files, 100)
        phone = Phone(args.phone_service, tmp / "phone1")
        first, first_rss, _ = run(args.qsync, phone, tmp / "state1", "push", "music", str(tmp / "many"))
        before = phone.requests()
        seconds, rss, events = run(args.qsync, phone, tmp / "state1", "push", "music", str(tmp / "many"))
        requests = phone.requests() - before
        phone.stop()
        print("no-op re-push of %d files: %.2f s, %d requests to the phone, peak memory %.1f MiB "
              "(unchanged %d; the first push: %.1f s, %.1f MiB)"
              % (args.files, seconds, requests, rss / 1024, events[-1]["unchanged"], first, first_rss / 1024))

        make_files(tmp / "flaky", args.flaky_files, 20 * 1024)
        figures = {}
        flaky = ["--fault", "close:rate=2,seed=11"]
        for name, fault, delay in (("without faults", [], "1"), ("with close:rate=2", flaky, "1"),
                                   ("with close:rate=2 and --retry-delay 0", flaky, "0")):
            phone = Phone(args.phone_service, tmp / ("phone-%d" % len(figures)), *fault)
            seconds, _, events = run(args.qsync, phone, tmp / ("state-%d" % len(figures)), "--retry-delay", delay,
                                     "push", "music", str(tmp / "flaky"))
            dropped = sum(1 for line in open(phone.log_path) if "[fault close" in line)
            phone.stop()
            rounds = 1 + sum(1 for e in events if e["event"] == "retry")
            figures[name] = seconds
            print("push of %d files of 20 KiB %s: one command, %d round%s, %d requests dropped, %.2f s, stored %d"
                  % (args.flaky_files, name, rounds, "" if rounds == 1 else "s", dropped, seconds,
                     events[-1]["stored"]))
        print("flaky / clean time: %.2f (with --retry-delay 0: %.2f)"
              % (figures["with close:rate=2"] / figures["without faults"],
                 figures["with close:rate=2 and --retry-delay 0"] / figures["without faults"]))


if __name__ == "__main__":
    main()
