#!/usr/bin/env python3
"""Tests of `qsync ui` over raw HTTP: its security rules, and a job's Stop
in a server that runs job after job, against the phone-service stand-in.

usage: ui_security_test.py --qsync BIN --phone-service BIN [--runner SCRIPT] [unittest args]
"""
import argparse
import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path
from urllib.parse import quote

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--qsync", required=True)
_parser.add_argument("--phone-service", required=True)
_parser.add_argument("--runner")
ARGS, UNITTEST_ARGS = _parser.parse_known_args()

def pc(path):
    """A PC path as qsync sees it (under Wine: the Z: drive)."""
    return "Z:" + str(path).replace("/", "\\") if ARGS.runner else str(path)


def mirrored(phone_folder, path):
    """Where a push stores the PC file `path` below a phone folder (a Windows path keeps its drive letter)."""
    return phone_folder + ("/Z" if ARGS.runner else "") + str(path)


REQUIRED_HEADERS = {
    "content-security-policy": "default-src 'self'",
    "x-frame-options": "DENY",
    "x-content-type-options": "nosniff",
    "referrer-policy": "no-referrer",
    "cache-control": "no-store",
}


class PhoneService:
    def __init__(self, root):
        self.root = Path(root)
        self.log = open(str(self.root) + ".log", "w")
        self.proc = subprocess.Popen([ARGS.phone_service, "--root", str(root), "--port", "0"],
                                     stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("listening on "):
            raise RuntimeError("stand-in did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def control(self, command):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request("GET", "/control", body=command.encode())
            answer = connection.getresponse()
            text = answer.read().decode().strip()
            if answer.status != 200:
                raise RuntimeError("control %r: %d %s" % (command, answer.status, text))
            return int(text.split()[-1])
        finally:
            connection.close()

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        self.proc.stdout.close()
        self.log.close()


class UiServer:
    """`qsync ui --no-open` on a free port, with its state in a folder of its own."""

    def __init__(self, state, *listen, open_browser=False, path=None):
        Path(state).mkdir(parents=True, exist_ok=True)
        env = dict(os.environ, XDG_STATE_HOME=str(state), HOME=str(state))
        if path:
            env["PATH"] = path
        command = ([ARGS.runner] if ARGS.runner else []) + [ARGS.qsync, "ui", *([] if open_browser else ["--no-open"]),
                                                             *(listen or ("--listen", "127.0.0.1:0"))]
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        line = self.proc.stdout.readline().decode() if ready else ""
        found = re.search(r"http://\S+", line)
        if not found:
            self.proc.kill()
            raise RuntimeError("qsync ui did not start: %r %r" % (line, self.proc.stderr.read()))
        self.adopt(found.group(0))

    @classmethod
    def attached(cls, proc, url):
        """A server that `proc` started without printing its address to us."""
        server = cls.__new__(cls)
        server.proc = proc
        server.adopt(url)
        return server

    def adopt(self, url):
        self.url = url
        self.port = int(re.search(r":(\d+)/", self.url).group(1))
        self.host = "127.0.0.1:%d" % self.port
        self.token = re.search(r"token=([0-9a-f]+)", self.url).group(1)
        self.cookie = None
        self.csrf = None

    def raw(self, method, path, headers=None, body=None, host=None):
        """One request on a new connection, exactly the headers given (Host included)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            connection.putheader("Host", self.host if host is None else host)
            for name, value in (headers or {}).items():
                connection.putheader(name, value)
            data = body.encode() if isinstance(body, str) else body
            if data is not None and "Transfer-Encoding" not in (headers or {}):
                connection.putheader("Content-Length", str(len(data)))
            try:
                connection.endheaders(data)
            except (BrokenPipeError, ConnectionResetError):
                pass  # refused before the body was read: the answer is there all the same
            answer = connection.getresponse()
            content = answer.read()
            return answer.status, {k.lower(): v for k, v in answer.getheaders()}, content
        finally:
            connection.close()

    def log_in(self):
        status, headers, _ = self.raw("GET", "/?token=" + self.token)
        assert status == 303, status
        self.cookie = re.match(r"qs_session=([0-9a-f]+)", headers["set-cookie"]).group(1)
        status, _, content = self.api("GET", "/api/session")
        assert status == 200, status
        self.csrf = json.loads(content)["csrf"]
        return headers

    def api(self, method, path, value=None, host=None, extra=None):
        headers = {"Cookie": "qs_session=%s" % self.cookie}
        if method != "GET" and self.csrf:
            headers["X-QSync-CSRF"] = self.csrf
        body = None
        if value is not None:
            headers["Content-Type"] = "application/json"
            body = json.dumps(value)
        headers.update(extra or {})
        return self.raw(method, path, headers, body, host)

    def json(self, method, path, value=None):
        status, _, content = self.api(method, path, value)
        if status != 200:
            raise AssertionError("%s %s: %d %s" % (method, path, status, content))
        return json.loads(content)

    def quit(self):
        if self.proc.poll() is None:
            status, _, _ = self.api("POST", "/api/quit", {})
            assert status == 200, status
        return self.wait()

    def wait(self):
        code = self.proc.wait(timeout=60)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code


class Events:
    """The page's event stream, read on a thread; `wait` finds a message."""

    def __init__(self, server):
        self.sock = socket.create_connection(("127.0.0.1", server.port), timeout=60)
        self.sock.sendall(("GET /api/events HTTP/1.1\r\nHost: %s\r\nCookie: qs_session=%s\r\n\r\n"
                           % (server.host, server.cookie)).encode())
        self.messages = []
        self.head = b""
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        data = b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            data += chunk
            if not self.head and b"\r\n\r\n" in data:
                self.head, data = data.split(b"\r\n\r\n", 1)
            while self.head and b"\n\n" in data:
                block, data = data.split(b"\n\n", 1)
                fields = dict(line.split(": ", 1) for line in block.decode().splitlines()
                              if not line.startswith(":") and ": " in line)
                if "event" in fields:
                    with self.changed:
                        self.messages.append((fields["event"], json.loads(fields["data"])))
                        self.changed.notify_all()
        with self.changed:
            self.messages.append(("closed", None))
            self.changed.notify_all()

    def wait(self, test, timeout=60):
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for name, data in self.messages:
                    if test(name, data):
                        return data
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no such event; got %r" % self.messages[-5:])
                self.changed.wait(left)

    def job_state(self, job_id, *states):
        return self.wait(lambda n, d: n == "job" and d["id"] == job_id and d["state"] in states)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the reader; close alone would not
        except OSError:
            pass
        self.thread.join(timeout=30)
        self.sock.close()


class SecurityTest(unittest.TestCase):
    """Every answer is checked for the headers in `answers`."""

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="qsync-ui-"))
        self.server = UiServer(self.work / "state")
        self.answers = []
        original = self.server.raw

        def recorded(*a, **k):
            answer = original(*a, **k)
            self.answers.append((a[:2], answer))
            return answer
        self.server.raw = recorded

    def tearDown(self):
        try:
            self.assertEqual(self.server.quit(), 0)
        finally:
            shutil.rmtree(self.work, ignore_errors=True)
        for (request, (status, headers, _)) in self.answers:
            for name, value in REQUIRED_HEADERS.items():
                self.assertEqual(headers.get(name), value, "%s answered %d without %s" % (request, status, name))
            self.assertFalse([h for h in headers if h.startswith("access-control-")], request)

    def test_token_is_good_once_for_one_session_cookie(self):
        self.assertRegex(self.server.token, r"^[0-9a-f]{32,}$")
        status, headers, _ = self.server.raw("GET", "/?token=" + "0" * len(self.server.token))
        self.assertEqual(status, 403, "a wrong token")
        headers = self.server.log_in()
        self.assertEqual(headers["location"], "/")
        cookie = headers["set-cookie"]
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/"):
            self.assertIn(attribute, cookie)
        for reuse in ({}, {"Cookie": "qs_session=" + self.server.cookie}):
            status, headers, _ = self.server.raw("GET", "/?token=" + self.server.token, reuse)
            self.assertEqual(status, 403, "the token used again")
            self.assertNotIn("set-cookie", headers)
        status, headers, content = self.server.api("GET", "/")
        self.assertEqual((status, headers["content-type"]), (200, "text/html; charset=utf-8"))

    def test_host_must_name_the_server_itself(self):
        self.server.log_in()
        port = self.server.port
        for host in ("evil.example:%d" % port, "evil.example", "127.0.0.1", "localhost", "127.0.0.1:%d" % (port + 1),
                     "127.0.0.1:%d.evil.example" % port, "127.0.0.2:%d" % port, "", "LOCALHOST:%d" % port):
            for method, path in (("GET", "/api/session"), ("GET", "/"), ("GET", "/?token=" + self.server.token),
                                 ("POST", "/api/quit")):
                status, _, _ = self.server.api(method, path, {} if method == "POST" else None, host=host)
                self.assertEqual(status, 403, "%s %s with Host %r" % (method, path, host))
        for host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "[::1]:%d" % port):
            status, _, _ = self.server.api("GET", "/api/session", host=host)
            self.assertEqual(status, 200, host)

    def test_every_request_needs_the_session_cookie(self):
        self.server.log_in()
        paths = ["/", "/index.html", "/missing.js", "/api/session", "/api/jobs", "/api/events", "/api/settings",
                 "/api/pc/list?path=", "/api/phone/list?path=/sdcard", "/api/jobs/1/items", "/?token="]
        cookies = [None, "qs_session=", "qs_session=" + "0" * len(self.server.cookie),
                   "other=" + self.server.cookie, "qs_session=" + self.server.cookie[:-1]]
        for path in paths:
            for cookie in cookies:
                headers = {"Cookie": cookie} if cookie else {}
                status, _, _ = self.server.raw("GET", path, headers)
                self.assertEqual(status, 403 if path == "/?token=" else 401, "%s with %r" % (path, cookie))
        status, _, _ = self.server.raw("POST", "/api/quit", {"X-QSync-CSRF": self.server.csrf})
        self.assertEqual(status, 401, "quit without the cookie")

    def test_state_changes_need_the_csrf_header_and_no_foreign_origin(self):
        self.server.log_in()
        changes = [("POST", "/api/jobs", {"command": "push"}), ("PUT", "/api/settings", {"phone": "10.0.0.1"}),
                   ("POST", "/api/quit", {}), ("DELETE", "/api/jobs/1", None), ("POST", "/api/jobs/1/stop", {}),
                   ("POST", "/api/phone/upload?folder=/sdcard&name=a", None), ("POST", "/api/connect", {})]
        good = self.server.csrf
        faults = [{"X-QSync-CSRF": None}, {"X-QSync-CSRF": ""}, {"X-QSync-CSRF": good[:-1] + "x"},
                  {"Origin": "http://evil.example"}, {"Origin": "null"},
                  {"Origin": "http://127.0.0.1:%d" % (self.server.port + 1)},
                  {"Origin": "https://127.0.0.1:%d" % self.server.port}]
        for method, path, value in changes:
            for fault in faults:
                self.server.csrf = fault.get("X-QSync-CSRF", good)
                extra = {k: v for k, v in fault.items() if k == "Origin"}
                status, _, _ = self.server.api(method, path, value, extra=extra)
                self.assertEqual(status, 403, "%s %s with %r" % (method, path, fault))
        self.server.csrf = good
        self.assertEqual(self.server.proc.poll(), None, "a refused quit ended the server")
        # The page's own origin is accepted.
        status, _, content = self.server.api("PUT", "/api/settings", {"device": "/sdcard"},
                                             extra={"Origin": "http://" + self.server.host})
        self.assertEqual(status, 200, content)

    def test_bodies_are_bounded_and_paths_checked(self):
        self.server.log_in()
        status, _, _ = self.server.api("POST", "/api/jobs", {"command": "push", "operands": ["x" * (1 << 20)]})
        self.assertEqual(status, 413)
        chunked = b"".join(b"%x\r\n%s\r\n" % (60000, b"x" * 60000) for _ in range(20)) + b"0\r\n\r\n"
        status, _, _ = self.server.raw("POST", "/api/jobs", {"Cookie": "qs_session=" + self.server.cookie,
                                                             "X-QSync-CSRF": self.server.csrf,
                                                             "Content-Type": "application/json",
                                                             "Transfer-Encoding": "chunked"}, chunked)
        self.assertEqual(status, 413, "a chunked body over 1 MiB")
        for method in ("HEAD", "OPTIONS", "PATCH", "TRACE"):
            status, _, _ = self.server.api(method, "/api/session")
            self.assertEqual(status, 405, method)
        status, _, _ = self.server.api("POST", "/api/phone/delete", {"path": "/sdcard/x", "tree": "yes"})
        self.assertEqual(status, 400, "a value of the wrong type")
        refused = [{"command": "push", "kind": "music"},                       # no PATH: the command line's words
                   {"command": "push", "kind": "films", "operands": ["/tmp"]},
                   {"command": "ls", "operands": ["/sdcard"]},                   # not a job
                   {"command": "push", "kind": "music", "operands": "/tmp"},
                   {"command": "restore", "kind": "music"}]
        for request in refused:
            status, _, content = self.server.api("POST", "/api/jobs", request)
            self.assertEqual(status, 400, request)
            self.assertTrue(json.loads(content)["error"], request)
        # What the command line refuses from the PC's files alone is refused before queueing, in its
        # words: each request beside the command line it stands for.
        tree = self.work / "refusals"
        for folder in ("texts", "empty", "odd"):
            (tree / folder).mkdir(parents=True)
        (tree / "texts" / "notes.txt").write_text("x")
        (tree / "a-file").write_text("x")
        jobs = self.server.json("GET", "/api/jobs")  # under Wine the history of earlier runs is there too
        checked = [(["push", "music"], ["no-such"]), (["push", "music"], ["texts"]),
                   (["push", "--delete", "music"], ["empty"]), (["push", "--delete", "music"], ["no-such"]),
                   (["fetch", "--to", "a-file", "camera"], []), (["fetch", "--to", "a-file/below", "downloads"], []),
                   (["backup", "--to", "a-file", "music"], []), (["restore", "--from", "no-such", "music"], [])]
        if not ARGS.runner:  # Windows names cannot hold '?', and "/" is no drive
            (tree / "odd" / "what?.mp3").write_text("x")
            checked += [(["push", "music"], ["odd"]), (["remove", "music"], ["/"])]
        for words, operands in checked:
            request = {"command": words[0], "kind": words[-1], "delete": "--delete" in words,
                       "operands": [pc(tree / o) if o != "/" else o for o in operands]}
            if len(words) == 4:
                request["folder"] = pc(tree / words[2])
            status, _, content = self.server.api("POST", "/api/jobs", request)
            self.assertEqual(status, 400, (request, content))
            argv = [pc(tree / w) if i == 2 and len(words) == 4 else w for i, w in enumerate(words)]
            cli = subprocess.run(([ARGS.runner] if ARGS.runner else []) +
                                 [ARGS.qsync, "--phone", "127.0.0.1:9", *argv, *request["operands"]],
                                 capture_output=True, timeout=60, text=True,
                                 env=dict(os.environ, XDG_STATE_HOME=str(self.work / "state")))
            self.assertEqual(cli.returncode, 2, (argv, cli.stderr))
            error = json.loads(content)["error"]  # the command line puts "qsync" before it, as it reads best
            self.assertIn(cli.stderr, ("qsync: %s\n" % error, "qsync %s\n" % error), request)
        self.assertEqual(self.server.json("GET", "/api/jobs"), jobs, "a refused job was queued")
        self.assertEqual((jobs["running"], jobs["queue"]), (None, []))
        browse = self.work / "browse"
        (browse / "sub").mkdir(parents=True)
        (browse / "afile.mp3").write_text("secret")
        for path in ("relative/folder", pc(browse / "no-such"), pc(browse / "afile.mp3"), "\x01", "%zz"):
            status, _, _ = self.server.api("GET", "/api/pc/list?path=" + (quote(path) if path != "%zz" else path))
            self.assertEqual(status, 400, path)
        status, _, content = self.server.api("GET", "/api/pc/list?path=" + quote(pc(browse)))
        self.assertEqual((status, json.loads(content)),
                         (200, {"path": pc(browse), "parent": pc(self.work), "folders": ["sub"], "files": 1}))
        self.assertNotIn(b"secret", content)
        top = self.server.json("GET", "/api/pc/list?path=" + quote(pc("/")))
        self.assertEqual((top["path"], top["parent"]), (pc("/"), "" if ARGS.runner else None))
        start = self.server.json("GET", "/api/pc/list?path=")
        if ARGS.runner:  # the drives
            self.assertEqual((start["path"], start["parent"]), ("", None))
            self.assertIn("Z:\\", start["folders"])
        else:  # the home folder
            self.assertEqual(start["path"], str(self.work / "state"))
        for path in ("sdcard", "/sdcard/../etc", "/sdcard/./x", "", "/sdcard/\x01"):
            status, _, _ = self.server.api("GET", "/api/phone/list?path=" + quote(path))
            self.assertEqual(status, 400, path)
        for name in ("a/b", "..", "", "a\x01b"):
            status, _, _ = self.server.raw(
                "POST", "/api/phone/upload?folder=/sdcard&name=" + "".join("%%%02X" % b for b in name.encode()),
                {"Cookie": "qs_session=" + self.server.cookie, "X-QSync-CSRF": self.server.csrf}, b"data")
            self.assertEqual(status, 400, name)


class ListenTest(unittest.TestCase):
    def test_listen_refuses_every_address_but_loopback(self):
        work = Path(tempfile.mkdtemp(prefix="qsync-ui-"))
        try:
            for address in ("0.0.0.0:0", "0.0.0.0:8190", "192.168.1.1:0", "localhost:0", "[::]:0", "127.0.0.1",
                            "127.0.0.1:99999", "127.0.0.1:-1", "::1:0", ""):
                command = ([ARGS.runner] if ARGS.runner else []) + [ARGS.qsync, "ui", "--no-open", "--listen", address]
                done = subprocess.run(command, capture_output=True, timeout=60,
                                      env=dict(os.environ, XDG_STATE_HOME=str(work)))
                self.assertEqual(done.returncode, 2, (address, done.stderr))
                self.assertNotIn(b"http://", done.stdout, address)
        finally:
            shutil.rmtree(work, ignore_errors=True)


def xdg_open_stand_in(work):
    """An xdg-open in work/bin that writes the count of its arguments, then each, into the pipe work/calls."""
    folder, pipe = work / "bin", work / "calls"
    folder.mkdir()
    os.mkfifo(pipe)
    stub = folder / "xdg-open"
    stub.write_text("#!/bin/sh\nprintf '%%s\\n' \"$#\" \"$@\" > '%s'\n" % pipe)
    stub.chmod(0o755)
    return folder, pipe


def read_calls(pipe):
    """A thread that reads one writer's text from the pipe into the list it returns."""
    calls = []
    reader = threading.Thread(target=lambda: calls.append(pipe.read_text()), daemon=True)
    reader.start()
    return calls, reader


@unittest.skipIf(ARGS.runner, "xdg-open opens the browser on Linux only")
class OpenBrowserTest(unittest.TestCase):
    def test_the_printed_address_is_opened_once_and_only_without_no_open(self):
        """A stand-in xdg-open first on PATH writes its arguments into a pipe that a thread reads."""
        work = Path(tempfile.mkdtemp(prefix="qsync-ui-"))
        try:
            folder, pipe = xdg_open_stand_in(work)
            for open_browser in (False, True):
                calls, reader = read_calls(pipe)
                server = UiServer(work / "state", open_browser=open_browser,
                                  path="%s:%s" % (folder, os.environ.get("PATH", "/usr/bin:/bin")))
                server.log_in()  # answered once the browser has been opened: the server serves after that
                # Nothing it started is left running or unreaped.
                children = "".join(p.read_text() for p in Path("/proc/%d/task" % server.proc.pid).glob("*/children"))
                self.assertEqual(children.split(), [], "children of qsync ui")
                if open_browser:
                    reader.join(timeout=60)
                self.assertEqual(server.quit(), 0)
                if reader.is_alive():  # no call came: the reader is let go by a writer that writes nothing
                    with open(pipe, "w"):
                        pass
                reader.join(timeout=60)
                self.assertEqual(calls, ["1\n%s\n" % server.url] if open_browser else [""], open_browser)
                self.assertRegex(server.url, r"^http://127\.0\.0\.1:%d/\?token=[0-9a-f]{32,}$" % server.port)
        finally:
            shutil.rmtree(work, ignore_errors=True)


@unittest.skipUnless(ARGS.runner, "Explorer: the Windows build only")
class ExplorerStartTest(unittest.TestCase):
    def test_started_alone_in_a_console_without_arguments_it_serves_and_opens_the_page(self):
        """Explorer starts a console program in a console of its own, as `start /wait` does under Wine.
        Wine hands the program's ShellExecuteW to xdg-open: a stand-in first on PATH writes its arguments
        into a pipe that a thread reads. The page then answers at that address, on the default port or
        the next free one, and Quit ends the program."""
        work = Path(tempfile.mkdtemp(prefix="qsync-ui-"))
        try:
            folder, pipe = xdg_open_stand_in(work)
            calls, reader = read_calls(pipe)
            env = dict(os.environ, XDG_STATE_HOME=str(work), HOME=str(work),
                       PATH="%s:%s" % (folder, os.environ.get("PATH", "/usr/bin:/bin")))
            proc = subprocess.Popen([ARGS.runner, "start", "/wait", "/unix", ARGS.qsync], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            deadline = time.monotonic() + 120
            while reader.is_alive() and proc.poll() is None and time.monotonic() < deadline:
                reader.join(timeout=0.5)  # or the program ended without opening anything
            if not calls:
                proc.kill()
                proc.wait(timeout=60)
                self.fail("no browser was opened: %r" % (proc.stderr.read(),))
            self.assertEqual(calls[0].splitlines()[0], "1", calls)
            url = calls[0].splitlines()[1]
            self.assertRegex(url, r"^http://127\.0\.0\.1:(\d+)/\?token=[0-9a-f]{32,}$")
            server = UiServer.attached(proc, url)
            self.assertGreaterEqual(server.port, 8190)
            server.log_in()
            self.assertEqual(server.quit(), 0)
        finally:
            shutil.rmtree(work, ignore_errors=True)


class JobStopTest(unittest.TestCase):
    """A job's Stop ends that job only: not the next job, not a listing beside it."""

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="qsync-ui-"))
        (self.work / "phone" / "sdcard" / "Pictures").mkdir(parents=True)
        (self.work / "phone" / "sdcard" / "Pictures" / "p.jpg").write_bytes(b"p" * 1000)
        (self.work / "phone" / "sdcard" / "Music").mkdir(parents=True)
        (self.work / "phone" / "sdcard" / "Music" / "old.mp3").write_bytes(b"o" * 5000)
        self.phone = PhoneService(self.work / "phone")
        self.server = UiServer(self.work / "state")
        self.server.log_in()
        self.server.json("PUT", "/api/settings", {"phone": "127.0.0.1:%d" % self.phone.port})
        self.events = Events(self.server)

    def tearDown(self):
        try:
            self.events.close()
            self.assertEqual(self.server.quit(), 0)
        finally:
            self.phone.close()
            shutil.rmtree(self.work, ignore_errors=True)

    def songs(self, count, size=200000):
        folder = self.work / "pc" / "music"
        folder.mkdir(parents=True, exist_ok=True)
        for i in range(count):
            (folder / ("song%02d.mp3" % i)).write_bytes(bytes([i]) * size)
        return folder

    def test_push_runs_through_the_same_code_as_the_command_line(self):
        folder = self.songs(3)
        state = self.events.wait(lambda n, d: n == "state")
        self.assertEqual((state["running"], state["queue"]), (None, []))
        job = self.server.json("POST", "/api/jobs", {"command": "push", "kind": "music", "operands": [pc(folder)]})["id"]
        ended = self.events.job_state(job, "done", "failed", "stopped")
        self.assertEqual(ended["state"], "done", ended)
        self.assertEqual((ended["summary"]["stored"], ended["summary"]["failed"]), (3, 0), ended)
        for i in range(3):
            phone_copy = self.work / "phone" / mirrored("sdcard/Music", folder / ("song%02d.mp3" % i))
            self.assertEqual(phone_copy.read_bytes(), bytes([i]) * 200000)
        items = self.server.json("GET", "/api/jobs/%d/items?from=0&count=10" % job)
        self.assertEqual(items["total"], ended["counts"]["items"])
        self.assertEqual([e["event"] for e in items["items"]], ["item"] * items["total"])
        sent = [d for n, d in self.events.messages if n == "event" and d["job"] == job]
        self.assertEqual(sent[-1]["event"]["event"], "done")
        self.assertEqual([d["event"] for d in sent if d["event"]["event"] == "item"], items["items"])
        # A second page (a reload) is told the same in its first message.
        again = Events(self.server)
        history = again.wait(lambda n, d: n == "state")["history"]
        again.close()
        self.assertEqual(history[0]["summary"], ended["summary"])
        # Playlists of the pushed songs: made, renamed and deleted by jobs, shown from qsync's record.
        songs = [pc(folder / ("song%02d.mp3" % i)) for i in (2, 0)]
        steps = [({"kind": "create", "operands": ["Evening", *songs]}, "Evening"),
                 ({"kind": "update", "operands": [None, "Night", songs[0]]}, "Night"),
                 ({"kind": "delete", "operands": [None]}, None)]
        playlist_id = None
        for request, name in steps:
            request = dict(request, command="playlist",
                           operands=[playlist_id if o is None else o for o in request["operands"]])
            job = self.server.json("POST", "/api/jobs", request)["id"]
            ended = self.events.job_state(job, "done", "failed", "stopped")
            self.assertEqual(ended["state"], "done", ended)
            playlist_id = playlist_id or ended["summary"]["id"]
            shown = self.server.json("GET", "/api/playlists")["playlists"]
            self.assertEqual([(p["id"], p["name"]) for p in shown], [(playlist_id, name)] if name else [], request)

    def test_quit_and_ctrl_c_stop_the_running_job_and_end_the_server(self):
        folder = self.songs(4)
        for way in ("quit", "interrupt") if not ARGS.runner else ("quit",):
            hold = self.phone.control("arm hold:cmd=12,path=/sdcard/Music")
            self.server.json("POST", "/api/jobs", {"command": "push", "kind": "music", "operands": [pc(folder)]})
            self.phone.control("wait %d 1" % hold)
            if way == "quit":
                self.assertEqual(self.server.quit(), 0)
            else:
                self.server.proc.send_signal(signal.SIGINT)
                self.assertEqual(self.server.wait(), 130)
            self.phone.control("disarm %d" % hold)
            self.events.close()
            self.server = UiServer(self.work / "state")
            self.server.log_in()
            self.events = Events(self.server)
            history = self.server.json("GET", "/api/jobs")["history"]
            self.assertEqual((history[0]["title"], history[0]["state"]), ("push music", "stopped"), way)

    def test_stop_ends_its_job_only(self):
        folder = self.songs(6)
        # A listing beside the job, held at the stand-in until released.
        listing_hold = self.phone.control("arm hold:cmd=15,path=/sdcard/Pictures")
        listing = {}
        lister = threading.Thread(target=lambda: listing.update(
            self.server.json("GET", "/api/phone/list?path=/sdcard/Pictures")))
        lister.start()
        self.phone.control("wait %d 1" % listing_hold)
        push_hold = self.phone.control("arm hold:cmd=12,path=/sdcard/Music")
        push = self.server.json("POST", "/api/jobs", {"command": "push", "kind": "music", "operands": [pc(folder)]})["id"]
        backup = self.server.json("POST", "/api/jobs", {"command": "backup", "kind": "music",
                                                        "folder": pc(self.work / "backup")})["id"]
        self.events.job_state(push, "running")
        self.phone.control("wait %d 1" % push_hold)
        # Renames wait behind the held push, as many as the server has
        # workers; the Stop below still gets through.
        documents = self.work / "phone" / "sdcard" / "Documents"
        documents.mkdir()
        renames = []
        for i in range(8):
            (documents / ("d%d.txt" % i)).write_text(str(i))
            request = {"from": "/sdcard/Documents/d%d.txt" % i, "to": "/sdcard/Documents/e%d.txt" % i}
            thread = threading.Thread(target=lambda r=request: renames.append(
                self.server.json("POST", "/api/phone/rename", r)))
            thread.start()
            renames.append(thread)
        self.events.wait(lambda n, d: n == "job" and d["title"] == "mv" and
                         len([m for m in self.events.messages if m[0] == "job" and m[1]["title"] == "mv"]) == 8)
        status, _, _ = self.server.api("POST", "/api/jobs/%d/stop" % backup, {})
        self.assertEqual(status, 409, "a queued job is not stopped")
        self.assertEqual(self.server.json("POST", "/api/jobs/%d/stop" % push, {}), {"ok": True})
        stopped = self.events.job_state(push, "done", "failed", "stopped")
        self.assertEqual(stopped["state"], "stopped", stopped)
        reasons = {i["reason"] for i in stopped["summary"]["failed_items"]}
        self.assertIn("stopped from the page", reasons)
        self.assertNotIn("stopped by Ctrl-C", reasons)
        self.phone.control("disarm %d" % push_hold)
        ended = self.events.job_state(backup, "done", "failed", "stopped")
        self.assertEqual(ended["state"], "done", ended)
        self.assertEqual((self.work / "backup" / "Music" / "Music" / "old.mp3").read_bytes(), b"o" * 5000)
        # The stop ended the held listing, which was made again (and held
        # again); released now, it completes.
        self.phone.control("wait %d 2" % listing_hold)
        self.phone.control("disarm %d" % listing_hold)
        lister.join(timeout=60)
        self.assertEqual(listing.get("result"), 0, listing)
        self.assertEqual([e["name"] for e in listing["entries"]], ["p.jpg"])
        for thread in [r for r in renames if isinstance(r, threading.Thread)]:
            thread.join(timeout=60)
        answers = [r for r in renames if isinstance(r, dict)]
        self.assertEqual(len(answers), 8)
        for i in range(8):
            self.assertEqual((documents / ("e%d.txt" % i)).read_text(), str(i))
        # The stopped push's failed files can be retried alone.
        retry = self.server.json("POST", "/api/jobs/%d/retry-failed" % push, {})
        self.assertEqual(self.events.job_state(retry["id"], "done", "failed", "stopped")["state"], "done")


class PhoneFilesTest(unittest.TestCase):
    """The phone browser's calls, the settings, and what outlives a restart."""

    HOSTILE = "<img src=x onerror=alert(1)>.mp3"

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="qsync-ui-"))
        music = self.work / "phone" / "sdcard" / "Music"
        music.mkdir(parents=True)
        (music / "a.mp3").write_bytes(b"a" * 3000)
        (music / self.HOSTILE).write_bytes(b"h")
        self.phone = PhoneService(self.work / "phone")
        self.server = UiServer(self.work / "state")
        self.server.log_in()

    def tearDown(self):
        try:
            self.assertEqual(self.server.quit(), 0)
        finally:
            self.phone.close()
            shutil.rmtree(self.work, ignore_errors=True)

    def upload(self, folder, name, data, replace):
        status, _, content = self.server.raw(
            "POST", "/api/phone/upload?" + "&".join("%s=%s" % (k, quote(v, safe="")) for k, v in
                                                    (("folder", folder), ("name", name), ("replace", replace))),
            {"Cookie": "qs_session=" + self.server.cookie, "X-QSync-CSRF": self.server.csrf,
             "Content-Type": "application/octet-stream"}, data)
        self.assertEqual(status, 200, content)
        return json.loads(content)

    def test_phone_files_and_settings_survive_a_restart(self):
        for bad in ({"phone": "phone.local"}, {"phone": "1.2.3.4:0"}, {"folders": {"films": []}},
                    {"mirror": {"music": "yes"}}, {"maxDelete": {"music": -1}}, {"colour": 1}, {"device": "/a/../b"}):
            status, _, content = self.server.api("PUT", "/api/settings", bad)
            self.assertEqual(status, 400, bad)
            self.assertTrue(json.loads(content)["error"], bad)
        phone = "127.0.0.1:%d" % self.phone.port
        settings = self.server.json("PUT", "/api/settings", {"phone": phone, "folders": {"music": [pc(self.work)]}})
        self.assertEqual((settings["phone"], settings["folders"]["music"], settings["device"]),
                         (phone, [pc(self.work)], "/sdcard"))
        self.assertEqual(self.server.json("POST", "/api/connect", {"phone": phone, "device": "/sdcard"}), {"ok": True})
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        closed_port = closed.getsockname()[1]
        closed.close()
        for address, problem in (("127.0.0.1:%d" % closed_port, "unreachable"), ("phone", "bad-address")):
            answer = self.server.json("POST", "/api/connect", {"phone": address, "device": "/sdcard"})
            self.assertEqual((answer["ok"], answer["problem"]), (False, problem), answer)
            self.assertTrue(answer["message"])

        listing = self.server.json("GET", "/api/phone/list?path=/sdcard/Music")
        self.assertEqual((listing["result"], sorted(e["name"] for e in listing["entries"])),
                         (0, sorted(["a.mp3", self.HOSTILE])))
        self.assertEqual(self.server.json("GET", "/api/phone/list?path=/sdcard/None")["result"], 1)
        big = bytes(range(256)) * (3 * 4096)  # 3 MiB: beyond the bound of other bodies, streamed to a file
        self.assertEqual(self.upload("/sdcard/Music", "big.bin", big, "0"), {"result": 0, "path": "/sdcard/Music/big.bin"})
        self.assertEqual(self.upload("/sdcard/Music", "big.bin", b"new", "0")["result"], 25)
        self.assertEqual((self.work / "phone/sdcard/Music/big.bin").read_bytes(), big)
        self.assertEqual(self.upload("/sdcard/Music", "big.bin", b"new", "1")["result"], 0)
        self.assertEqual((self.work / "phone/sdcard/Music/big.bin").read_bytes(), b"new")
        status, headers, content = self.server.api("GET", "/api/phone/download?path=" + quote("/sdcard/Music/" + self.HOSTILE))
        self.assertEqual((status, content), (200, b"h"))
        self.assertEqual(headers["content-disposition"], "attachment; filename*=UTF-8''" + quote(self.HOSTILE, safe=""))
        status, _, _ = self.server.api("GET", "/api/phone/download?path=/sdcard/Music/none.mp3")
        self.assertEqual(status, 404)
        stat = self.server.json("GET", "/api/phone/stat?path=/sdcard/Music/a.mp3")
        self.assertEqual((stat["result"], stat["entry"]["size"], stat["entry"]["isDir"]), (0, 3000, False))

        moved = self.server.json("POST", "/api/phone/rename", {"from": "/sdcard/Music/a.mp3", "to": "/sdcard/Music/b.mp3"})
        self.assertEqual((moved["result"], moved["state"]), (0, "done"), moved)
        self.assertEqual((self.work / "phone/sdcard/Music/b.mp3").read_bytes(), b"a" * 3000)
        refused = self.server.json("POST", "/api/phone/delete", {"path": "/sdcard/Music", "tree": True})
        self.assertEqual(refused["result"], 1, "a kind folder is kept without force")
        self.assertTrue((self.work / "phone/sdcard/Music/b.mp3").exists())
        deleted = self.server.json("POST", "/api/phone/delete", {"path": "/sdcard/Music/b.mp3"})
        self.assertEqual(deleted["result"], 0, deleted)
        self.assertFalse((self.work / "phone/sdcard/Music/b.mp3").exists())
        leftovers = [f for f in Path(tempfile.gettempdir()).glob("qsync-ui-*.*") if f.suffix in (".upload", ".download")]
        self.assertEqual(leftovers, [], "temporary files of uploads and downloads")

        # Another run finds the settings and the history as they were.
        history = self.server.json("GET", "/api/jobs")["history"]
        self.assertEqual([j["title"] for j in history[:3]], ["rm", "rm", "mv"])
        self.assertEqual(self.server.quit(), 0)
        self.server = UiServer(self.work / "state")
        self.server.log_in()
        self.assertEqual(self.server.json("GET", "/api/settings"), settings)
        self.assertEqual(self.server.json("GET", "/api/jobs")["history"], history)
        added = self.server.json("POST", "/api/phone/delete", {"path": "/sdcard/Music/big.bin"})
        self.assertGreater(added["id"], max(j["id"] for j in history), "ids go on from the history")


if __name__ == "__main__":
    unittest.main(argv=[__file__] + UNITTEST_ARGS, verbosity=2)
