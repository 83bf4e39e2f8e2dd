"""What the page's browser tests and benchmark share: `qsync ui` started on a
free port, and a headless Chromium driven through ChromeDriver."""
import json
import os
import re
import select
import subprocess
import time
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

URL = re.compile(rb"http://\S+")


class UiServer:
    """`qsync ui --no-open --listen 127.0.0.1:0`; url is the address it prints, token included."""

    def __init__(self, qsync, state, runner=None, timeout=120, home=None):
        command = ([runner] if runner else []) + [qsync, "ui", "--no-open", "--listen", "127.0.0.1:0"]
        # The folder browser starts in the home folder: a test's own, not the machine's.
        env = dict(os.environ, XDG_STATE_HOME=str(state), **({"HOME": str(home)} if home else {}))
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        seen = b""
        deadline = time.monotonic() + timeout
        while not URL.search(seen):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.proc.stdout], [], [], max(0, left))
            data = os.read(self.proc.stdout.fileno(), 4096) if ready else b""
            if not data:
                self.proc.kill()
                raise RuntimeError("qsync ui printed no address: %r %r" % (seen, self.proc.stderr.read()))
            seen += data
        self.url = URL.search(seen).group(0).decode()
        self.origin = self.url.split("/?", 1)[0]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.proc.stderr.close()


def browser(width=1280, height=900):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=%d,%d" % (width, height), "--no-first-run", "--disable-extensions",
                     "--disable-background-networking", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Page:
    """One browser tab on the page, with the waits the tests use."""

    def __init__(self, driver, timeout=60):
        self.driver = driver
        self.timeout = timeout

    def open(self, url):
        self.driver.get(url)
        self.ready()

    def ready(self):
        self.until(lambda d: d.execute_script("return document.documentElement.dataset.ready === '1'"))

    def until(self, condition, timeout=None, message=""):
        return WebDriverWait(self.driver, timeout or self.timeout, poll_frequency=0.05).until(condition, message)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def api(self, method, path, body=None):
        """A request from inside the page (its cookie and CSRF token): (status, JSON)."""
        return self.driver.execute_async_script("""
            const [method, path, body, done] = arguments;
            (async () => {
              const csrf = (await (await fetch('/api/session')).json()).csrf;
              const r = await fetch(path, {method, headers: {'X-QSync-CSRF': csrf, 'Content-Type': 'application/json'},
                                           body: body === null ? undefined : JSON.stringify(body)});
              done([r.status, await r.text()]);
            })().catch((e) => done([0, String(e)]));""", method, path, body)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def finds(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text(self, css):
        found = self.finds(css)
        return found[0].text if found else ""

    def click(self, css):
        element = self.until(lambda d: (lambda e: e if e and e[0].is_displayed() and e[0].is_enabled() else None)(
            d.find_elements(By.CSS_SELECTOR, css)), message="no clickable " + css)[0]
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
        element.click()

    def view(self, name):
        self.driver.execute_script("location.hash = arguments[0]", "#" + name)
        self.until(lambda d: d.find_element(By.ID, "view-" + name).is_displayed())

    def no_alert(self):
        try:
            text = self.driver.switch_to.alert.text
        except NoAlertPresentException:
            return
        raise AssertionError("the page showed an alert: %r" % text)

    def choose_folder(self, button_css, path):
        """Through the PC folder browser: type the path, go there, choose it."""
        self.click(button_css)
        where = self.until(lambda d: d.find_element(By.ID, "folder-path"))
        self.until(lambda d: d.find_element(By.ID, "folder-status").text not in ("", "Reading…"))
        where.clear()
        where.send_keys(path)
        self.click("#folder-go")
        try:
            self.until(lambda d: d.find_element(By.ID, "folder-path").get_attribute("value") == path
                       and not d.find_element(By.ID, "folder-choose").get_attribute("disabled"))
        except TimeoutException:
            raise AssertionError("the folder browser did not open %s: %s" % (path, self.text("#folder-status")))
        self.click("#folder-choose")
        self.until(lambda d: not d.find_elements(By.ID, "folder-path"))

    def set_dark(self, dark):
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})

    def screenshot(self, folder, name):
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        # From the top of the page, once the frame with the last change is drawn.
        self.driver.execute_script("window.scrollTo(0, 0)")
        self.driver.execute_async_script("requestAnimationFrame(() => requestAnimationFrame(arguments[0]))")
        path = folder / (name + ".png")
        self.driver.save_screenshot(str(path))
        return path

    def axe(self, axe_source):
        """The serious and critical violations axe-core finds in the page as it is now."""
        if not self.js("return typeof window.axe === 'object'"):
            self.js(axe_source)
        result = self.driver.execute_async_script("""
            const done = arguments[0];
            axe.run(document, {resultTypes: ['violations']})
               .then((r) => done(JSON.stringify(r.violations)), (e) => done(JSON.stringify([{id: 'axe-error', impact: 'critical', help: String(e), nodes: []}])));""")
        return [{"id": v["id"], "impact": v["impact"], "help": v["help"],
                 "nodes": [n.get("target") for n in v["nodes"]][:5]}
                for v in json.loads(result) if v["impact"] in ("serious", "critical")]
