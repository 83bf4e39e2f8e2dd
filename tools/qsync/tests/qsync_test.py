#!/usr/bin/env python3
"""End-to-end tests of qsync against the phone-service stand-in.

usage: qsync_test.py --qsync BIN --phone-service BIN [--runner SCRIPT] [unittest args]

With --runner (the Windows build's Wine wrapper) only the Wine and Resume classes run:
qsync.exe talks to a native stand-in over loopback.
"""
import argparse
import fcntl
import http.client
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
from pathlib import Path

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--qsync", required=True)
_parser.add_argument("--phone-service", required=True)
_parser.add_argument("--runner")
ARGS, UNITTEST_ARGS = _parser.parse_known_args()


class PhoneService:
    """A stand-in on a free loopback port; its --verbose log goes to a file."""

    def __init__(self, root, *extra):
        self.root = Path(root)
        self.log_path = self.root.parent / (self.root.name + ".log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(
            [ARGS.phone_service, "--root", str(root), "--port", "0", "--verbose", *extra],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.proc.stdout.readline()  # "listening on 127.0.0.1:PORT": the ready signal
        if not line.startswith("listening on "):
            raise RuntimeError("stand-in did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])
        self.address = "127.0.0.1:%d" % self.port

    def log_lines(self):
        self.log.flush()
        return [l for l in self.log_path.read_text().splitlines() if l.strip()]

    def control(self, command):
        """One control request (arm, wait, release, disarm); its answer's number."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request("GET", "/control", body=command)
            answer = connection.getresponse()
            text = answer.read().decode()
        finally:
            connection.close()
        if answer.status != 200:
            raise RuntimeError("control %r: %d %s" % (command, answer.status, text))
        return int(text.split()[-1])

    def phone_files(self):
        return sorted("/" + str(p.relative_to(self.root)) for p in self.root.rglob("*")
                      if p.is_file() and not p.name.startswith("media.db") and "mms_parts" not in p.parts)

    def db(self, query):
        with sqlite3.connect(self.root / "media.db") as db:
            return db.execute(query).fetchall()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.log.close()


def run_qsync(*args, env=None, timeout=120):
    command = ([ARGS.runner] if ARGS.runner else []) + [ARGS.qsync, *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, **(env or {})))


def json_events(stdout):
    return [json.loads(line) for line in stdout.splitlines()]


def run_in_pty(args, columns=120, timeout=60):
    """Runs qsync on a pseudo-terminal; returns (exit code, screen text)."""
    pid, fd = pty.fork()
    if pid == 0:
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        os.execv(args[0], args)
    screen = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 30)
        try:
            data = os.read(fd, 65536) if ready else b""
        except OSError:  # the child closed the terminal
            data = b""
        if not data:
            break
        screen += data
    os.close(fd)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), screen.decode()


def read_until(stream, needle, timeout=60):
    """Reads a child's pipe until needle has come (the bound is against a hang)."""
    seen = b""
    deadline = time.monotonic() + timeout
    while needle not in seen:
        ready, _, _ = select.select([stream], [], [], max(0, deadline - time.monotonic()))
        data = os.read(stream.fileno(), 4096) if ready else b""
        if not data:
            raise AssertionError("no %r in %r" % (needle, seen))
        seen += data
    return seen


BAR = re.compile(r"\[[#.]{20}\] +(\d+)%  \d+:\d\d  .*?(\d+)/(\d+) items")


class QsyncCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="qsync-test-")
        self.tmp = Path(self.dir.name)
        self.pc = self.tmp / "pc"
        self.pc.mkdir()
        self.services = []
        # Each test has journals of its own (qsync's default place).
        self.state = self.tmp / "state"
        self.saved_state = os.environ.get("XDG_STATE_HOME")
        os.environ["XDG_STATE_HOME"] = str(self.state)

    def tearDown(self):
        if self.saved_state is None:
            os.environ.pop("XDG_STATE_HOME", None)
        else:
            os.environ["XDG_STATE_HOME"] = self.saved_state
        for s in self.services:
            s.stop()
        self.dir.cleanup()

    def service(self, *extra, name="phone"):
        s = PhoneService(self.tmp / name, *extra)
        self.services.append(s)
        return s

    def write(self, relative, size, seed=0):
        path = self.pc / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(bytes((i * 7 + seed) % 251 for i in range(size)))
        return path

    def qsync(self, phone, *args, expect=0, **kw):
        if ARGS.runner and "--journal" not in args and "--no-journal" not in args:
            # Wine sets %LOCALAPPDATA% itself: each test names its journal.
            journal = self.state / ("%d.journal" % phone.port)
            args = ("--journal", "Z:" + str(journal).replace("/", "\\")) + args
        r = run_qsync("--phone", phone.address, *args, **kw)
        self.assertEqual(r.returncode, expect, "qsync %s\nstdout:\n%s\nstderr:\n%s" % (args, r.stdout, r.stderr))
        return r


@unittest.skipIf(ARGS.runner, "native build only")
class Commands(QsyncCase):
    def test_every_command_against_the_stand_in(self):
        phone = self.service()
        songs = [self.write("Album%d/song%d.mp3" % (a, s), 70000 + 1000 * a + s, seed=s) for a in (1, 2) for s in (1, 2)]
        # push: folders are walked; --json gives one parseable object per line.
        r = self.qsync(phone, "--json", "push", "music", str(self.pc / "Album1"), str(self.pc / "Album2"))
        events = json_events(r.stdout)
        stored = {e["pc"]: e["phone"] for e in events if e["event"] == "item"}
        self.assertEqual(set(stored), {str(p) for p in songs})
        done = events[-1]
        self.assertEqual((done["event"], done["exit"], done["stored"]), ("done", 0, 4))
        self.assertEqual(done["bytes"], sum(p.stat().st_size for p in songs))
        self.assertTrue(all(e["event"] in ("item", "percent", "progress", "done") for e in events))
        self.assertEqual((done["failed"], done["failed_items"]), (0, []))
        for pc, phone_path in stored.items():
            self.assertEqual(phone_path, "/sdcard/Music" + pc)
            self.assertEqual((phone.root / phone_path[1:]).read_bytes(), Path(pc).read_bytes())

        # remove mirrors the same phone path that push got back.
        r = self.qsync(phone, "--json", "remove", "music", "--dry-run", str(songs[0]))
        self.assertEqual(json_events(r.stdout)[0]["phone"], stored[str(songs[0])])

        # playlist create from PC files; update from one PC file and one phone path.
        r = self.qsync(phone, "-q", "playlist", "create", "Road trip", str(songs[0]), str(songs[3]))
        playlist_id = r.stdout.strip()
        self.assertTrue(playlist_id.isdigit(), r.stdout)
        members = "SELECT f._data FROM playlist_members m JOIN files f ON f._id = m.audio_id " \
                  "WHERE m.playlist_id = %s ORDER BY m.play_order" % playlist_id
        self.assertEqual(phone.db("SELECT name FROM playlists WHERE _id = " + playlist_id), [("Road trip",)])
        self.assertEqual([p for (p,) in phone.db(members)], [stored[str(songs[0])], stored[str(songs[3])]])
        self.qsync(phone, "playlist", "update", playlist_id, "Night drive", stored[str(songs[2])], str(songs[1]))
        self.assertEqual(phone.db("SELECT name FROM playlists WHERE _id = " + playlist_id), [("Night drive",)])
        self.assertEqual([p for (p,) in phone.db(members)], [stored[str(songs[2])], stored[str(songs[1])]])
        self.qsync(phone, "playlist", "delete", playlist_id)
        self.assertEqual(phone.db("SELECT COUNT(*) FROM playlists"), [(0,)])

        # fetch: camera pictures placed on the phone side arrive below --to.
        camera = phone.root / "sdcard/DCIM/Camera"
        camera.mkdir(parents=True)
        (camera / "IMG_1.jpg").write_bytes(b"\xff\xd8" + bytes(90000))
        self.qsync(phone, "fetch", "camera", "--to", str(self.tmp / "pictures"))
        self.assertEqual((self.tmp / "pictures/Camera/IMG_1.jpg").read_bytes(), (camera / "IMG_1.jpg").read_bytes())

        # backup and restore of the documents, with each conflict mode.
        docs = phone.root / "sdcard/My Documents/Documents"
        docs.mkdir(parents=True)
        (docs / "notes.txt").write_text("first version\n")
        self.qsync(phone, "backup", "documents", "--to", str(self.tmp / "backup"))
        self.assertEqual((self.tmp / "backup/Document/notes.txt").read_text(), "first version\n")
        restore_from = self.tmp / "restore/Document/My Documents/Documents"
        restore_from.mkdir(parents=True)
        (restore_from / "notes.txt").write_text("second version, longer\n")
        for mode, expected, beside in (("keep", "first version\n", False),
                                       ("both", "first version\n", True),
                                       ("replace", "second version, longer\n", True)):
            args = ["restore", "documents", "--from", str(self.tmp / "restore")] + \
                   (["--on-conflict", mode] if mode != "keep" else [])
            self.qsync(phone, *args)
            self.assertEqual((docs / "notes.txt").read_text(), expected, mode)
            self.assertEqual((docs / "notes(2).txt").exists(), beside, mode)

        # remove one album: a PC folder becomes a folder item.
        r = self.qsync(phone, "remove", "music", str(self.pc / "Album1"))
        self.assertIn("removed /sdcard/Music%s/" % (self.pc / "Album1"), r.stdout)
        left = [p for p in phone.phone_files() if "/Music/" in p]
        self.assertEqual(left, sorted("/sdcard/Music" + str(p) for p in songs[2:]))
        # A file gone from the PC is removed by its mirrored path.
        songs[2].unlink()
        self.qsync(phone, "remove", "music", str(songs[2]))
        self.assertFalse((phone.root / stored[str(songs[2])][1:]).exists())

    def test_the_contract_cases(self):
        # tests/contract/cases.txt, which the library's contract test runs
        # through the exports: qsync names the phone path each file goes to,
        # the file is there, and a case the export fails fails here too.
        table = Path(__file__).resolve().parents[3] / "tests" / "contract" / "cases.txt"
        phone = self.service()
        for line in table.read_text(encoding="utf-8").splitlines():
            if not line or line.startswith("#"):
                continue
            kind, name, result = line.split("\t")
            path = self.pc / name
            if result == "0":
                self.write(name, 3000 + len(name))
                events = json_events(self.qsync(phone, "--json", "push", kind, str(path)).stdout)
                stored = [e["phone"] for e in events if e["event"] == "item"]
                self.assertEqual(len(stored), 1, line)
                self.assertEqual((phone.root / stored[0][1:]).read_bytes(), path.read_bytes(), line)
            else:
                r = run_qsync("--phone", phone.address, "--json", "push", kind, str(path))
                self.assertNotEqual(r.returncode, 0, line)
                self.assertEqual([e for e in json_events(r.stdout) if e["event"] == "item"], [], line)

    def test_ls_and_stat_show_the_phone_tree(self):
        phone = self.service()
        tree = {"Müsik/ñ a.mp3": 3000, "Müsik/sub/日本.txt": 70000, "Müsik/.hid/c": 5, "Müsik/.h2": 1}
        for name, size in tree.items():
            path = phone.root / "sdcard" / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(bytes(size))
        self.assertEqual(self.qsync(phone, "ls", "Müsik").stdout, "sub\nñ a.mp3\n")
        plain = self.qsync(phone, "ls", "-lR", "-a", "/sdcard/Müsik").stdout.splitlines()
        self.assertEqual([line for line in plain if line.endswith(":")],
                         ["/sdcard/Müsik:", "/sdcard/Müsik/.hid:", "/sdcard/Müsik/sub:"])
        self.assertRegex(plain[1], r"^-rw +1 \d{4}-\d\d-\d\d \d\d:\d\d \.h2$")
        self.assertIn("sub", [line.split(" ")[-1] for line in plain if line.startswith("drw")])
        self.assertTrue(any(re.match(r"^-rw +70000 .* 日本\.txt$", line) for line in plain), plain)
        events = json_events(self.qsync(phone, "--json", "ls", "-R", "Müsik").stdout)
        entries = {e["path"]: (e["type"], e["size"]) for e in events if e["event"] == "entry"}
        self.assertEqual(entries, {"/sdcard/Müsik/sub": ("folder", 0), "/sdcard/Müsik/ñ a.mp3": ("file", 3000),
                                   "/sdcard/Müsik/sub/日本.txt": ("file", 70000)})
        self.assertEqual((events[-1]["event"], events[-1]["exit"], events[-1]["entries"]), ("done", 0, 3))
        r = self.qsync(phone, "stat", "Müsik/sub/日本.txt", "/sdcard/none", "x/../y", expect=1)
        self.assertIn("  size: 70000\n", r.stdout)
        self.assertIn("/sdcard/none: no such file or folder on the phone", r.stderr)
        self.assertIn("/sdcard/x/../y: not a usable phone path", r.stderr)
        r = self.qsync(phone, "--json", "ls", "Müsik/ñ a.mp3", "nowhere", expect=1)
        events = json_events(r.stdout)
        self.assertEqual([e["name"] for e in events if e["event"] == "entry"], ["Müsik/ñ a.mp3"])
        self.assertEqual([(f["path"], f["result"]) for f in events[-1]["failed"]], [("/sdcard/nowhere", 1)])

    def test_rm_and_mv_refuse_kind_folders_and_keep_the_journal_true(self):
        phone = self.service()
        song = self.write("Album/song.mp3", 90000)
        mirrored = "/sdcard/Music" + str(song)
        stored = lambda r: [e["phone"] for e in json_events(r.stdout) if e["event"] == "item"]
        self.assertEqual(stored(self.qsync(phone, "--json", "push", "music", str(song))), [mirrored])
        for refused in (["rm", "-r", "/sdcard/Music"], ["rm", "-r", "music/"], ["rm", "-r", "/sdcard"], ["rm", "/"],
                        ["rm", "-r", "DCIM"]):
            r = self.qsync(phone, *refused, expect=2)
            self.assertIn("--force", r.stderr)
        self.assertEqual((phone.root / mirrored[1:]).read_bytes(), song.read_bytes())
        self.assertEqual(stored(self.qsync(phone, "--json", "push", "music", str(song))), [], "journal: unchanged")
        # rm of the pushed file, then push sends it again.
        self.assertEqual(self.qsync(phone, "rm", mirrored).stdout, "removed %s\n" % mirrored)
        self.assertFalse((phone.root / mirrored[1:]).exists())
        self.assertEqual(stored(self.qsync(phone, "--json", "push", "music", str(song))), [mirrored])
        # mv away: the journal forgets it too, and push puts it back.
        moved = "/sdcard/elsewhere/song.mp3"
        self.qsync(phone, "mv", mirrored, moved)
        self.assertEqual((phone.root / moved[1:]).read_bytes(), song.read_bytes())
        self.assertEqual(stored(self.qsync(phone, "--json", "push", "music", str(song))), [mirrored])
        r = self.qsync(phone, "mv", mirrored, moved, expect=1)
        self.assertIn("exists already", r.stderr)
        # A folder goes only with -r; an absent path is a failure.
        folder = "/sdcard/Music" + str(song.parent)
        r = self.qsync(phone, "rm", folder, expect=1)
        self.assertIn("not empty", r.stderr)
        self.assertTrue((phone.root / mirrored[1:]).exists())
        self.qsync(phone, "rm", "-r", folder)
        self.assertFalse((phone.root / folder[1:]).exists())
        self.qsync(phone, "rm", "/sdcard/elsewhere/none", expect=1)
        self.assertEqual(stored(self.qsync(phone, "--json", "push", "music", str(song))), [mirrored])
        self.qsync(phone, "rm", "-r", "--force", "elsewhere")
        self.assertFalse((phone.root / "sdcard/elsewhere").exists())

    def test_put_r_and_get_r_round_trip_a_tree_with_names_beyond_ascii(self):
        phone = self.service()
        tree = {"Fotos 日本/ä.jpg": 200000, "Fotos 日本/sub/ñ é.bin": 65536, "Fotos 日本/sub/deeper/0": 0,
                "Fotos 日本/.hidden": 10}
        for name, size in tree.items():
            self.write(name, size, seed=len(name))
        r = self.qsync(phone, "put", "-r", str(self.pc / "Fotos 日本"), "Up")
        self.assertRegex(r.stdout, r"put: 4 stored \(259\.3 KiB\) in ")
        for name in tree:
            self.assertEqual((phone.root / "sdcard/Up" / name).read_bytes(), (self.pc / name).read_bytes(), name)
        listed = self.qsync(phone, "ls", "-lR", "-a", "Up").stdout
        self.assertIn("/sdcard/Up/Fotos 日本/sub/deeper:", listed)
        self.assertRegex(listed, r"-rw +65536 .* ñ é\.bin\n")
        back = self.tmp / "back"
        events = json_events(self.qsync(phone, "--json", "get", "-r", "/sdcard/Up/Fotos 日本", str(back)).stdout)
        self.assertEqual(sorted(e["pc"] for e in events if e["event"] == "item" and e["action"] == "fetched"),
                         sorted(str(back / name) for name in tree))
        for name in tree:
            self.assertEqual((back / name).read_bytes(), (self.pc / name).read_bytes(), name)
        self.assertEqual((events[-1]["stored"], events[-1]["bytes"], events[-1]["exit"]), (4, 265546, 0))
        # Existing targets stay unless --replace; then they are replaced whole.
        (phone.root / "sdcard/Up/Fotos 日本/ä.jpg").write_bytes(b"short")
        (back / "Fotos 日本/sub/ñ é.bin").write_bytes(b"mine")
        r = self.qsync(phone, "get", "-r", "/sdcard/Up/Fotos 日本", str(back), expect=1)
        self.assertIn("exists (--replace replaces it)", r.stderr)
        self.assertEqual((back / "Fotos 日本/sub/ñ é.bin").read_bytes(), b"mine")
        r = self.qsync(phone, "get", "-r", "--replace", "/sdcard/Up/Fotos 日本", str(back))
        self.assertRegex(r.stdout.splitlines()[-1], r"^get: \d+ fetched \(")
        self.assertEqual((back / "Fotos 日本/ä.jpg").read_bytes(), b"short")
        self.assertEqual((back / "Fotos 日本/sub/ñ é.bin").read_bytes(), (self.pc / "Fotos 日本/sub/ñ é.bin").read_bytes())
        self.qsync(phone, "put", str(self.pc / "Fotos 日本/ä.jpg"), "Up/Fotos 日本", expect=1)
        self.qsync(phone, "put", "--replace", str(self.pc / "Fotos 日本/ä.jpg"), "Up/Fotos 日本")
        self.assertEqual((phone.root / "sdcard/Up/Fotos 日本/ä.jpg").read_bytes(), (self.pc / "Fotos 日本/ä.jpg").read_bytes())
        self.assertEqual(sorted(p.name for p in (phone.root / "sdcard/Up/Fotos 日本").iterdir()),
                         [".hidden", "sub", "ä.jpg"], "no temporary file left")
        r = self.qsync(phone, "get", "/sdcard/Up", str(back), expect=1)
        self.assertIn("is a folder (get -r copies it)", r.stderr)
        # du adds up the tree by listing it.
        self.assertEqual(self.qsync(phone, "du", "-s", "Up").stdout, "265546\t/sdcard/Up\n")
        self.assertEqual(self.qsync(phone, "du", "Up/Fotos 日本/sub").stdout.splitlines(),
                         ["0\t/sdcard/Up/Fotos 日本/sub/deeper", "65536\t/sdcard/Up/Fotos 日本/sub"])

    def test_fetch_backup_and_restore_count_the_files(self):
        phone = self.service()
        camera = phone.root / "sdcard/DCIM/Camera"
        (camera / "sub").mkdir(parents=True)
        for name, size in (("IMG_1.jpg", 90000), ("IMG_2.jpg", 5000), ("sub/IMG_3.jpg", 123)):
            (camera / name).write_bytes(bytes(size))
        pictures = self.tmp / "pictures"
        (pictures / "Camera").mkdir(parents=True)
        (pictures / "Camera/IMG_2.jpg").write_bytes(bytes(5000))  # the same size: skipped
        (pictures / "notes.txt").write_text("mine")
        r = self.qsync(phone, "--json", "fetch", "camera", "--to", str(pictures))
        done = json_events(r.stdout)[-1]
        self.assertEqual({k: done[k] for k in ("files", "replaced", "unchanged", "bytes", "exit")},
                         {"files": 2, "replaced": 0, "unchanged": 2, "bytes": 90123, "exit": 0})
        # Piped, each percentage names its job, and a job that succeeded
        # reaches 100% before its summary. The files left as they were are
        # every file the folder held, the person's own included.
        r = self.qsync(phone, "fetch", "camera", "--to", str(pictures))
        *progress, summary = r.stdout.splitlines()
        self.assertTrue(progress and all(re.fullmatch(r"fetch camera: \d+%", l) for l in progress), r.stdout)
        self.assertEqual(progress[-1], "fetch camera: 100%")
        self.assertRegex(summary, r"^fetch camera: 0 files \(0 B\), 4 already there in \d+\.\d\d s$")
        # A file changed on the PC and fetched again is kept beside it.
        (pictures / "Camera/IMG_1.jpg").write_bytes(bytes(10))
        r = self.qsync(phone, "fetch", "camera", "--to", str(pictures))
        self.assertRegex(r.stdout.splitlines()[-1],
                         r"^fetch camera: 1 file \(87\.9 KiB\), 4 already there in \d+\.\d\d s, ")

        docs = phone.root / "sdcard/Download"
        docs.mkdir(parents=True)
        (docs / "r.pdf").write_bytes(bytes(500))
        (docs / "p.jpg").write_bytes(bytes(700))  # not a document: not backed up
        (phone.root / "sdcard/My Documents/Documents").mkdir(parents=True)
        (phone.root / "sdcard/My Documents/Documents/notes.txt").write_text("first version\n")
        r = self.qsync(phone, "backup", "documents", "--to", str(self.tmp / "backup"))
        self.assertRegex(r.stdout.splitlines()[-1], r"^backup documents: 2 files \(514 B\) in \d+\.\d\d s, ")
        r = self.qsync(phone, "--json", "backup", "documents", "--to", str(self.tmp / "backup"))
        done = json_events(r.stdout)[-1]  # a backup writes its files again
        self.assertEqual((done["files"], done["replaced"], done["unchanged"], done["bytes"]), (2, 2, 0, 514))
        r = self.qsync(phone, "backup", "documents", "--to", str(self.tmp / "backup"))
        self.assertEqual(r.stdout.splitlines()[-2], "backup documents: 100%")
        self.assertRegex(r.stdout.splitlines()[-1], r"^backup documents: 2 files \(514 B\), 2 replaced in ")
        # A restore covers all the backup holds: its Download folders, what
        # it put directly below Document, and an older backup's
        # "My Documents/Documents" (letter.doc).
        restore = self.tmp / "backup/Document/My Documents/Documents"
        restore.mkdir(parents=True)
        (restore / "letter.doc").write_bytes(bytes(2048))
        notes = phone.root / "sdcard/My Documents/Documents/notes.txt"
        notes.unlink()
        r = self.qsync(phone, "--json", "restore", "documents", "--from", str(self.tmp / "backup"))
        done = json_events(r.stdout)[-1]
        self.assertEqual((done["files"], done["bytes"]), (3, 2562))
        self.assertEqual(notes.read_text(), "first version\n")
        self.assertEqual((notes.parent / "letter.doc").read_bytes(), bytes(2048))
        self.assertFalse((notes.parent / "My Documents").exists())
        r = self.qsync(phone, "restore", "documents", "--from", str(self.tmp / "backup"))
        self.assertRegex(r.stdout.splitlines()[-1], r"^restore documents: 3 files \(2\.5 KiB\) in ")

    def test_exit_codes_and_messages(self):
        phone = self.service()
        song = self.write("a.mp3", 1000)
        closed = PhoneService(self.tmp / "gone")
        closed_address = closed.address
        closed.stop()  # nothing listens there any more
        cases = [
            (["--phone", "localhost", "push", "music", str(song)], 2, "dotted IPv4"),
            (["--phone", "127.0.0.1:70000", "push", "music", str(song)], 2, "the port must be a number from 1 to 65535"),
            (["push", "songs", str(song)], 2,
             "qsync push: unknown kind 'songs' (music, photos, videos, documents, playlists)\n"),
            (["push", "music", str(self.pc / "missing.mp3")], 2, "no such file"),
            (["fetch", "camera"], 2, "--to DIR is required"),
            (["backup", "music", "--from", str(self.tmp)], 2, "does not apply"),
            (["playlist", "update", "1 OR 1=1", "x"], 2, "digits"),
            (["playlist", "create", "x", "not-a-file.mp3"], 2, "neither a PC file"),
            (["--device", "sdcard", "push", "music", str(song)], 2, "--device"),
            (["remove", "music", "/"], 2, "whole phone folder"),
            (["--retries", "0", "--phone", closed_address, "push", "music", str(song)], 3,
             "is not answering (1 try in 0 s); check that the sync service is running on the phone"),
        ]
        for args, code, message in cases:
            with self.subTest(args=args):
                r = run_qsync(*args)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(message, r.stderr)
        for address in ("127.0.0.1:0", "256.1.1.1", "1.2.3.4:", "1.2.3", "1.2.3.4.5", "http://127.0.0.1/", " 1.2.3.4"):
            with self.subTest(address=address):
                r = run_qsync("--json", "--phone", address, "push", "music", str(song))
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(json_events(r.stdout), [{"event": "done", "result": None, "exit": 2,
                                                          "error": re.sub(r"^qsync:? ", "", r.stderr.strip())}])
        # Whatever the parser stops at, --json (before or after the command) gives a summary object.
        for args in (["push", "music", str(song), "--bogus", "--json"], ["--json", "push", "music", "--phone"],
                     ["push", "--json", "music", str(song), "--to", str(self.tmp)], ["--json", "pull", "music"],
                     ["push", "music", "--dry-run=maybe", "--json", str(song)]):
            with self.subTest(args=args):
                r = run_qsync(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(json_events(r.stdout), [{"event": "done", "result": None, "exit": 2,
                                                          "error": re.sub(r"^qsync:? ", "", r.stderr.strip())}])
        # QSYNC_PHONE is used when --phone is absent.
        r = run_qsync("--json", "push", "music", str(song), env={"QSYNC_PHONE": phone.address})
        self.assertEqual(json_events(r.stdout)[-1]["exit"], 0, r.stderr)

    def test_names_beyond_ascii_and_the_library_output(self):
        phone = self.service()
        songs = [self.write(name, 2000) for name in ("Café Müller/naïve – song.mp3", "日本/歌.mp3", "emoji/\U0001F3B5.mp3")]
        r = self.qsync(phone, "--json", "push", "music", *map(str, songs))
        stored = [e["phone"] for e in json_events(r.stdout) if e["event"] == "item"]
        self.assertEqual(sorted(stored), sorted("/sdcard/Music" + str(p) for p in songs))
        for path in stored:
            self.assertTrue((phone.root / path[1:]).is_file(), path)
        # Again, with --check: the library now stats files that exist and
        # prints a line for each, which -v sends to standard error, away
        # from the JSON.
        r = self.qsync(phone, "-v", "--json", "push", "music", "--check", *map(str, songs))
        self.assertEqual(len([e for e in json_events(r.stdout) if e["event"] == "item"]), 3)
        self.assertIn(" FileName:/sdcard/Music", r.stderr)
        r = self.qsync(phone, "--json", "remove", "music", *map(str, songs))
        self.assertEqual(sorted(e["phone"] for e in json_events(r.stdout) if e["event"] == "item"), sorted(stored))
        self.assertEqual([p for p in phone.phone_files() if "/Music/" in p], [])

    def test_failing_uploads_leave_no_partial_file(self):
        big = self.write("big.mp3", 600000)  # ten chunks
        for fault in ("status0:cmd=12,nth=4", "close:cmd=12,nth=4", "truncate:cmd=12,nth=2", "status0:cmd=16"):
            with self.subTest(fault=fault):
                phone = self.service("--fault", fault, name="phone-" + fault.replace(":", "-"))
                r = self.qsync(phone, "--retries", "0", "--request-retries", "0", "--json", "push", "music", str(big),
                               expect=1)
                done = json_events(r.stdout)[-1]
                self.assertEqual(done["exit"], 1)
                self.assertIn(done["result"], (-1, -2))
                self.assertIn("(result %d)" % done["result"], r.stderr)
                # The one item was not reported done: it is listed, with the
                # job's result as its reason, as an item and in the summary.
                failed = {"pc": str(big), "phone": "/sdcard/Music" + str(big), "result": done["result"],
                          "reason": done["error"]}
                self.assertEqual((done["stored"], done["failed"], done["failed_items"]), (0, 1, [failed]))
                self.assertIn(dict(failed, event="item", action="failed"), json_events(r.stdout))
                self.assertIn("failed items:\n  %s: %s\n" % (big, done["error"]), r.stderr)
                if "cmd=12" in fault:
                    self.assertEqual(phone.phone_files(), [])

    def test_a_failed_upload_lists_every_item_not_done(self):
        songs = [str(self.write("many/%02d.mp3" % i, 1000 + i)) for i in range(30)]
        runs = {}
        for mode in ("--json", "-q", "plain"):
            # The third upload request fails: five uploads were started, the
            # others finish, and no further upload starts.
            phone = self.service("--fault", "status0:cmd=12,nth=3", name="phone" + mode)
            runs[mode] = self.qsync(phone, "--retries", "0", *([mode] if mode != "plain" else []), "push", "music",
                                    str(self.pc / "many"), expect=1)
        events = json_events(runs["--json"].stdout)
        done = events[-1]
        stored = [e["pc"] for e in events if e["event"] == "item" and e["action"] == "stored"]
        failed = done["failed_items"]
        self.assertEqual((done["stored"], done["failed"]), (len(stored), len(songs) - len(stored)))
        self.assertEqual(sorted(stored + [f["pc"] for f in failed]), songs)
        self.assertEqual(done["bytes"], sum(Path(p).stat().st_size for p in stored))
        reasons = [f["reason"] for f in failed]
        # The failed upload comes first (in list order, as uploads start);
        # the items after the started ones were never sent. Uploads start
        # five at a time, and a few more may start while the failure is
        # on its way.
        started = reasons.count("an upload failed")
        self.assertGreaterEqual(started, 1)
        self.assertEqual(reasons, ["an upload failed"] * started + ["not started"] * (len(reasons) - started))
        self.assertGreaterEqual(len(reasons) - started, 20)
        self.assertTrue(all(f["result"] == -1 and f["phone"] == "/sdcard/Music" + f["pc"] for f in failed))
        self.assertEqual([dict(f, event="item", action="failed") for f in failed],
                         [e for e in events if e["event"] == "item" and e["action"] == "failed"])
        # -q: nothing on standard output; the list on standard error, cut at 20.
        quiet = runs["-q"]
        self.assertEqual(quiet.stdout, "")
        listed = quiet.stderr.split("failed items:\n")[1].splitlines()
        self.assertEqual(len(listed), 22)  # 20 items, "and N more", the error line
        more = re.fullmatch(r"  and (\d+) more", listed[20])
        self.assertTrue(more, listed[20])
        self.assertLess(20 + int(more.group(1)), len(songs))
        self.assertTrue(listed[0].endswith(": an upload failed"), listed[0])  # the failure before "not started"
        self.assertIn("qsync: push music failed: an upload failed (result -1)", listed[21])
        # Plain: a "!" line per failed item, then the summary.
        lines = runs["plain"].stdout.splitlines()
        summary = re.match(r"^push music: (\d) stored \([\d.]+ KiB\), (\d\d) failed in \d+\.\d+ s", lines[-1])
        self.assertTrue(summary, lines[-1])
        self.assertEqual(int(summary.group(1)) + int(summary.group(2)), len(songs))
        self.assertEqual(len([l for l in lines if l.startswith("! failed ")]), int(summary.group(2)))
        self.assertEqual(len([l for l in lines if l.startswith("+ stored ")]), int(summary.group(1)))
        self.assertIn("! failed %s: not started" % songs[-1], lines)

    def test_a_failed_removal_and_the_items_after_it(self):
        # The second folder removal fails: the library removes folders
        # first, then files, whatever the order on the command line.
        phone = self.service("--fault", "status0:cmd=17,nth=2")
        songs = [self.write(name, 1000) for name in ("A1/a.mp3", "A2/b.mp3", "c.mp3", "d.mp3")]
        self.qsync(phone, "push", "music", *map(str, songs))
        order = [songs[2], self.pc / "A1", songs[3], self.pc / "A2"]
        r = self.qsync(phone, "--retries", "0", "--json", "remove", "music", *map(str, order), expect=1)
        events = json_events(r.stdout)
        done = events[-1]
        self.assertEqual([e["pc"] for e in events if e["event"] == "item" and e["action"] == "removed"],
                         [str(self.pc / "A1")])
        self.assertEqual((done["result"], done["removed"], done["failed"]), (-4, 1, 3))
        self.assertEqual([(f["pc"], f["phone"], f["reason"]) for f in done["failed_items"]],
                         [(str(self.pc / "A2"), "/sdcard/Music%s/" % (self.pc / "A2"), "removing a phone folder failed"),
                          (str(songs[2]), "/sdcard/Music" + str(songs[2]), "not started"),
                          (str(songs[3]), "/sdcard/Music" + str(songs[3]), "not started")])
        progress = [e for e in events if e["event"] == "progress"][-1]
        self.assertEqual((progress["items_done"], progress["items_total"], progress["bytes_total"]), (1, 4, 0))

    def test_every_json_line_parses_whatever_the_names(self):
        phone = self.service()
        self.write("ok/a.mp3", 100)
        bad = os.path.join(os.fsencode(self.pc / "ok"), b"caf\xe9 \xff.mp3")  # Latin-1, legal on Linux
        with open(bad, "wb") as f:
            f.write(b"x" * 10)
        for args, code in ((["push", "music", str(self.pc / "ok")], 2),
                           (["remove", "music", "--dry-run", bad], 2),
                           (["remove", "music", bad], 2)):
            with self.subTest(args=args):
                r = subprocess.run([ARGS.qsync, "--json", "--phone", phone.address, *args], capture_output=True,
                                   timeout=60)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertEqual(phone.log_lines(), [])  # refused before any request
                events = [json.loads(line.decode("utf-8")) for line in r.stdout.splitlines()]
                self.assertEqual(events[-1]["exit"], code)
                if code == 2:
                    # Refused before any job; the name's bytes are kept in hex.
                    self.assertEqual(events, [events[-1]])
                    self.assertEqual(events[-1]["refused"], [{"pc": os.fsdecode(bad).encode("utf-8", "surrogateescape")
                                                              .decode("utf-8", "replace"),
                                                              "pc_hex": bad.hex(),
                                                              "reason": "the name is not valid UTF-8"}])
        self.assertEqual(phone.phone_files(), [])

    def test_nothing_is_sent_by_dry_runs_and_refused_names(self):
        phone = self.service()
        good = self.write("ok/a.mp3", 100)
        self.write("ok/b.mp3", 100)
        bad = [self.write("bad/%s" % name, 10) for name in ("what?.mp3", "trailing. ", "tab\tname.mp3", "ends.")]
        for args, code in ((["push", "music", "--dry-run", str(self.pc / "ok")], 0),
                           (["remove", "music", "--dry-run", str(self.pc / "ok"), str(good)], 0),
                           (["push", "music", str(self.pc / "ok"), str(self.pc / "bad")], 2)):
            with self.subTest(args=args):
                r = self.qsync(phone, *args, expect=code)
                if code == 2:
                    for path in bad:
                        self.assertIn(str(path), r.stderr)
                    self.assertIn("nothing was sent", r.stderr)
                else:
                    self.assertIn("would ", r.stdout)
        # One real request afterwards: it must be the first the stand-in saw.
        self.qsync(phone, "push", "music", str(good))
        self.assertTrue(phone.log_lines()[0].startswith("filesync cmd=14"), phone.log_lines()[:3])
        # A dry run counts what the journal leaves out, as the real push does.
        r = self.qsync(phone, "push", "music", "--dry-run", str(self.pc / "ok"))
        self.assertEqual(r.stdout.splitlines()[-1], "push music: would store 1 (100 B), 1 unchanged, nothing sent")
        # New files, replacements of changed ones and removals are counted apart.
        self.qsync(phone, "push", "music", str(self.pc / "ok"))
        self.write("ok/a.mp3", 100, seed=5)
        (self.pc / "ok/b.mp3").unlink()
        self.write("ok/c.mp3", 50)
        r = self.qsync(phone, "--json", "push", "music", "--delete", "--dry-run", str(self.pc / "ok"))
        done = json_events(r.stdout)[-1]
        self.assertEqual((done["stored"], done["replaced"], done["removed"], done["planned"]), (1, 1, 1, 3))
        r = self.qsync(phone, "push", "music", "--delete", "--dry-run", str(self.pc / "ok"))
        self.assertEqual(r.stdout.splitlines()[-1], "push music: would store 1, replace 1 (150 B), remove 1, nothing sent")


def stats_of(lines):
    """The phone paths the stand-in was asked to stat (cmd=14)."""
    return [re.search(r'path="([^"]*)"', l).group(1) for l in lines if l.startswith("filesync cmd=14 ")]


class Resume(QsyncCase):
    """Retries, the journal and push --delete (also run against qsync.exe)."""

    def phone_path(self, pc, host_pc=None):
        return "/sdcard/Music" + (("/Z" if ARGS.runner else "") + str(pc))

    def arg(self, path):
        return "Z:" + str(path).replace("/", "\\") if ARGS.runner else str(path)

    def same_on_phone(self, phone, files):
        for f in files:
            self.assertEqual((phone.root / self.phone_path(f)[1:]).read_bytes(), f.read_bytes(), f)

    def test_a_flaky_link_completes_in_one_command(self):
        files = [self.write("flaky/%03d.mp3" % i, 2000 + i, seed=i) for i in range(200)]
        phone = self.service("--fault", "close:rate=25,seed=7")
        # The library's own retries off: the rounds alone carry the push.
        r = self.qsync(phone, "--request-retries", "0", "--retry-delay", "0.01", "--retries", "6", "--json", "push",
                       "music", self.arg(self.pc / "flaky"))
        events = json_events(r.stdout)
        retries = [e for e in events if e["event"] == "retry"]
        self.assertTrue(retries, "the link dropped no request: pick another seed")
        for e in retries:
            self.assertEqual(set(e), {"event", "round", "of", "items", "delay_s", "result", "requests_retried"})
            self.assertIsNone(e["of"])  # rounds that make progress do not count against --retries
            self.assertLess(e["result"], 0)
            self.assertLessEqual(e["delay_s"], 0.01 * 2 ** 6)
        self.assertEqual([e["round"] for e in retries], list(range(2, len(retries) + 2)))
        # A round that stored something is followed at once; only one that
        # stored nothing waits.
        stored_since = False
        for e in events:
            if e["event"] == "item" and e["action"] == "stored":
                stored_since = True
            elif e["event"] == "retry":
                self.assertEqual(e["delay_s"] == 0, stored_since, e)
                stored_since = False
        done = events[-1]
        self.assertEqual((done["exit"], done["stored"], done["failed"]), (0, len(files), 0))
        self.same_on_phone(phone, files)
        # Progress went on across the rounds: it never went back.
        progress = [e["bytes_done"] for e in events if e["event"] == "progress"]
        self.assertEqual(progress, sorted(progress))
        self.assertEqual(progress[-1], sum(f.stat().st_size for f in files))

    def test_every_job_at_one_percent_dropped_completes_in_one_command(self):
        # 1,000 small files each way; the stand-in loses 1% of the requests,
        # half before doing the work (close) and half after it (drop). With
        # qsync's defaults each job is one command that ends with exit 0,
        # every file arrives intact, and the summary counts the retries.
        lossy = ("--fault", "close:rate=5,seed=3", "--fault", "drop:rate=5,seed=4")
        phone = self.service(*lossy)
        files = [self.write("drops/%d/%03d.mp3" % (i % 10, i), 1024 + i * 37 % 3072, seed=i) for i in range(1000)]
        camera = phone.root / "sdcard/DCIM/Camera"
        for f in files:
            target = camera / f.relative_to(self.pc / "drops")
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(f.read_bytes())

        def same_tree(copy, source):
            names = sorted(str(p.relative_to(source)) for p in source.rglob("*") if p.is_file())
            self.assertEqual(len(names), len(files))
            self.assertEqual(sorted(str(p.relative_to(copy)) for p in copy.rglob("*") if p.is_file()), names)
            for name in names:
                self.assertTrue((copy / name).read_bytes() == (source / name).read_bytes(), name)

        def retried(r, plain):
            if plain:
                summary = re.search(r"\((\d+) requests? retried\)$", r.stdout.splitlines()[-1])
                self.assertTrue(summary, r.stdout.splitlines()[-1])
                return int(summary.group(1))
            done = json_events(r.stdout)[-1]
            self.assertEqual(done["exit"], 0)
            return done["retries"]

        r = self.qsync(phone, "--json", "push", "music", self.arg(self.pc / "drops"))
        self.assertEqual(json_events(r.stdout)[-1]["stored"], len(files))
        self.assertGreater(retried(r, False), 0)
        self.same_on_phone(phone, files)
        r = self.qsync(phone, "fetch", "camera", "--to", self.arg(self.tmp / "pics"))
        self.assertGreater(retried(r, True), 0)
        same_tree(self.tmp / "pics", phone.root / "sdcard/DCIM")
        r = self.qsync(phone, "--json", "backup", "media", "--to", self.arg(self.tmp / "backup"))
        self.assertGreater(retried(r, False), 0)
        same_tree(self.tmp / "backup/Gallery/DCIM", phone.root / "sdcard/DCIM")
        fresh = self.service(*lossy, name="fresh")
        r = self.qsync(fresh, "restore", "media", "--from", self.arg(self.tmp / "backup"))
        self.assertGreater(retried(r, True), 0)
        same_tree(fresh.root / "sdcard/DCIM", self.tmp / "backup/Gallery/DCIM")
        for s in (phone, fresh):
            lost = [l for l in s.log_lines() if "[fault close" in l or "[fault drop" in l]
            self.assertTrue(any("close" in l for l in lost) and any("drop" in l for l in lost), s.root)

    def test_whole_jobs_are_run_again_but_never_a_playlist_create(self):
        phone = self.service("--fault", "close:nth=2")  # the second request of any kind
        camera = phone.root / "sdcard/DCIM"
        camera.mkdir(parents=True)
        (camera / "IMG_1.jpg").write_bytes(bytes(3000))
        r = self.qsync(phone, "--request-retries", "0", "--retry-delay", "0", "--json", "fetch", "camera", "--to",
                       self.arg(self.tmp / "pics"))
        self.assertEqual([e["round"] for e in json_events(r.stdout) if e["event"] == "retry"], [2])
        self.assertEqual((self.tmp / "pics/IMG_1.jpg").read_bytes(), bytes(3000))
        # Every table request fails: a create is tried once and says why.
        phone = self.service("--fault", "close:cmd=table", name="phone2")
        r = self.qsync(phone, "--request-retries", "0", "--retry-delay", "0", "--json", "playlist", "create", "x",
                       "--allow-empty", self.arg(self.write("a.mp3", 10)), expect=1)
        events = json_events(r.stdout)
        self.assertEqual([e for e in events if e["event"] == "retry"], [])
        self.assertIn("second playlist", events[-1]["note"])
        self.assertIn("not retried", r.stderr)
        self.assertEqual(len([l for l in phone.log_lines() if l.startswith("tablesync")]), 1)
        # The probe is retried within the same budget, then exit 3.
        phone.stop()
        self.services.remove(phone)
        r = self.qsync(phone, "--retries", "2", "--retry-delay", "0", "--json", "push", "music",
                       self.arg(self.write("x.mp3", 10)), expect=3)
        self.assertEqual([(e["round"], e["result"]) for e in json_events(r.stdout) if e["event"] == "retry"],
                         [(2, None), (3, None)])

    @unittest.skipIf(ARGS.runner, "the bound is qsync's own: Wine's start-up is not part of it")
    def test_an_unreachable_phone_is_reported_within_ten_seconds(self):
        # A listener whose queue is full answers no connection, as a phone
        # gone from the network; a closed port refuses at once. Whatever the
        # retry options, the probe gives up within its budget, with exit 3.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        filler = socket.create_connection(listener.getsockname())
        self.addCleanup(listener.close)
        self.addCleanup(filler.close)
        closed = PhoneService(self.tmp / "gone")
        closed.stop()
        song = self.write("a.mp3", 100)
        patient = ["--retries", "1000", "--retry-delay", "3600", "--request-retries", "100"]
        for address, options in (("%s:%d" % listener.getsockname(), []), ("%s:%d" % listener.getsockname(), patient),
                                 (closed.address, patient)):
            with self.subTest(address=address, options=options):
                start = time.monotonic()
                r = run_qsync("--json", "--phone", address, *options, "push", "music", str(song), timeout=60)
                elapsed = time.monotonic() - start
                self.assertEqual(r.returncode, 3, r.stderr)
                self.assertLess(elapsed, 10)
                events = json_events(r.stdout)
                self.assertEqual(events[-1]["exit"], 3)
                retries = [e for e in events if e["event"] == "retry"]
                self.assertTrue(all(e["result"] is None and e["items"] == 0 for e in retries), retries)
                self.assertLess(sum(e["delay_s"] for e in retries), 10)
                if address == closed.address:
                    self.assertTrue(retries)  # a refusal is tried again within the budget

    def test_the_journal_decides_what_is_sent(self):
        files = [self.write("lib/%d.mp3" % i, 3000 + i, seed=i) for i in range(4)]
        phone = self.service()
        self.qsync(phone, "push", "music", self.arg(self.pc / "lib"))
        journals = list((self.state / "qsync").glob("*.journal")) if not ARGS.runner else []
        if not ARGS.runner:
            self.assertEqual(len(journals), 1)
            self.assertNotIn(":", journals[0].name)
        # A no-op re-push makes no request at all.
        seen = len(phone.log_lines())
        r = self.qsync(phone, "--json", "push", "music", "--itemize-unchanged", self.arg(self.pc / "lib"))
        events = json_events(r.stdout)
        self.assertEqual(len(phone.log_lines()), seen)
        self.assertEqual(sorted(e["pc"] for e in events if e.get("action") == "unchanged"),
                         sorted(self.arg(f) for f in files))
        self.assertEqual((events[-1]["unchanged"], events[-1]["stored"], events[-1]["exit"]), (4, 0, 0))
        # A file rewritten at the same size (a tag edit) replaces its phone copy.
        files[1].write_bytes(bytes(3001))
        os.utime(files[1], (time.time() + 100, time.time() + 100))
        r = self.qsync(phone, "push", "music", self.arg(self.pc / "lib"))
        self.assertIn("> replaced %s -> %s\n" % (self.arg(files[1]), self.phone_path(files[1])),
                      r.stdout.replace("\r\n", "\n"))
        self.assertRegex(r.stdout, r"push music: 0 stored \(2\.9 KiB\), 1 replaced, 3 unchanged in ")
        self.same_on_phone(phone, files)
        self.assertEqual(stats_of(phone.log_lines()[seen:]), [self.phone_path(files[1])])  # removed, then sent
        # A torn last line (a power cut) is ignored; the others still count.
        if ARGS.runner:
            journals = [self.state / ("%d.journal" % phone.port)]
        with open(journals[0], "ab") as f:
            f.write(b"+\t3002\t1\t" + str(files[2]).encode())
        seen = len(phone.log_lines())
        self.qsync(phone, "push", "music", self.arg(self.pc / "lib"))
        self.assertEqual(len(phone.log_lines()), seen)
        # --no-journal: the library looks at each file again; --check does too,
        # and refreshes the journal.
        for option in ("--no-journal", "--check"):
            seen = len(phone.log_lines())
            self.qsync(phone, "push", "music", option, self.arg(self.pc / "lib"))
            self.assertEqual(sorted(set(stats_of(phone.log_lines()[seen:]))), sorted(map(self.phone_path, files)),
                             option)
        # --journal FILE: another journal, empty at first.
        other = self.tmp / "other.journal"
        seen = len(phone.log_lines())
        self.qsync(phone, "--journal", self.arg(other), "push", "music", self.arg(files[0]))
        self.assertEqual(set(stats_of(phone.log_lines()[seen:])), {self.phone_path(files[0])})
        self.assertTrue(other.exists())
        # remove drops the entries of what it removed: the next push sends it.
        self.qsync(phone, "remove", "music", self.arg(files[3]))
        seen = len(phone.log_lines())
        self.qsync(phone, "push", "music", self.arg(self.pc / "lib"))
        self.assertEqual(stats_of(phone.log_lines()[seen:]), [self.phone_path(files[3])])
        self.same_on_phone(phone, files)

    def test_delete_removes_only_journaled_files_gone_from_the_pc(self):
        files = [self.write("mirror/%d.mp3" % i, 1000 + i) for i in range(4)]
        phone = self.service()
        self.qsync(phone, "push", "music", self.arg(self.pc / "mirror"))
        # Put on the phone some other way: never removed.
        stranger = phone.root / self.phone_path(self.pc / "mirror/stranger.mp3")[1:]
        stranger.write_bytes(b"mine")
        files[0].unlink()
        files[2].unlink()
        (self.pc / "empty").mkdir()
        seen = len(phone.log_lines())
        for args, code, message in (
                (["--dry-run"], 0, "would remove %s\n" % self.phone_path(files[0])),
                (["--max-delete", "1"], 2, "more than --max-delete 1"),
                (["--no-journal"], 2, "--delete needs the journal"),
                ([self.arg(self.pc / "empty")], 2, "holds no files"),
                ([self.arg(self.pc / "absent")], 2, "does not exist")):
            with self.subTest(args=args):
                r = self.qsync(phone, "push", "music", "--delete", *args, self.arg(self.pc / "mirror"), expect=code)
                self.assertIn(message, (r.stdout + r.stderr).replace("\r\n", "\n"))
        self.assertEqual(len(phone.log_lines()), seen)  # nothing was sent
        r = self.qsync(phone, "--json", "push", "music", "--delete", "--max-delete", "2", self.arg(self.pc / "mirror"))
        removed = [e["phone"] for e in json_events(r.stdout) if e.get("action") == "removed"]
        self.assertEqual(sorted(removed), sorted(self.phone_path(f) for f in (files[0], files[2])))
        self.assertTrue(stranger.exists())
        music = sorted(p for p in phone.phone_files() if "/Music/" in p)
        self.assertEqual(music, sorted([self.phone_path(files[1]), self.phone_path(files[3]), "/" + str(
            stranger.relative_to(phone.root))]))
        # The entries went with them: a second --delete removes nothing.
        r = self.qsync(phone, "--json", "push", "music", "--delete", self.arg(self.pc / "mirror"))
        self.assertEqual((json_events(r.stdout)[-1]["removed"], json_events(r.stdout)[-1]["unchanged"]), (0, 2))

    def test_removals_the_journal_cannot_take_for_done(self):
        files = [self.write("lost/%d.mp3" % i, 1200 + i, seed=i) for i in range(2)]
        phone = self.service()
        self.qsync(phone, "push", "music", self.arg(self.pc / "lost"))
        journal = (self.state / ("%d.journal" % phone.port) if ARGS.runner
                   else next((self.state / "qsync").glob("*.journal")))
        # The phone removes the file but its answer is cut short: the next
        # push must look at the file again, not call it unchanged.
        fault = phone.control("arm truncate:cmd=13,bytes=5")
        self.qsync(phone, "--retries", "0", "--request-retries", "0", "remove", "music", self.arg(files[0]), expect=1)
        phone.control("disarm %d" % fault)
        self.assertFalse((phone.root / self.phone_path(files[0])[1:]).exists())
        r = self.qsync(phone, "--json", "push", "music", self.arg(self.pc / "lost"))
        self.assertEqual((json_events(r.stdout)[-1]["unchanged"], json_events(r.stdout)[-1]["exit"]), (1, 0))
        self.same_on_phone(phone, files)
        # remove --no-journal still drops the entries of what it removed.
        if not ARGS.runner:  # qsync.exe's default journal is not the test's
            self.qsync(phone, "--no-journal", "remove", "music", self.arg(files[1]))
            r = self.qsync(phone, "--json", "push", "music", self.arg(self.pc / "lost"))
            self.assertEqual(json_events(r.stdout)[-1]["unchanged"], 1)
            self.same_on_phone(phone, files)
        # --delete with a journal that cannot be used is refused: it would
        # remove nothing and say all is done.
        garbage = self.tmp / "garbage.journal"
        garbage.write_bytes(b"not a journal\n")
        seen = len(phone.log_lines())
        r = self.qsync(phone, "--journal", self.arg(garbage), "push", "music", "--delete", self.arg(self.pc / "lost"),
                       expect=2)
        self.assertIn("the journal could not be used", r.stdout + r.stderr)
        self.assertEqual(len(phone.log_lines()), seen)
        self.assertEqual(garbage.read_bytes(), b"not a journal\n")
        # The journal knows its phone: used for another, it warns.
        other = self.service(name="phone2")
        r = self.qsync(other, "--journal", self.arg(journal), "push", "music", self.arg(files[0]))
        self.assertIn("written for the phone 127.0.0.1:%d/sdcard, not 127.0.0.1:%d/sdcard" % (phone.port, other.port),
                      r.stderr)
        r = self.qsync(phone, "--journal", self.arg(journal), "push", "music", self.arg(files[0]))
        self.assertNotIn("written for", r.stderr)

    def test_a_replacement_with_retries_counts_once_and_numbers_rounds_across_the_push(self):
        song = self.write("round/a.mp3", 1800)
        phone = self.service()
        self.qsync(phone, "push", "music", self.arg(song))
        song.write_bytes(bytes(1800))
        os.utime(song, (time.time() + 100, time.time() + 100))
        for fault in ("status0:cmd=13,nth=1", "close:cmd=12,nth=1"):  # its removal and its upload fail once
            phone.control("arm " + fault)
        r = self.qsync(phone, "--request-retries", "0", "--retry-delay", "0", "--json", "push", "music", self.arg(song))
        events = json_events(r.stdout)
        self.assertEqual([e["round"] for e in events if e["event"] == "retry"], [2, 4])
        progress = [(e["items_done"], e["items_total"]) for e in events if e["event"] == "progress"]
        self.assertEqual((progress[-1], {total for _, total in progress}), ((1, 1), {1}))
        self.assertEqual((events[-1]["replaced"], events[-1]["exit"]), (1, 0))
        self.same_on_phone(phone, [song])

    @unittest.skipIf(ARGS.runner, "signals: native build only")
    def test_ctrl_c_during_the_removals_lists_the_uploads_not_started(self):
        files = [self.write("cc/%d.mp3" % i, 900 + i) for i in range(2)]
        phone = self.service()
        self.qsync(phone, "push", "music", str(self.pc / "cc"))
        files[0].unlink()
        new = self.write("cc/new.mp3", 500)
        fault = phone.control("arm hold:cmd=13")
        proc = subprocess.Popen([ARGS.qsync, "--phone", phone.address, "--json", "push", "music", "--delete",
                                 str(self.pc / "cc")], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        phone.control("wait %d 1" % fault)
        proc.send_signal(signal.SIGINT)
        # The removal stays held until qsync has ended: its Stop ends the
        # wait for the answer. Released earlier, the removal could finish
        # and the upload start before the Stop reached the library.
        out, _ = proc.communicate(timeout=60)
        phone.control("release %d" % fault)
        self.assertEqual(proc.returncode, 130)
        done = json.loads(out.splitlines()[-1])
        # The removal under way may or may not count as done; the upload was
        # never started.
        self.assertIn((str(new), "not started"), [(f["pc"], f["reason"]) for f in done["failed_items"]])

    def test_a_failing_removal_does_not_stop_the_uploads(self):
        files = [self.write("rm/%d.mp3" % i, 1500 + i, seed=i) for i in range(3)]
        phone = self.service("--fault", "status0:cmd=13")  # every file removal fails
        self.qsync(phone, "push", "music", self.arg(self.pc / "rm"))
        old = files[0].read_bytes()
        files[0].write_bytes(bytes(len(old)))  # the same size, another time
        os.utime(files[0], (time.time() + 100, time.time() + 100))
        files.append(self.write("rm/new.mp3", 700))
        seen = len(phone.log_lines())
        r = self.qsync(phone, "--retry-delay", "0", "--json", "push", "music", self.arg(self.pc / "rm"), expect=1)
        events = json_events(r.stdout)
        done = events[-1]
        self.assertEqual((done["stored"], done["replaced"], done["unchanged"], done["failed"]), (1, 0, 2, 1))
        self.assertEqual([f["pc"] for f in done["failed_items"]], [self.arg(files[0])])
        self.assertIn("could not be removed", done["failed_items"][0]["reason"])
        self.assertEqual([e["round"] for e in events if e["event"] == "retry"], [2])  # removals: two rounds
        removals = [l for l in phone.log_lines()[seen:] if l.startswith("filesync cmd=13 ")]
        self.assertEqual(len(removals), 2)
        self.assertEqual((phone.root / self.phone_path(files[0])[1:]).read_bytes(), old)  # left as it was
        self.same_on_phone(phone, files[3:])
        # Not journaled as sent: the next push tries it again.
        r = self.qsync(phone, "--retries", "0", "--json", "push", "music", self.arg(self.pc / "rm"), expect=1)
        self.assertEqual(json_events(r.stdout)[-1]["unchanged"], 3)

    @unittest.skipIf(ARGS.runner, "signals: native build only")
    def test_ctrl_c_ends_the_wait_between_rounds(self):
        song = self.write("a.mp3", 1000)
        phone = self.service("--fault", "status0:cmd=12")  # every upload fails
        proc = subprocess.Popen([ARGS.qsync, "--phone", phone.address, "--retry-delay", "60", "--json", "push",
                                 "music", str(song)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        while True:
            line = proc.stdout.readline()
            self.assertTrue(line, "qsync ended before its first retry")  # b"" at the end of its output
            if line.startswith(b'{"event":"retry"'):
                break
        uploads = len([l for l in phone.log_lines() if "cmd=12" in l])
        start = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=30)
        self.assertLess(time.monotonic() - start, 6)  # not the 60 s wait
        self.assertEqual(proc.returncode, 130)
        self.assertEqual(json.loads(out.splitlines()[-1])["exit"], 130)
        self.assertEqual(len([l for l in phone.log_lines() if "cmd=12" in l]), uploads)  # no round after it

    @unittest.skipIf(ARGS.runner, "signals: native build only")
    def test_an_interrupted_push_resumes_where_it_stopped(self):
        # Several chunks each: the library stops a job between chunks.
        files = [self.write("big/%02d.mp3" % i, 200000, seed=i) for i in range(30)]
        for sig in (signal.SIGINT, signal.SIGKILL):
            with self.subTest(signal=sig):
                phone = self.service("--fault", "delay:ms=20,cmd=12", name="phone-%d" % sig)
                shutil.rmtree(self.state, ignore_errors=True)
                proc = subprocess.Popen([ARGS.qsync, "--phone", phone.address, "--json", "push", "music",
                                         str(self.pc / "big")], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        bufsize=0)
                reported = []
                while len(reported) < 8:  # read unbuffered: stop while the push is under way
                    line = proc.stdout.readline()
                    self.assertTrue(line)
                    if line.startswith(b'{"event":"item","action":"stored"'):
                        reported.append(json.loads(line)["phone"])
                proc.send_signal(sig)
                out, _ = proc.communicate(timeout=60)
                # A line cut by SIGKILL is left out.
                reported += [json.loads(l)["phone"] for l in out.decode().splitlines()
                             if l.startswith('{"event":"item","action":"stored"') and l.endswith("}")]
                self.assertEqual(proc.returncode, 130 if sig == signal.SIGINT else -signal.SIGKILL)
                self.assertLess(len(reported), len(files))
                seen = len(phone.log_lines())
                r = self.qsync(phone, "--json", "push", "music", str(self.pc / "big"))
                self.assertEqual(set(stats_of(phone.log_lines()[seen:])) & set(reported), set())
                # The journal line is written before the JSON line: SIGKILL
                # may fall between the two.
                self.assertTrue(len(reported) <= json_events(r.stdout)[-1]["unchanged"] <= len(reported) + 1)
                self.same_on_phone(phone, files)


@unittest.skipIf(ARGS.runner, "native build only")
class Interaction(QsyncCase):
    def test_ctrl_c_during_a_large_push(self):
        # The upload's chunks are held unanswered, so the upload is still
        # running when the interrupt arrives; the first held chunk is the cue.
        phone = self.service()
        big = self.write("large.mp3", 8 * 1024 * 1024)
        fault = phone.control("arm hold:cmd=12")
        proc = subprocess.Popen([ARGS.qsync, "--phone", phone.address, "--json", "push", "music", str(big)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        phone.control("wait %d 1" % fault)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 130, err)
        self.assertIn("stopping", err)
        self.assertEqual(json_events(out)[-1]["exit"], 130)
        self.assertEqual(phone.phone_files(), [])

    def test_second_ctrl_c_exits_at_once(self):
        # The chunk answers stay held: the library is still stopping when
        # the second interrupt comes, and qsync ends without waiting for it.
        phone = self.service()
        big = self.write("large.mp3", 200000)
        fault = phone.control("arm hold:cmd=12")
        proc = subprocess.Popen([ARGS.qsync, "--phone", phone.address, "--json", "push", "music", str(big)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        phone.control("wait %d 1" % fault)
        proc.send_signal(signal.SIGINT)
        read_until(proc.stderr, "stopping\u2026".encode())
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)  # against a hang
        self.assertEqual(proc.returncode, 130)
        # Not the end of a job that returned: no summary, no "interrupted" line.
        self.assertNotIn("done", [e["event"] for e in json_events(out)])
        self.assertNotIn("interrupted", err)

    MIXED_SIZES = (3 << 20, 0, 70000, 1 << 20, 5000, 2 << 20, 300000, 1500000)

    def mixed_album(self):
        return {self.write("album/%d.mp3" % i, size, seed=i): size for i, size in enumerate(self.MIXED_SIZES)}

    def test_progress_bar_on_a_terminal_and_plain_lines_in_a_pipe(self):
        # Late chunk answers keep five uploads in flight for a while: the
        # library's own percentage (started uploads) would run ahead here.
        phone = self.service("--fault", "delay:ms=150,cmd=12")
        sizes = {str(p): n for p, n in self.mixed_album().items()}
        total = sum(sizes.values())
        start = time.monotonic()
        code, text = run_in_pty([ARGS.qsync, "--phone", phone.address, "push", "music", str(self.pc / "album")])
        elapsed = time.monotonic() - start
        self.assertEqual(code, 0, text)
        # Walk the screen in order: a bar never shows more than the bytes
        # of the files whose "+ stored" line came before it.
        finished, bars, shown = 0, 0, []
        for piece in re.split(r"\r\x1b\[K|\r?\n", text):
            stored = re.match(r"\+ stored (.+) -> /sdcard/Music", piece)
            if stored:
                finished += sizes[stored.group(1)]
                continue
            bar = BAR.match(piece)
            if not bar:
                continue
            bars += 1
            percent, done = int(bar.group(1)), int(bar.group(2))
            self.assertLessEqual(percent, finished * 100 // total, piece)
            self.assertEqual(int(bar.group(3)), len(sizes), piece)
            self.assertLessEqual(done, len(sizes), piece)
            shown.append(percent)
        self.assertEqual(finished, total)
        self.assertGreaterEqual(bars, 3, text)
        # Redrawn at most every 100 ms, and below each item line.
        self.assertLessEqual(bars, elapsed / 0.1 + 2 + len(sizes), text)
        self.assertEqual(shown, sorted(shown), text)  # never goes back
        self.assertRegex(text, r" in flight")
        self.assertRegex(text, r"/7\.8 MiB  \d+\.\d [KM]iB/s  ETA \d+:\d\d  \d/8 items")
        self.assertEqual(text.count("+ stored "), len(sizes))
        self.assertRegex(text, r"push music: 8 stored \(7\.8 MiB\) in \d+\.\d+ s, [\d.]+ [KM]iB/s")

        # A narrow terminal: the figures without the bar, cut to the width,
        # so a redraw never wraps.
        code, text = run_in_pty([ARGS.qsync, "--phone", phone.address, "--no-journal", "push", "music",
                                 str(self.pc / "album")], columns=50)
        self.assertEqual(code, 0, text)
        redraws = [p for p in text.split("\r\x1b[K")[1:] if "%  " in p.split("\n")[0]]
        self.assertTrue(redraws, text)
        self.assertTrue(all(len(p.split("\r\n")[0]) <= 49 and "[" not in p.split("\r\n")[0] for p in redraws), text)

        # Through a pipe: plain lines, a progress line per tenth, never ahead.
        piped = self.qsync(phone, "--no-journal", "push", "music", str(self.pc / "album"))
        self.assertNotIn("\r", piped.stdout)
        self.assertNotIn("\x1b", piped.stdout)
        self.assertEqual(piped.stdout.count("+ stored "), len(sizes))
        self.assertNotIn("FileName:", piped.stdout)  # the library's own lines stay out
        finished, tenths = 0, []
        for line in piped.stdout.splitlines():
            if line.startswith("+ stored "):
                finished += sizes[line[len("+ stored "):line.index(" -> ")]]
            elif re.match(r" *\d+%  ", line):
                tenths.append(int(line.split("%")[0]) // 10)
                self.assertLessEqual(int(line.split("%")[0]), finished * 100 // total, line)
        self.assertEqual(tenths, sorted(set(tenths)))  # one line per tenth at most
        self.assertEqual(tenths[-1], 10)

    def test_the_bar_fits_the_terminal_and_is_redrawn_below_every_item_line(self):
        phone = self.service("--fault", "delay:ms=150,cmd=12")
        sizes = {str(p): n for p, n in self.mixed_album().items()}
        for columns in (80, 160):
            with self.subTest(columns=columns):
                code, text = run_in_pty([ARGS.qsync, "--phone", phone.address, "--no-journal", "push", "music",
                                         str(self.pc / "album")], columns=columns)
                self.assertEqual(code, 0, text)
                # Every item line is followed at once by the bar, graphic
                # included, never by a gap until the next redraw.
                items = list(re.finditer(r"\+ stored [^\r\n]*\r\n", text))
                self.assertEqual(len(items), len(sizes), text)
                for item in items:
                    self.assertRegex(text[item.end():], r"^\r\x1b\[K\[[#.]{10,20}\] ", item.group())
                widths = []
                for piece in text.split("\r\x1b[K")[1:]:
                    line = piece.split("\r\n")[0]
                    if "%  " not in line:
                        continue
                    bar = re.match(r"\[([#.]{10,20})\] +\d+%  ", line)
                    self.assertTrue(bar, line)  # shortened, not dropped
                    self.assertLessEqual(len(line), columns - 1, line)  # a redraw never wraps
                    widths.append(len(bar.group(1)))
                self.assertEqual(widths, sorted(widths, reverse=True), text)  # it never jumps back wider
                if columns == 160:
                    self.assertEqual(set(widths), {20})
                self.assertRegex(text, r"\r\npush music: 8 stored \(7\.8 MiB\) in [^\r\n]*\r\n$")

    def test_an_interrupted_push_counts_what_was_not_sent(self):
        songs = [self.write("many/%02d.mp3" % i, 200000, seed=i) for i in range(30)]
        for verbose in (False, True):
            with self.subTest(verbose=verbose):
                phone = self.service("--fault", "delay:ms=20,cmd=12", name="phone-%d" % verbose)
                proc = subprocess.Popen([ARGS.qsync, "--phone", phone.address, "--no-journal",
                                         *(["-v"] if verbose else []), "push", "music", str(self.pc / "many")],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
                seen = read_until(proc.stdout, b"+ stored ")
                proc.send_signal(signal.SIGINT)
                out, err = proc.communicate(timeout=60)
                out, err = (seen + out).decode(), err.decode()
                self.assertEqual(proc.returncode, 130, err)
                summary = re.search(r"^push music: (\d+) stored \([^)]*\), (\d+) not sent in ", out, re.M)
                self.assertTrue(summary, out)
                stored, not_sent = int(summary.group(1)), int(summary.group(2))
                self.assertEqual(stored + not_sent, len(songs))
                self.assertGreater(not_sent, 0)
                self.assertIn("qsync: push music interrupted; run the same command to resume\n", err)
                self.assertNotIn("failed items:", err)
                # The items not sent: listed once with -v, else only counted.
                listed = [l for l in out.splitlines() if l.startswith("! failed ")]
                self.assertEqual(len(listed), not_sent if verbose else 0, out)
                self.assertEqual(len(re.findall(r"^\+ stored ", out, re.M)), stored)

    def test_json_progress_never_counts_unfinished_bytes(self):
        phone = self.service("--fault", "delay:ms=150,cmd=12")
        sizes = {str(p): n for p, n in self.mixed_album().items()}
        start = time.monotonic()
        r = self.qsync(phone, "--json", "push", "music", str(self.pc / "album"))
        elapsed = time.monotonic() - start
        events = json_events(r.stdout)
        reported, reported_items, last_done, progress = 0, 0, 0, []
        for e in events:
            if e["event"] == "item":
                self.assertEqual((e["action"], e["bytes"], e["result"]), ("stored", sizes[e["pc"]], 0))
                reported += e["bytes"]
                reported_items += 1
            elif e["event"] == "progress":
                progress.append(e)
                self.assertLessEqual(e["bytes_done"], reported, e)
                self.assertLessEqual(e["items_done"], reported_items, e)
                self.assertGreaterEqual(e["bytes_done"], last_done, e)
                last_done = e["bytes_done"]
                self.assertEqual((e["items_total"], e["bytes_total"]), (len(sizes), sum(sizes.values())), e)
                self.assertLessEqual(e["items_done"] + e["items_in_flight"], e["items_total"], e)
                if e["bytes_per_s"] == 0 and e["bytes_done"] < e["bytes_total"]:
                    self.assertIsNone(e["eta_s"], e)
                else:
                    self.assertGreaterEqual(e["eta_s"], 0, e)
        self.assertGreaterEqual(len(progress), 2, r.stdout)  # while running, and at the end
        self.assertLessEqual(len(progress), 2 * elapsed + 2, r.stdout)  # at most twice a second
        self.assertEqual(progress[-1], dict(progress[-1], items_done=len(sizes), items_in_flight=0,
                                            bytes_done=sum(sizes.values()), eta_s=0))
        self.assertEqual(events[-2], progress[-1])
        done = events[-1]
        self.assertEqual((done["stored"], done["bytes"], done["failed"]), (len(sizes), sum(sizes.values()), 0))


@unittest.skipIf(ARGS.runner, "native build only")
class ManualAndCompletion(unittest.TestCase):
    SOURCE = Path(__file__).resolve().parent.parent
    COMMANDS = ["push", "remove", "fetch", "playlist", "backup", "restore", "ls", "stat", "rm", "mv", "get",
                "put", "du", "ui"]

    def test_the_manual_names_every_option_of_the_help(self):
        manual = (self.SOURCE / "qsync.1").read_text()
        text = re.sub(r"\\f[BIRP]", "", manual).replace("\\-", "-")
        words = set(re.findall(r"(?<![\w-])-[\w-]+", text)) | set(re.findall(r"\w+", text))
        helps = {c: run_qsync(*([c] if c else []), "--help") for c in [""] + self.COMMANDS}
        for command, r in helps.items():
            with self.subTest(command=command):
                self.assertEqual(r.returncode, 0, r.stderr)
                options = set(re.findall(r"(?<![\w-])--?[a-z][a-z-]*", r.stdout))
                self.assertEqual(options - words, set())
                self.assertIn(command or "qsync", words)
        for variable in ("QSYNC_PHONE", "OUTPUTLOG_FILE", "QS_DEBUG_OUTPUT"):
            self.assertIn(variable, words)
        for code in ("0", "1", "2", "3", "130"):
            self.assertIn(".B %s\n" % code, manual)
        # The per-command texts differ from the overview: CLI11 does not
        # write its own.
        self.assertEqual(len({r.stdout for r in helps.values()}), len(helps))
        self.assertIn("--dry-run", helps["push"].stdout)
        self.assertIn("--on-conflict", helps["restore"].stdout)
        self.assertNotIn("--dry-run", helps[""].stdout)
        self.assertGreaterEqual(len(set(re.findall(r"(?<![\w-])--?[a-z][a-z-]*", helps[""].stdout))), 9)

    def test_bash_completion_offers_commands_kinds_and_options(self):
        script = self.SOURCE / "completions/qsync.bash"
        loaders = [""]
        if Path("/usr/share/bash-completion/bash_completion").exists():
            loaders.append("source /usr/share/bash-completion/bash_completion")
        cases = [(["qsync", ""], self.COMMANDS),
                 (["qsync", "push", ""], ["music", "photos", "videos", "documents", "playlists"]),
                 (["qsync", "--json", "fetch", ""], ["camera", "downloads"]),
                 (["qsync", "restore", "media", "--on-conflict", ""], ["keep", "replace", "both"]),
                 (["qsync", "push", "music", "--d"], ["--device", "--dry-run", "--delete"]),
                 (["qsync", "--retries", "2", "push", "music", "--ch"], ["--check"]),
                 (["qsync", "--request-retries", "0", "--req"], ["--request-retries"]),
                 (["qsync", "--request-retries", "4", "fetch", ""], ["camera", "downloads"]),
                 (["qsync", "--journal", "j", ""], self.COMMANDS),
                 (["qsync", "push", "music", str(script.parent) + "/qsync.b"], [str(script)])]
        for loader in loaders:
            for words, expected in cases:
                with self.subTest(loader=loader, words=words):
                    program = "%s\nsource %s\nCOMP_WORDS=(%s); COMP_CWORD=%d; COMP_LINE=\"${COMP_WORDS[*]}\"; " \
                              "COMP_POINT=${#COMP_LINE}; _qsync; printf '%%s\\n' \"${COMPREPLY[@]}\"" % (
                                  loader, script, " ".join("'%s'" % w for w in words), len(words) - 1)
                    r = subprocess.run(["bash", "-c", program], capture_output=True, text=True, timeout=30)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(r.stdout.split(), expected)
                    r = subprocess.run(["bash", "-c", "%s\nsource %s\ncomplete -p qsync" % (loader, script)],
                                       capture_output=True, text=True, timeout=30)
                    self.assertIn("complete -F _qsync qsync", r.stdout)


@unittest.skipUnless(ARGS.runner, "Windows build only")
class Wine(QsyncCase):
    def test_push_remove_and_fetch_as_qsync_exe(self):
        phone = self.service()
        song = self.write("Album/song.mp3", 150000)
        windows_path = "Z:" + str(song).replace("/", "\\")
        r = self.qsync(phone, "push", "music", windows_path, "--json")  # a global option after the command
        events = json_events(r.stdout)  # the library's own lines stay out
        mirrored = "/sdcard/Music/Z" + str(song)
        self.assertEqual([e["phone"] for e in events if e["event"] == "item"], [mirrored])
        self.assertEqual((phone.root / mirrored[1:]).read_bytes(), song.read_bytes())
        self.assertEqual(events[-2], {"event": "progress", "items_done": 1, "items_total": 1, "items_in_flight": 0,
                                      "bytes_done": 150000,
                                      "bytes_total": 150000, "bytes_per_s": events[-2]["bytes_per_s"], "eta_s": 0})
        self.assertEqual((events[-1]["stored"], events[-1]["bytes"], events[-1]["failed_items"]), (1, 150000, []))
        # Plain lines and the summary, as on Linux; --check sends it again.
        r = self.qsync(phone, "push", "music", "--check", windows_path)
        self.assertIn("+ stored %s -> %s\n" % (windows_path, mirrored), r.stdout.replace("\r\n", "\n"))
        self.assertRegex(r.stdout, r"push music: 1 stored \(146\.5 KiB\) in \d+\.\d\d s")
        r = self.qsync(phone, "--json", "remove", "music", "--dry-run", windows_path)
        self.assertEqual(json_events(r.stdout)[0]["phone"], mirrored)
        # The wide command line arrives as UTF-8, whatever the ANSI code page.
        accented = self.write("Café/sóng 日本.mp3", 5000)
        r = self.qsync(phone, "--json", "push", "music", "--dry-run", "Z:" + str(accented).replace("/", "\\"),
                       env={"LANG": "C.UTF-8"})
        self.assertEqual(json_events(r.stdout)[0]["phone"], "/sdcard/Music/Z" + str(accented))
        self.assertEqual(json_events(r.stdout)[-1]["bytes"], 5000)
        camera = phone.root / "sdcard/DCIM"
        camera.mkdir(parents=True)
        (camera / "IMG_1.jpg").write_bytes(bytes(70000))
        r = self.qsync(phone, "--json", "fetch", "camera", "--to", "Z:" + str(self.tmp / "pictures").replace("/", "\\"))
        self.assertEqual((self.tmp / "pictures/IMG_1.jpg").read_bytes(), bytes(70000))
        self.assertEqual((json_events(r.stdout)[-1]["files"], json_events(r.stdout)[-1]["bytes"]), (1, 70000))
        self.qsync(phone, "remove", "music", windows_path)
        self.assertFalse((phone.root / mirrored[1:]).exists())

    def test_phone_paths_as_qsync_exe(self):
        phone = self.service()
        source = self.write("Ñame/日本.bin", 150000)
        windows = lambda path: "Z:" + str(path).replace("/", "\\")
        r = self.qsync(phone, "put", "-r", windows(source.parent), "Up")
        self.assertRegex(r.stdout, r"put: 1 stored \(146\.5 KiB\)")
        self.assertEqual((phone.root / "sdcard/Up/Ñame/日本.bin").read_bytes(), source.read_bytes())
        self.assertRegex(self.qsync(phone, "ls", "-lR", "Up").stdout.replace("\r\n", "\n"), r"-rw +150000 .* 日本\.bin\n")
        self.qsync(phone, "get", "-r", "/sdcard/Up/Ñame", windows(self.tmp / "back"))
        self.assertEqual((self.tmp / "back/Ñame/日本.bin").read_bytes(), source.read_bytes())
        self.qsync(phone, "rm", "-r", "Up", expect=0)
        self.assertFalse((phone.root / "sdcard/Up").exists())


class ListingPeer:
    """A phone file service on loopback that answers stats and listings
    from a table (phone folder -> entries) and refuses everything else, for
    listings the stand-in cannot make (names that climb out of the folder)."""

    def __init__(self, folders):
        header = (Path(__file__).resolve().parents[3] / "src/transport/SyncMarker.h").read_text()
        self.marker = re.search(r'SyncMarker\[\] = "([^"]*)"', header).group(1).encode()
        self.folders = folders
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.address = "%s:%d" % self.listener.getsockname()
        self.commands = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    @staticmethod
    def text(value):
        return struct.pack(">H", len(value.encode())) + value.encode()

    def info(self, path, folder):
        return (self.text(path) + struct.pack(">IIQII", 1, 1, 0 if folder else 1, 0 if folder else 1, 1 if folder else 0)
                + struct.pack(">IQ", 0, 0))

    def answer(self, status, data=b""):
        return self.marker + struct.pack(">II", 4 + len(data), status) + data

    def respond(self, body):
        command = struct.unpack(">I", body[24:28])[0]
        size = struct.unpack(">H", body[28:30])[0]
        path = body[30:30 + size].decode()
        self.commands.append((command, path))
        if command == 14 and (path in self.folders or any(path == e for f in self.folders.values() for e, _ in f)):
            return self.answer(1, struct.pack(">II", 14, 1) + self.info(path, path in self.folders))
        if command == 14:
            return self.answer(1, struct.pack(">II", 14, 0))
        if command == 15 and path in self.folders:
            entries = self.folders[path]
            return self.answer(1, struct.pack(">III", 15, 1, len(entries)) +
                               b"".join(self.info(name, folder) for name, folder in entries))
        return self.answer(0)

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with connection:
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = connection.recv(65536)
                    if not chunk:
                        break
                    data += chunk
                head, _, body = data.partition(b"\r\n\r\n")
                length = re.search(rb"(?i)content-length: *(\d+)", head)
                want = int(length.group(1)) if length else 0
                while len(body) < want:
                    chunk = connection.recv(65536)
                    if not chunk:
                        break
                    body += chunk
                if len(body) < 28:
                    continue  # the connection probe
                reply = self.respond(body)
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(reply) + reply)

    def close(self):
        self.listener.close()


@unittest.skipIf(ARGS.runner, "native build only")
class WhatThePhoneHolds(QsyncCase):
    def test_get_r_writes_nothing_outside_dir_whatever_the_listing_names(self):
        climbing = ["/f/../../x", "/f/..", "/f/.", "/elsewhere/y", "/f/sub/../../z", "/f/", "/fx", "/f/a/b"]
        peer = ListingPeer({"/f": [(name, False) for name in climbing] + [("/f/sub", True)],
                            "/f/sub": [("/f/sub/../../../w", False), ("/x", False), ("/f/sub/..", True)]})
        self.addCleanup(peer.close)
        target = self.tmp / "deep/er/dir"
        before = sorted(p for p in self.tmp.rglob("*"))
        r = run_qsync("--phone", peer.address, "--json", "get", "-r", "/f", str(target))
        self.assertEqual(r.returncode, 1, r.stderr)
        after = sorted(p for p in self.tmp.rglob("*") if p not in before)
        # Only the folders of the tree itself, and no file anywhere.
        self.assertTrue(all(p.is_dir() and (p == target or target in p.parents or p in target.parents)
                            for p in after), after)
        self.assertEqual([p for p in after if not p.is_dir()], [])
        self.assertNotIn(11, [command for command, _ in peer.commands])  # no file was asked for
        done = json_events(r.stdout)[-1]
        self.assertEqual(done["exit"], 1)
        self.assertIn("malformed", r.stderr)

    def test_playlists_qsync_did_not_make_and_songs_the_phone_lacks(self):
        phone = self.service()
        songs = [self.write("pl/%d.mp3" % i, 500 + i) for i in range(2)]
        self.qsync(phone, "-q", "push", "music", str(self.pc / "pl"))
        never_pushed = str(self.write("other/never.mp3", 10))
        record = self.state / "qsync" / [p.name for p in (self.state / "qsync").glob("*.journal")][0]
        record = record.with_suffix(".playlists")
        playlists = lambda: phone.db("SELECT _id, name FROM playlists ORDER BY _id")
        # Refusals: nothing reaches the phone's table service.
        for args, message in ((["update", "99", "x", str(songs[0])], "playlist 99 is not one qsync made"),
                              (["delete", "99"], "playlist 99 is not one qsync made"),
                              (["update", "99", "x"], "no SONG given; --clear empties the playlist"),
                              (["create", "x", never_pushed, "/sdcard/Music/nothing.mp3"],
                               "2 of 2 songs are not on the phone; pushed with 'qsync push music'?"),
                              (["create", "x", "--force", str(songs[0])], "--force applies to playlist update")):
            with self.subTest(args=args):
                tables = len([l for l in phone.log_lines() if l.startswith("tablesync")])
                r = self.qsync(phone, "playlist", *args, expect=2)
                self.assertIn(message, r.stderr)
                self.assertEqual(len([l for l in phone.log_lines() if l.startswith("tablesync")]), tables)
        self.assertEqual(playlists(), [])
        # A create is recorded; a second of the same name is warned of; one
        # song of two missing is warned of and the rest is made.
        first = self.qsync(phone, "-q", "playlist", "create", "Evening", str(songs[0]), never_pushed).stdout.strip()
        r = self.qsync(phone, "playlist", "create", "Evening", str(songs[1]))
        self.assertIn("already made a playlist named 'Evening' (id %s)" % first, r.stderr)
        self.assertNotRegex(r.stdout, r"(?m)^ *\d+%$")  # no lone percentage line
        second = re.search(r"playlist id (\d+)", r.stdout).group(1)
        recorded = json.loads(record.read_text())
        self.assertEqual([(p["id"], p["name"]) for p in recorded["playlists"]], [(first, "Evening"), (second, "Evening")])
        self.assertEqual([p["songs"] for p in recorded["playlists"]],  # the songs the phone holds
                         [["/sdcard/Music" + str(songs[0])], ["/sdcard/Music" + str(songs[1])]])
        self.assertRegex(recorded["playlists"][0]["created"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.qsync(phone, "playlist", "update", second, "Night", "--clear")
        self.assertEqual([p["name"] for p in json.loads(record.read_text())["playlists"]], ["Evening", "Night"])
        self.qsync(phone, "playlist", "delete", first)
        self.assertEqual(playlists(), [(int(second), "Night")])
        self.assertEqual([p["id"] for p in json.loads(record.read_text())["playlists"]], [second])
        # One the phone's own apps made: only with --force, and not recorded.
        phone.db("INSERT INTO playlists (name) VALUES ('theirs')")
        theirs = str(phone.db("SELECT _id FROM playlists WHERE name = 'theirs'")[0][0])
        self.qsync(phone, "playlist", "delete", theirs, expect=2)
        self.qsync(phone, "playlist", "delete", "--force", theirs)
        self.assertEqual(playlists(), [(int(second), "Night")])
        # A record another qsync holds is not changed under it.
        with open(str(record) + ".lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            r = self.qsync(phone, "playlist", "delete", second, expect=2)
            self.assertIn("in use by another qsync", r.stderr)
        self.assertEqual(playlists(), [(int(second), "Night")])
        # A record that is not one is refused, never overwritten.
        record.write_text("not json")
        r = self.qsync(phone, "playlist", "delete", second, expect=2)
        self.assertIn(str(record), r.stderr)
        self.assertEqual(record.read_text(), "not json")

    def test_push_takes_the_files_of_its_kind(self):
        phone = self.service()
        for kind, good, bad in (("music", "a.MP3", "cover.jpg"), ("photos", "b.jpeg", "notes.txt"),
                                ("videos", "c.mkv", "c.srt"), ("documents", "d.pdf", "e.exe"),
                                ("playlists", "f.m3u8", "README")):
            with self.subTest(kind=kind):
                folder = self.pc / kind
                self.write("%s/%s" % (kind, good), 100)
                self.write("%s/%s" % (kind, bad), 50)
                r = self.qsync(phone, "--json", "push", kind, str(folder))
                events = json_events(r.stdout)
                self.assertEqual([(e["action"], Path(e["pc"]).name, e.get("reason")) for e in events
                                  if e["event"] == "item"], [("skipped", bad, "not " + kind), ("stored", good, None)])
                self.assertEqual((events[-1]["stored"], events[-1]["skipped"]), (1, 1))
                r = self.qsync(phone, "push", kind, "--dry-run", str(folder))
                self.assertRegex(r.stdout, r"would store 0 \(0 B\), 1 unchanged, 1 skipped: not %s, nothing sent" % kind)
                r = self.qsync(phone, "push", kind, str(folder / bad), expect=2)
                self.assertIn("--any-file", r.stderr)
                r = self.qsync(phone, "push", kind, "--any-file", str(folder))
                self.assertRegex(r.stdout, r"push %s: 1 stored \(50 B\), 1 unchanged in " % kind)
                # A push --delete keeps the copy of a file it now leaves out.
                r = self.qsync(phone, "push", kind, "--delete", str(folder))
                self.assertRegex(r.stdout, r"push %s: 0 stored \(0 B\), 1 unchanged, 1 skipped: not %s in " % (kind, kind))
                self.assertEqual(len([f for f in phone.phone_files() if f.endswith("/" + bad)]), 1)

    def test_a_removal_of_what_the_phone_lacks_is_counted_apart(self):
        phone = self.service()
        songs = [self.write("rm/%d.mp3" % i, 100) for i in range(2)]
        self.qsync(phone, "push", "music", str(songs[0]))
        r = self.qsync(phone, "remove", "music", *map(str, songs), str(self.pc / "gone") + "/")
        self.assertIn("- removed /sdcard/Music" + str(songs[0]), r.stdout)
        self.assertIn("- not on the phone: /sdcard/Music" + str(songs[1]), r.stdout)
        self.assertRegex(r.stdout, r"remove music: 1 removed, 2 not on the phone in ")
        self.assertEqual(phone.phone_files(), [])

    def test_what_the_pc_side_or_the_options_refuse_ends_before_any_request(self):
        phone = self.service()
        song = self.write("a.mp3", 10)
        a_file = self.write("afile", 10)
        cases = [(["fetch", "camera", "--to", str(a_file)], str(a_file) + " is not a folder"),
                 (["backup", "music", "--to", str(a_file / "sub")], str(a_file) + " is not a folder"),
                 (["get", "-r", "/sdcard/Music", str(a_file / "sub")], str(a_file) + " is not a folder")]
        for option, values, what in (("--retries", ("-1", "1001", "0x10", "1e2", " 3", "three"), "whole number from 0 to 1000"),
                                     ("--request-retries", ("101", "-0", "+5"), "whole number from 0 to 100"),
                                     ("--retry-delay", ("3600.001", "1.2345", "nan", "inf", "1e3", "1."),
                                      "number of seconds from 0 to 3600"),
                                     ("--max-delete", ("-1", "1000000000", "0.5"), "whole number from 0 to 999999999")):
            for value in values:
                cases.append(([option, value, "push", "music", "--delete", str(song)],
                              "%s: must be a %s, not '%s'" % (option, what, value)))
        for args, message in cases:
            with self.subTest(args=args):
                start = time.monotonic()
                r = self.qsync(phone, "--json", *args, expect=2)
                self.assertLess(time.monotonic() - start, 5)  # not tried again
                self.assertIn(message, r.stderr)
                self.assertEqual([e["event"] for e in json_events(r.stdout)], ["done"])
        self.assertEqual(phone.log_lines(), [])
        # Accepted forms: leading zeros are decimal, a delay takes a fraction.
        r = self.qsync(phone, "--json", "--retries", "010", "--retry-delay", ".5", "--request-retries", "0100",
                       "push", "music", "--dry-run", str(song))
        self.assertEqual(json_events(r.stdout)[-1]["exit"], 0)

    def test_ctrl_c_during_the_phone_commands(self):
        phone = self.service()
        tree = [self.write("tree/%d/%d.bin" % (i, i), 200000, seed=i) for i in range(3)]
        self.qsync(phone, "put", "-r", str(self.pc / "tree"), "/sdcard/T")
        commands = [(["ls", "-lR", "/sdcard/T"], 15), (["du", "/sdcard/T"], 15), (["stat", "/sdcard/T"], 14),
                    (["get", "-r", "/sdcard/T", str(self.tmp / "back")], 11),
                    (["put", "-r", str(self.pc / "tree"), "/sdcard/U"], 12), (["rm", "-r", "/sdcard/T/tree/0"], 17),
                    (["mv", "/sdcard/T/tree/1", "/sdcard/T/moved"], 20)]
        for args, command in commands:
            with self.subTest(args=args):
                fault = phone.control("arm hold:cmd=%d" % command)
                proc = subprocess.Popen([ARGS.qsync, "--phone", phone.address, "--json", *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                phone.control("wait %d 1" % fault)
                proc.send_signal(signal.SIGINT)
                out, err = proc.communicate(timeout=60)
                phone.control("disarm %d" % fault)
                self.assertEqual(proc.returncode, 130, err)
                self.assertEqual(json_events(out)[-1]["exit"], 130)
        # Nothing partial is left: no PC file from the get, no phone file from the put.
        self.assertEqual([p for p in (self.tmp / "back").rglob("*") if p.is_file()], [])
        self.assertEqual([f for f in phone.phone_files() if f.startswith("/sdcard/U/") and "." in f.rsplit("/", 1)[1]], [])
        self.assertEqual(len(tree), 3)

    def test_ls_sizes_for_people(self):
        phone = self.service()
        self.write("h/big.bin", 1536)
        self.qsync(phone, "put", "-r", str(self.pc / "h"), "/sdcard/H")
        self.assertRegex(self.qsync(phone, "ls", "-lH", "/sdcard/H/h").stdout, r"-rw +1\.5 KiB .* big\.bin\n")
        self.assertRegex(self.qsync(phone, "ls", "-l", "/sdcard/H/h").stdout, r"-rw +1536 .* big\.bin\n")
        self.assertRegex(self.qsync(phone, "du", "-s", "--human-readable", "/sdcard/H").stdout, r"^1\.5 KiB\t/sdcard/H\n")
        self.assertIn("usage: qsync ls", self.qsync(phone, "ls", "-h").stdout)


@unittest.skipIf(ARGS.runner, "native build only")
class OperandsOptionsAndEndings(QsyncCase):
    def run_here(self, phone, *args):
        """qsync run in the PC folder, so operands may be relative names."""
        return subprocess.run([ARGS.qsync, "--phone", phone.address, *args], cwd=self.pc, capture_output=True,
                              text=True, timeout=60)

    def test_everything_after_a_double_dash_is_an_operand(self):
        phone = self.service()
        dash = self.write("-x.mp3", 3000)
        named_like_an_option = self.write("--json", 4000)
        r = self.run_here(phone, "--json", "push", "music", "--any-file", "--", "-x.mp3", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        events = json_events(r.stdout)
        self.assertEqual(sorted(e["pc"] for e in events if e["event"] == "item"),
                         sorted([str(dash), str(named_like_an_option)]))
        self.assertEqual(events[-1]["bytes"], 7000)
        self.assertEqual((phone.root / ("sdcard/Music" + str(dash))).read_bytes(), dash.read_bytes())
        # After "--" an option's name is a file name, not the option.
        r = self.run_here(phone, "push", "music", "--", "-x.mp3", "--dry-run")
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("no such file", r.stderr)
        self.assertIn("--dry-run", r.stderr)

    def test_options_of_a_command_may_stand_before_it(self):
        phone = self.service()
        song = self.write("a.mp3", 1000)
        camera = phone.root / "sdcard/DCIM"
        camera.mkdir(parents=True)
        (camera / "IMG_1.jpg").write_bytes(bytes(5000))
        r = self.qsync(phone, "--dry-run", "--json", "push", "music", str(song))
        self.assertEqual([(e["action"], e["pc"]) for e in json_events(r.stdout) if e["event"] == "item"],
                         [("would-store", str(song))])
        self.assertEqual(phone.log_lines(), [])  # a dry run: nothing sent
        self.qsync(phone, "--to", str(self.tmp / "pictures"), "fetch", "camera")
        self.assertEqual((self.tmp / "pictures/IMG_1.jpg").read_bytes(), bytes(5000))
        # Given after the command as well, the later one counts.
        r = self.qsync(phone, "--dry-run", "push", "music", str(song), "--dry-run=false")
        self.assertIn("+ stored ", r.stdout)
        # Before or after the command, an option of another command is named as such.
        for args in (["--to", str(self.tmp), "push", "music", str(song)], ["push", "music", str(song), "--to", "x"],
                     ["--on-conflict", "both", "backup", "music", "--to", str(self.tmp)]):
            with self.subTest(args=args):
                r = self.qsync(phone, *args, expect=2)
                self.assertRegex(r.stderr, r"^qsync: option --(to|on-conflict) does not apply to '(push|backup)'\n$")

    def test_ctrl_c_before_the_job_ends_in_a_summary(self):
        # The connection probe waits on a listener whose queue is full, so
        # the interrupt lands before any job starts; once qsync says
        # "stopping" the queue is emptied and the probe's next try gets in.
        song = self.write("a.mp3", 1000)
        (self.tmp / "backup").mkdir()
        runs = []
        for args in (["push", "music", str(song)], ["fetch", "camera", "--to", str(self.tmp / "pictures")],
                     ["playlist", "delete", "--force", "7"], ["restore", "music", "--from", str(self.tmp / "backup")]):
            listener = socket.socket()
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            filler = socket.create_connection(listener.getsockname())
            proc = subprocess.Popen([ARGS.qsync, "-v", "--json", "--phone", "%s:%d" % listener.getsockname(), *args],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            read_until(proc.stderr, b"qsync: phone service ")
            proc.send_signal(signal.SIGINT)
            read_until(proc.stderr, "stopping\u2026".encode())
            runs.append((args, proc, listener, filler, listener.accept()[0]))
        for args, proc, *sockets in runs:
            with self.subTest(args=args):
                out, err = proc.communicate(timeout=60)
                for s in sockets:
                    s.close()
                self.assertEqual(proc.returncode, 130, err)
                self.assertEqual(json_events(out), [{"event": "done", "result": None, "exit": 130,
                                                     "error": "interrupted before the job started"}])

    def test_the_rate_sinks_but_stays_known_while_a_large_file_is_on_its_way(self):
        # The large file's chunks are held past the rate's five-second
        # window; the bar must keep a rate and an ETA all the while.
        phone = self.service()
        self.write("album/1.mp3", 300000)
        big = self.write("album/2.mp3", 3 << 20)
        fault = phone.control("arm hold:cmd=12,path=/sdcard/Music" + str(big))
        pid, fd = pty.fork()
        if pid == 0:
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
            os.execv(ARGS.qsync, [ARGS.qsync, "--phone", phone.address, "push", "music", str(self.pc / "album")])
        screen = b""
        deadline = time.monotonic() + 60  # against a hang; the wait is for the bar's clock to pass 0:06
        while not re.search(rb"\] +\d+%  0:(0[6-9]|[1-5]\d)  .* 1/2 items", screen.split(b"\r\x1b[K")[-1]):
            ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
            data = os.read(fd, 65536) if ready else b""
            self.assertTrue(data, screen)
            screen += data
        phone.control("release %d" % fault)
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:  # the child closed the terminal
                break
            if not data:
                break
            screen += data
        os.close(fd)
        _, status = os.waitpid(pid, 0)
        text = screen.decode()
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, text)
        bars = [p for p in re.split(r"\r\x1b\[K|\r?\n", text) if BAR.match(p)]
        known = [i for i, bar in enumerate(bars) if "-- B/s" not in bar]
        self.assertTrue(known, text)
        units = {"B": 1, "KiB": 1 << 10, "MiB": 1 << 20}
        rates = []
        for bar in bars[known[0]:]:
            self.assertNotIn("-- B/s", bar)
            self.assertRegex(bar, r"  ETA \d+:\d\d  ")
            rate = re.search(r"  ([\d.]+) (B|KiB|MiB)/s  ETA .* 1/2 items", bar)
            if rate:
                rates.append(float(rate.group(1)) * units[rate.group(2)])
        self.assertEqual(rates, sorted(rates, reverse=True), bars)  # sinks while the large file is held
        self.assertRegex(text, r"push music: 2 stored \(3\.3 MiB\) in ")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + UNITTEST_ARGS, verbosity=2)
