#!/usr/bin/python3
"""The page of `qsync ui` in a real browser (headless Chromium), against the
phone-service stand-in.

usage: ui_browser_test.py --qsync BIN --phone-service BIN [--runner SCRIPT]
                          [--axe axe.min.js] [--artifacts DIR] [unittest args]

With --runner (the Windows build's Wine wrapper) only the push test runs,
against qsync.exe; the browser and the stand-in run natively.
"""
import argparse
import json
import os
import sys
import unittest
from pathlib import Path

_own = argparse.ArgumentParser(add_help=False)
_own.add_argument("--axe")
_own.add_argument("--artifacts", default="ui-artifacts")
OWN, _rest = _own.parse_known_args()
sys.argv[1:] = _rest
sys.path.insert(0, str(Path(__file__).resolve().parent))

from qsync_test import ARGS, UNITTEST_ARGS, QsyncCase, json_events, run_qsync  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from ui_support import Page, UiServer, browser  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)>.mp3"
WINE = bool(ARGS.runner)


class PageCase(QsyncCase):
    width, height = 1024, 800

    def setUp(self):
        super().setUp()
        self.ui = None
        self.driver = browser(self.width, self.height)
        self.page = Page(self.driver, timeout=180 if WINE else 60)

    def tearDown(self):
        try:
            self.page.no_alert()
        finally:
            self.driver.quit()
            if self.ui:
                self.ui.stop()
            super().tearDown()

    def arg(self, path):
        return "Z:" + str(path).replace("/", "\\") if WINE else str(path)

    def phone_path(self, pc):
        return "/sdcard/Music" + ("/Z" if WINE else "") + str(pc)

    def on_phone(self, phone, pc):
        copy = phone.root / self.phone_path(pc)[1:]
        return copy.is_file() and copy.read_bytes() == pc.read_bytes()

    def cli(self, phone, *args):
        """The command line with the journal that `qsync ui` uses too (the default one)."""
        r = run_qsync("--phone", phone.address, *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def start(self, phone):
        """qsync ui, the page opened from the printed address, connected to the stand-in."""
        (phone.root / "sdcard").mkdir(parents=True, exist_ok=True)  # a phone has its storage root
        self.ui = UiServer(ARGS.qsync, self.state, ARGS.runner, home=self.pc)
        self.page.open(self.ui.url)
        self.assertNotIn("token", self.driver.current_url)  # the redirect dropped it
        if WINE:  # Wine's %LOCALAPPDATA%, where the settings are kept, is one for all tests
            status, text = self.page.api("PUT", "/api/settings", {"folders": {k: [] for k in (
                "music", "photos", "videos", "documents", "playlists")}})
            self.assertEqual(status, 200, text)
            self.driver.refresh()
            self.page.ready()
        address = self.page.find("#phone-address")
        address.clear()
        address.send_keys(phone.address)
        self.page.click("#connect")
        self.page.until(lambda d: d.find_element(By.ID, "phone-status").text.startswith("Connected"),
                        message="no connection: " + self.page.text("#phone-status"))

    def job(self):
        view = self.page.find("#view-jobs")
        return view.get_attribute("data-job"), view.get_attribute("data-state")

    def wait_state(self, *states, other_than=None):
        return self.page.until(lambda d: self.job()[1] in states and self.job()[0] != other_than and self.job(),
                               message="job state %s" % (self.job(),))

    # Read in one script: the figures are redrawn as events come, so element handles go stale.
    def items_done(self):
        return tuple(self.page.js("const f = document.querySelector('#job-figures dd[data-figure=items]');"
                                  "return f ? [Number(f.dataset.done), Number(f.dataset.total)] : [0, 0]"))

    def counts(self, css):
        return self.page.js("return Object.fromEntries([...document.querySelectorAll(arguments[0] + ' dd[data-value]')]"
                            ".map((d) => [d.dataset.count, Number(d.dataset.value)]))", css)

    def texts(self, css):
        return self.page.js("return [...document.querySelectorAll(arguments[0])].filter((e) => e.offsetParent)"
                            ".map((e) => e.textContent)", css)

    def no_element_from(self, name):
        """The name is in the page as text, and nothing in the document was made of it."""
        texts = self.page.js("return [...document.querySelectorAll('body *')].filter((e) => "
                             "[...e.childNodes].some((n) => n.nodeType === 3 && n.data.includes(arguments[0])))"
                             ".length", name)
        self.assertGreater(texts, 0, "%r is not shown" % name)
        self.assertEqual(self.page.js("return [...document.images].map((i) => i.getAttribute('src'))"), ["icon.svg"])
        self.assertEqual(self.page.js("return document.querySelectorAll('[onerror], [onload]').length"), 0)
        self.page.no_alert()


class Push(PageCase):
    """Also run against qsync.exe under Wine."""

    def test_preview_then_sync_the_bar_the_phone_and_the_summary(self):
        files = [self.write("lib/Album/%02d.mp3" % i, 30000 + 1000 * i, seed=i) for i in range(6)]
        last = self.write("lib/zz-last.mp3", 50000, seed=3)
        files.append(last)
        phone, twin = self.service(), self.service(name="twin")
        # Two files are on both phones already: unchanged in the preview, the push and the command line's push.
        for p in (phone, twin):
            self.cli(p, "push", "music", self.arg(files[0]), self.arg(files[1]))
        self.start(phone)
        self.page.choose_folder("#add-folder-music", self.arg(self.pc / "lib"))
        self.page.until(lambda d: self.page.text("#folders-music .item-name") == self.arg(self.pc / "lib"),
                        message="the folder is not listed; notice: " + self.page.text("#notice"))

        self.page.click("#preview-button-music")
        self.page.until(lambda d: self.page.finds('#preview-music dd[data-count="bytes"]'))
        self.assertEqual(self.counts("#preview-music"),
                         {"stored": len(files) - 2, "replaced": 0, "removed": 0, "unchanged": 2,
                          "bytes": sum(f.stat().st_size for f in files[2:])})
        self.assertEqual(phone.phone_files(), sorted(self.phone_path(f) for f in files[:2]))  # nothing sent

        # The last file's answer is held: every other file may arrive, the bar stays short of 100%.
        fault = phone.control("arm hold:cmd=12,path=" + self.phone_path(last))
        self.page.click("#sync-music")
        self.page.until(lambda d: self.job()[1] == "running")
        phone.control("wait %d 1" % fault)
        self.page.until(lambda d: self.items_done() == (len(files) - 3, len(files) - 2),
                        message="items %s" % (self.items_done(),))
        percent = int(self.page.find("#job-bar").get_attribute("data-percent"))
        self.assertTrue(0 < percent < 100, percent)
        phone.control("release %d" % fault)
        self.page.until(lambda d: d.find_element(By.ID, "job-bar").get_attribute("data-percent") == "100")
        for f in files:
            self.assertTrue(self.on_phone(phone, f), f)
        self.wait_state("done")

        # The page's summary is the command line's for the same job on a twin phone.
        done = json_events(self.cli(twin, "--json", "push", "music", self.arg(self.pc / "lib")).stdout)[-1]
        self.assertEqual(self.counts("#job-counts"),
                         {k: done[k] for k in ("stored", "replaced", "removed", "unchanged", "failed", "bytes")})
        self.assertEqual(self.page.text("#job-outcome"), "Finished.")

    @unittest.skipIf(WINE, "Windows names cannot hold < or >")
    def test_hostile_pc_names_are_text_in_the_folder_browser_and_the_refusal(self):
        folder = HOSTILE[:-4]
        self.write("odd/%s/%s" % (folder, HOSTILE), 300)
        self.start(self.service())
        self.page.click("#add-folder-documents")
        where = self.page.until(lambda d: d.find_element(By.ID, "folder-path"))
        where.clear()
        where.send_keys(str(self.pc / "odd"), Keys.ENTER)
        self.page.until(lambda d: folder in self.texts("#folder-list button"))
        self.no_element_from(folder)
        next(b for b in self.page.finds("#folder-list button") if b.text == folder).click()
        self.page.until(lambda d: self.page.find("#folder-path").get_attribute("value") == str(self.pc / "odd" / folder))
        self.page.click("#folder-choose")
        self.page.click("#preview-button-documents")
        # The phone cannot hold the name: the preview refuses it, naming it.
        self.page.until(lambda d: HOSTILE in self.page.text("#preview-documents .warn"))
        self.no_element_from(HOSTILE)


@unittest.skipIf(WINE, "native build only")
class Jobs(PageCase):
    def test_a_reload_shows_the_same_job_then_stop_says_what_finished(self):
        files = [self.write("slow/%02d.mp3" % i, 2000 + i, seed=i) for i in range(40)]
        phone = self.service("--fault", "delay:ms=150,cmd=12")
        self.start(phone)
        self.page.choose_folder("#add-folder-music", str(self.pc / "slow"))
        # The slowed push is held from its 21st file on (20.mp3 to 39.mp3) for as long as the reload
        # takes; what its workers have not reached by the stop is never started.
        holds = [phone.control("arm hold:cmd=12,path=" + self.phone_path(self.pc / "slow" / tens)) for tens in "23"]
        fault = holds[0]
        self.page.click("#sync-music")
        self.page.until(lambda d: self.items_done()[0] >= 3)
        job, _ = self.job()
        before = self.items_done()[0]

        self.driver.refresh()
        self.page.ready()
        self.page.until(lambda d: self.job() == (job, "running") and self.items_done()[0] >= before)
        # The item list came back from the server: its rows name this job's files.
        rows = self.page.until(lambda d: self.texts(".vlist-row .item-name"))
        self.assertTrue(set(rows) <= {str(f) for f in files}, rows)

        phone.control("wait %d 1" % fault)
        self.page.click("#job-stop")
        for hold in holds:
            phone.control("release %d" % hold)
        self.wait_state("stopped")
        outcome = self.page.text("#job-outcome")
        status, text = self.page.api("GET", "/api/jobs/%s/items?from=0&count=100" % job, None)
        stored = {i["pc"] for i in json.loads(text)["items"] if i["action"] == "stored"}
        # What the page counts as finished is on the phone. Files that were in flight at the
        # stop (the held one, and those sent beside it) may be there too without counting.
        on_phone = {str(f) for f in files if self.on_phone(phone, f)}
        self.assertLessEqual(stored, on_phone)
        self.assertTrue(before <= len(stored) < len(files), (before, len(stored)))
        self.assertTrue(outcome.startswith("Stopped. %d item%s finished before the stop" %
                                           (len(stored), "" if len(stored) == 1 else "s")), (outcome, stored))
        self.assertEqual(self.counts("#job-counts")["stored"], len(stored))

        # What the stop left undone is no failure: counted and listed apart, labelled so in the
        # item list, and "Run the rest" sends it.
        status, text = self.page.api("GET", "/api/jobs/%s" % job, None)
        reasons = [f["reason"] for f in json.loads(text)["summary"]["failed_items"]]
        not_started = reasons.count("not started")
        self.assertGreater(not_started, 0, reasons)
        counts = self.counts("#job-counts")
        self.assertEqual((counts["failed"], counts["notStarted"], counts.get("interrupted", 0), counts["stored"]),
                         (0, not_started, len(reasons) - not_started, len(files) - len(reasons)))
        self.assertIn("Not started (stopped)", self.texts("#job-counts dt"))
        self.assertEqual(self.page.text("#job-not-started-title"), "Not started (stopped) (%d)" % not_started)
        self.assertFalse(self.page.finds("#job-failed"))
        self.page.js("const l = document.querySelector('#job-items'); l.scrollTop = l.scrollHeight;")
        actions = self.page.until(lambda d: "Not started" in self.texts(".vlist-row .item-action")
                                  and self.texts(".vlist-row .item-action"))
        self.assertNotIn("Failed", actions)
        self.page.click("#job-not-started-title")  # unfolds the list of what was not started
        self.assertEqual(len(self.texts("#job-not-started li")), not_started)
        self.page.screenshot(OWN.artifacts, "push-stopped-not-started")
        self.page.view("history")
        self.assertIn("%d not started" % not_started, self.page.text("#history li .history-summary"))
        self.page.view("jobs")
        self.assertEqual(self.page.text("#job-retry"), "Run the rest")
        self.page.click("#job-retry")
        self.wait_state("done", other_than=job)
        self.assertEqual(self.counts("#job-counts")["stored"], len(reasons))
        self.assertTrue(all(self.on_phone(phone, f) for f in files))

    def test_a_failing_item_shows_its_reason_and_retry_failed_completes_it(self):
        files = [self.write("f/%d.mp3" % i, 5000 + i, seed=i) for i in range(3)]
        phone = self.service()
        fault = phone.control("arm status0:cmd=12,path=" + self.phone_path(files[1]))
        self.start(phone)
        self.page.choose_folder("#add-folder-music", str(self.pc / "f"))
        self.page.click("#sync-music")
        job, _ = self.wait_state("failed", "done")
        self.assertEqual(self.job()[1], "failed")
        shown = [(li.find_element(By.CSS_SELECTOR, ".item-name").text, li.find_element(By.CSS_SELECTOR, ".item-reason").text)
                 for li in self.page.finds("#job-failed li")]
        status, text = self.page.api("GET", "/api/jobs", None)
        summary = next(j for j in json.loads(text)["history"] if str(j["id"]) == job)["summary"]
        self.assertEqual(shown, [(f["pc"], f["reason"]) for f in summary["failed_items"]])
        self.assertEqual([name for name, _ in shown], [str(files[1])])
        self.assertTrue(shown[0][1])
        self.assertIn(shown[0][1], self.texts(".vlist-row .item-reason"))

        phone.control("disarm %d" % fault)
        self.page.click("#job-retry")
        self.wait_state("done", other_than=job)
        self.assertEqual(self.counts("#job-counts")["stored"], 1)
        self.assertEqual(self.page.text("#job-outcome"), "Finished.")
        self.assertTrue(all(self.on_phone(phone, f) for f in files))
        self.page.view("history")
        self.assertEqual(len(self.page.finds("#history li")), 2)


@unittest.skipIf(WINE, "native build only")
class PhoneFiles(PageCase):
    def test_browse_sort_download_upload_rename_delete_with_hostile_names(self):
        phone = self.service()
        music = phone.root / "sdcard/Music"
        (music / "Sub").mkdir(parents=True)
        entries = {HOSTILE: 300, "b.mp3": 9000, "c.mp3": 50}
        for i, (name, size) in enumerate(entries.items()):
            (music / name).write_bytes(bytes((j + i) % 256 for j in range(size)))
            stamp = 1700000000 + 1000 * i
            os.utime(music / name, (stamp, stamp))
        (music / "Sub/inner.mp3").write_bytes(b"x" * 10)
        self.start(phone)
        self.page.view("phone")
        where = self.page.find("#phone-path")
        where.clear()
        where.send_keys("/sdcard/Music", Keys.ENTER)

        def names():
            return [p.rsplit("/", 1)[1] for p in self.page.js(
                "return [...document.querySelectorAll('#phone-entries tr[data-path]')].map((r) => r.dataset.path)")]
        self.page.until(lambda d: len(names()) == 4)
        # Folders first; then by name, size (both ways) and date.
        for button, order in (("", ["Sub", HOSTILE, "b.mp3", "c.mp3"]),
                              ("#sort-size", ["Sub", "c.mp3", HOSTILE, "b.mp3"]),
                              ("#sort-size", ["Sub", "b.mp3", HOSTILE, "c.mp3"]),
                              ("#sort-modified", ["Sub", HOSTILE, "b.mp3", "c.mp3"]),
                              ("#sort-modified", ["Sub", "c.mp3", "b.mp3", HOSTILE])):
            if button:
                self.page.click(button)
            self.assertEqual(names(), order, button)
        self.no_element_from(HOSTILE)

        # Download: the link gives the phone's bytes.
        link = self.page.find('a[aria-label="Download %s"]' % HOSTILE).get_attribute("href")
        got = self.driver.execute_async_script(
            "fetch(arguments[0]).then((r) => r.arrayBuffer()).then((b) => arguments[1]([...new Uint8Array(b)]))", link)
        self.assertEqual(bytes(got), (music / HOSTILE).read_bytes())

        # Upload by dropping a file, then the same name again: the page asks, and replaces.
        dropped = "<svg onload=alert(2)>.txt"
        for content, answer in (("first", None), ("second, longer", "Replace")):
            self.page.js("""
                const data = new DataTransfer();
                data.items.add(new File([arguments[1]], arguments[0]));
                document.getElementById('phone-drop').dispatchEvent(new DragEvent('drop', {dataTransfer: data, bubbles: true}));
            """, dropped, content)
            if answer:
                self.page.until(lambda d: dropped in self.page.text(".modal .confirm-text"))
                self.page.click(".modal button.danger")
            self.page.until(lambda d: (music / dropped).exists() and (music / dropped).read_text() == content)
        self.page.until(lambda d: dropped in names())
        self.no_element_from(dropped)

        # Rename through the dialog.
        self.page.click('button[aria-label="Rename b.mp3"]')
        box = self.page.until(lambda d: d.find_element(By.CSS_SELECTOR, ".modal input[type=text]"))
        box.clear()
        box.send_keys("renamed.mp3", Keys.ENTER)
        self.page.until(lambda d: "renamed.mp3" in names() and "b.mp3" not in names())
        self.assertEqual((music / "renamed.mp3").stat().st_size, 9000)

        # Delete a folder: the confirmation names it and what is in it; Cancel keeps it.
        for button, kept in (("Cancel", True), ("Delete", False)):
            self.page.click('button[aria-label="Delete Sub"]')
            words = self.page.until(lambda d: self.page.text(".modal .confirm-text"))
            self.assertIn("/sdcard/Music/Sub and everything in it", words)
            self.page.until(lambda d: [b for b in self.page.finds(".modal button") if b.text == button])[0].click()
            self.page.until(lambda d: not self.page.finds(".modal"))
            self.page.until(lambda d: ("Sub" in names()) == kept)
            self.assertEqual((music / "Sub/inner.mp3").exists(), kept)


@unittest.skipIf(WINE, "native build only")
class Looks(PageCase):
    """Every view, light and dark, wide and phone-sized: no serious or critical
    accessibility violation, and a screenshot of each kept in the build folder."""
    height = 1000

    def test_every_view_is_accessible_in_both_schemes_and_both_sizes(self):
        self.assertTrue(OWN.axe and Path(OWN.axe).is_file(), "axe-core not found (--axe %s)" % OWN.axe)
        axe = Path(OWN.axe).read_text()
        shots = Path(OWN.artifacts)
        songs = [self.write("Music/Album %d/%02d - Song %d.mp3" % (i // 4, i, i), 20000 + 500 * i, seed=i)
                 for i in range(12)]
        phone = self.service()
        self.start(phone)
        self.page.choose_folder("#add-folder-music", str(self.pc / "Music"))
        self.page.click("#preview-button-music")
        self.page.until(lambda d: self.page.finds('#preview-music dd[data-count="bytes"]'))
        found = {}

        def look(name):
            for dark in (False, True):
                self.page.set_dark(dark)
                label = "%s-%s" % (name, "dark" if dark else "light")
                self.page.screenshot(shots, label)
                problems = self.page.axe(axe)
                if problems:
                    found[label] = problems
            self.page.set_dark(False)

        look("library")
        self.page.click("#add-folder-photos")
        self.page.until(lambda d: self.page.finds("#folder-list li"))
        look("folder-browser")
        self.page.find("#folder-path").send_keys(Keys.ESCAPE)
        self.page.until(lambda d: not self.page.finds(".modal"))
        # The push is held at its sixth song while the page is looked at, then stopped.
        fault = phone.control("arm hold:cmd=12,path=" + self.phone_path(songs[5]))
        self.page.click("#sync-music")
        phone.control("wait %d 1" % fault)
        self.page.until(lambda d: self.items_done()[0] >= 5)
        look("push-running")
        self.page.click("#job-stop")
        phone.control("release %d" % fault)
        self.wait_state("stopped")
        look("push-stopped")
        self.page.view("phone")
        self.page.until(lambda d: self.page.finds("#phone-entries tr"))
        look("phone-files")
        self.page.view("transfer")
        look("camera-and-backup")
        self.page.view("playlists")
        self.page.until(lambda d: self.page.finds("#songs input[type=checkbox]"))
        self.page.finds("#songs input[type=checkbox]")[0].click()
        look("playlists")
        self.page.view("history")
        look("history")
        self.driver.set_window_size(390, 844)
        for name in ("library", "jobs", "phone"):
            self.page.view(name)
            look("narrow-" + name)
            # Nothing is wider than the window.
            self.assertLessEqual(self.page.js("return document.documentElement.scrollWidth"),
                                 self.page.js("return window.innerWidth"), name)
        self.assertEqual(found, {}, json.dumps(found, indent=1))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + UNITTEST_ARGS, verbosity=2)
