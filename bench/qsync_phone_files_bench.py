#!/usr/bin/env python3
"""Figures of qsync's commands on phone paths, against the stand-in.

usage: qsync_phone_files_bench.py --qsync BIN --phone-service BIN [--tree-files N]
                                  [--get-files N] [--get-kib N] [--repeat N]

1. ls -R of a phone tree of --tree-files files (20,000 by default, 100 to a
   folder): its time and the peak memory of qsync, with the entries it
   listed.
2. get -r of --get-files files of --get-kib KiB (1,000 of 100 KiB by
   default) from the camera folder, against fetch camera of the same files
   in the same run: time and files per second of each, and their ratio.

The phone's files are written straight into the stand-in's folder. Each
row is the median of --repeat runs (3 by default), each into a fresh PC
folder. A benchmark, not a test: it prints figures and asserts only what
makes them meaningful (every command ends with exit 0 and moves every file).
"""
import argparse
import os
import statistics
import tempfile
from pathlib import Path

from qsync_resume_bench import Phone, run


def make_tree(root, files, per_folder, size):
    block = os.urandom(max(size, 1)) * 2
    for i in range(files):
        path = root / ("d%04d" % (i // per_folder)) / ("f%05d.bin" % i)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(block[i % (len(block) // 2):][:size])  # each file its own bytes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qsync", required=True)
    parser.add_argument("--phone-service", required=True)
    parser.add_argument("--tree-files", type=int, default=20000)
    parser.add_argument("--get-files", type=int, default=1000)
    parser.add_argument("--get-kib", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="qsync-phone-files-bench-") as work:
        work = Path(work)
        state = work / "state"
        phone = Phone(args.phone_service, work / "phone")
        try:
            make_tree(work / "phone/sdcard/Tree", args.tree_files, 100, 16)
            runs = []
            for _ in range(args.repeat):
                seconds, rss, events = run(args.qsync, phone, state, "ls", "-R", "/sdcard/Tree")
                files = sum(1 for e in events if e["event"] == "entry" and e["type"] == "file")
                if files != args.tree_files:
                    raise SystemExit("ls -R listed %d files of %d" % (files, args.tree_files))
                runs.append((seconds, rss))
            print("ls -R of %d files in %d folders: %.2f s, peak memory %.1f MiB" % (
                args.tree_files, (args.tree_files + 99) // 100, statistics.median(s for s, _ in runs),
                statistics.median(r for _, r in runs) / 1024))

            make_tree(work / "phone/sdcard/DCIM/Camera", args.get_files, args.get_files, args.get_kib * 1024)
            rows = {"get -r": [], "fetch camera": []}
            for i in range(args.repeat):
                for name, command in (("get -r", ["get", "-r", "/sdcard/DCIM"]), ("fetch camera", ["fetch", "camera", "--to"])):
                    target = work / ("pc-%s-%d" % (command[0], i))
                    seconds, _, _ = run(args.qsync, phone, state, *command, str(target))
                    got = sum(1 for p in target.rglob("*") if p.is_file())
                    if got != args.get_files:
                        raise SystemExit("%s fetched %d files of %d" % (name, got, args.get_files))
                    rows[name].append(seconds)
            medians = {name: statistics.median(times) for name, times in rows.items()}
            for name, seconds in medians.items():
                print("%-12s %d x %d KiB: %.2f s, %.0f files/s" % (name, args.get_files, args.get_kib, seconds,
                                                                  args.get_files / seconds))
            print("get -r / fetch camera time: %.2f" % (medians["get -r"] / medians["fetch camera"]))
        finally:
            phone.stop()


if __name__ == "__main__":
    main()
