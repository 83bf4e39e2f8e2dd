#!/usr/bin/env python3
"""Figures of qsync on repeated and flaky pushes, against the stand-in.

usage: qsync_resume_bench.py --qsync BIN --phone-service BIN [--files N] [--flaky-files N]
                             [--lossy | --lossy-only] [--lossy-files N] [--big-mib N]
                             [--lossy-jobs JOB,...]

1. A no-op re-push of --files files (20,000 by default): after a first push
   of them, the time of the second, the requests the stand-in got during it
   (its --verbose log has one line per request) and the peak memory of qsync.
2. A push of --flaky-files files of 20 KB (2,000 by default) with the
   stand-in dropping 2 requests in 1,000 (--fault close:rate=2): one
   command, its rounds, and its time against the same push without faults
   (and with --retry-delay 0, which leaves out the waits between rounds).

3. With --lossy (or --lossy-only): each job with qsync's defaults, fault-free
   and with the stand-in losing requests, half before the work (close) and
   half after it (drop), in the same run: push, fetch, backup and restore of
   --lossy-files files of 20 KiB (2,000 by default) at 2 per mille and at 1%,
   and one --big-mib MiB file (256 by default) pushed and fetched at 1%. A
   table of the times and the ratio lossy / fault-free, with the requests the
   library retried and the rounds qsync ran; each row the medians of
   --repeat runs (3 by default). --lossy-jobs keeps the rows of the named
   jobs only (push, fetch, backup, restore).

Each measurement runs in a fresh folder with a journal of its own. A
benchmark, not a test: it prints figures and asserts only what makes them
meaningful (every command ends with exit 0).
"""
import argparse
import json
import os
import statistics
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


def lossy_fault(per_mille, seed):
    """Half the lost requests before the work (close), half after it (drop)."""
    half = per_mille / 2
    return ["--fault", "close:rate=%g,seed=%d" % (half, seed), "--fault", "drop:rate=%g,seed=%d" % (half, seed + 1)]


def copy_tree(source, target):
    for path in source.rglob("*"):
        if path.is_file():
            (target / path.relative_to(source)).parent.mkdir(parents=True, exist_ok=True)
            os.link(path, target / path.relative_to(source))


def lossy_table(args, tmp):
    """Fault-free against lossy runs of each job, with qsync's defaults."""
    source = tmp / "lossy-src"
    make_files(source / "set", args.lossy_files, 20 * 1024)
    big = tmp / "big-src"
    big.mkdir()
    with open(big / "big.mp4", "wb") as f:
        for _ in range(args.big_mib):
            f.write(os.urandom(1 << 20))
    counter = [0]

    def measure(job, fault, files):
        """One job against a fresh stand-in: (seconds, retries, rounds)."""
        counter[0] += 1
        n = counter[0]
        root = tmp / ("lossy-phone-%d" % n)
        here = tmp / ("lossy-pc-%d" % n)
        here.mkdir()
        if job in ("fetch", "backup"):  # the files wait on the phone
            copy_tree(files, root / "sdcard/DCIM")
        if job == "restore":  # a backup folder of them
            copy_tree(files, here / "Gallery/DCIM")
        phone = Phone(args.phone_service, root, *fault)
        command = {"push": ["push", "videos", str(files)],
                   "fetch": ["fetch", "camera", "--to", str(here)],
                   "backup": ["backup", "media", "--to", str(here)],
                   "restore": ["restore", "media", "--from", str(here)]}[job]
        seconds, _, events = run(args.qsync, phone, tmp / ("lossy-state-%d" % n), *command)
        phone.stop()
        rounds = 1 + sum(1 for e in events if e["event"] == "retry")
        return seconds, events[-1]["retries"], rounds

    rows = []
    cases = [(job, "%d x 20 KiB" % args.lossy_files, source / "set", rate)
             for job in ("push", "fetch", "backup", "restore") for rate in (2, 10)]
    cases += [("push", "1 x %d MiB" % args.big_mib, big, 10), ("fetch", "1 x %d MiB" % args.big_mib, big, 10)]
    cases = [case for case in cases if case[0] in args.lossy_jobs.split(",")]
    # Fault-free and lossy runs alternate, --repeat times each; the medians
    # count, so a moment of load on the machine does not decide a row.
    for job, what, files, rate in cases:
        clean, lossy = [], []
        for repeat in range(args.repeat):
            clean.append(measure(job, [], files)[0])
            lossy.append(measure(job, lossy_fault(rate, 20 + rate + repeat), files))
        middle = sorted(lossy)[len(lossy) // 2]
        rows.append((job, what, rate, statistics.median(clean), middle[0], middle[1], middle[2]))
    print()
    print("| job | files | lost (close+drop) | fault-free | lossy | ratio | requests retried | rounds |")
    print("|---|---|---|---|---|---|---|---|")
    for job, what, rate, base, seconds, retries, rounds in rows:
        print("| %s | %s | %s | %.2f s | %.2f s | %.2f | %d | %d |"
              % (job, what, "2 per mille" if rate == 2 else "1%", base, seconds, seconds / base, retries, rounds))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qsync", required=True)
    parser.add_argument("--phone-service", required=True)
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--flaky-files", type=int, default=2000)
    parser.add_argument("--lossy", action="store_true", help="also the lossy table")
    parser.add_argument("--lossy-only", action="store_true", help="only the lossy table")
    parser.add_argument("--lossy-files", type=int, default=2000)
    parser.add_argument("--big-mib", type=int, default=256)
    parser.add_argument("--lossy-jobs", default="push,fetch,backup,restore",
                        help="the jobs of the lossy table, comma-separated")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each lossy row and its fault-free twin")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qsync-bench-") as tmp:
        tmp = Path(tmp)
        if args.lossy or args.lossy_only:
            lossy_table(args, tmp)
        if args.lossy_only:
            return
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
