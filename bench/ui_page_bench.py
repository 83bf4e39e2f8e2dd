#!/usr/bin/python3
"""How the page of `qsync ui` holds up in headless Chromium: the first render
after load (in a browser just started and in a new tab of a running one),
the frame times while a push of many tiny files streams its item
events to the page, and the page's memory afterwards. Not a test: it prints
figures (and the goals beside them) and exits 0.

usage: ui_page_bench.py --qsync BIN --phone-service BIN [--items 20000] [--json]

The figures come from the Performance API (paint entries, a mark the page
sets when it is ready, a requestAnimationFrame loop, long tasks) and from
Chromium's own metrics (Performance.getMetrics) after a garbage collection.
"""
import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

_own = argparse.ArgumentParser(add_help=False)
_own.add_argument("--items", type=int, default=20000)
_own.add_argument("--json", action="store_true")
OWN, _rest = _own.parse_known_args()
sys.argv[1:] = _rest
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools/qsync/tests"))

from qsync_test import ARGS, PhoneService  # noqa: E402
from ui_support import Page, UiServer, browser  # noqa: E402

FRAMES = """
window.__frames = []; window.__long = [];
new PerformanceObserver((l) => { for (const e of l.getEntries()) window.__long.push([e.startTime, e.duration]); })
  .observe({type: 'longtask', buffered: false});
let last = performance.now();
(function tick(now) { window.__frames.push([now, now - last]); last = now; requestAnimationFrame(tick); })(last);
"""


def frame_figures(page, start, end):
    frames = [d for t, d in page.js("return window.__frames") if start <= t <= end]
    longs = [d for t, d in page.js("return window.__long") if start <= t <= end]
    frames.sort()
    return {"frames": len(frames), "max_ms": round(frames[-1], 1) if frames else None,
            "p99_ms": round(frames[int(len(frames) * 0.99) - 1], 1) if frames else None,
            "over_50ms": sum(1 for d in frames if d > 50), "long_tasks": len(longs),
            "longest_task_ms": round(max(longs), 1) if longs else 0}


def render_figures(page):
    paint = {e["name"]: e["startTime"] for e in page.js(
        "return performance.getEntriesByType('paint').map((e) => e.toJSON())")}
    return {"first_contentful_paint_ms": round(paint.get("first-contentful-paint", -1), 1),
            "drawn_ms": round(page.js("return performance.getEntriesByName('qsync:drawn')[0].startTime"), 1),
            "ready_ms": round(page.js("return performance.getEntriesByName('qsync:ready')[0].startTime"), 1)}


def memory(driver):
    driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
    driver.execute_cdp_cmd("Performance.enable", {})
    metrics = {m["name"]: m["value"] for m in driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
    return {"js_heap_mb": round(metrics["JSHeapUsedSize"] / 2 ** 20, 1),
            "js_heap_total_mb": round(metrics["JSHeapTotalSize"] / 2 ** 20, 1), "dom_nodes": int(metrics["Nodes"])}


def main():
    with tempfile.TemporaryDirectory(prefix="qsync-ui-bench-") as tmp:
        tmp = Path(tmp)
        folder = tmp / "pc/many"
        for i in range(OWN.items):
            path = folder / ("%03d" % (i % 100)) / ("%05d.mp3" % i)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"x" * (10 + i % 7))
        phone = PhoneService(tmp / "phone")
        ui = UiServer(ARGS.qsync, tmp / "state")
        driver = browser(1024, 800)
        page = Page(driver, timeout=900)
        figures = {}
        try:
            # The first load in a browser just started (as when qsync ui
            # starts one), then the page opened in a new tab of the running
            # browser, as a person opens the printed address again.
            page.open(ui.url)
            figures["first_render"] = render_figures(page)
            first_tab = driver.current_window_handle
            driver.switch_to.new_window("tab")
            driver.get(ui.url.split("?")[0])
            page.ready()
            figures["first_render_new_tab"] = render_figures(page)
            driver.close()
            driver.switch_to.window(first_tab)
            status, text = page.api("PUT", "/api/settings", {"phone": phone.address, "device": "/sdcard"})
            assert status == 200, text
            page.view("jobs")
            page.js(FRAMES)
            status, text = page.api("POST", "/api/jobs", {"command": "push", "kind": "music", "operands": [str(folder)]})
            assert status == 200, text
            job = json.loads(text)["id"]
            page.until(lambda d: page.js("return document.querySelector('#view-jobs').dataset.job") == str(job))
            first = page.until(lambda d: page.js(
                "const f = document.querySelector('#job-figures dd[data-figure=items]');"
                "return f && Number(f.dataset.done) > 0 ? performance.now() : null"))
            page.until(lambda d: page.js("return document.querySelector('#view-jobs').dataset.state") != "running")
            end = page.js("return performance.now()")
            items = int(page.find('#job-figures dd[data-figure="items"]').get_attribute("data-done"))
            figures["live_items"] = dict(frame_figures(page, first, end), items=items,
                                         seconds=round((end - first) / 1000, 1),
                                         items_per_s=round(items / max((end - first) / 1000, 1e-3)))
            # A reload of the same job fetches every item at once: the burst the list must absorb.
            driver.refresh()
            page.ready()
            page.js(FRAMES)
            start = page.js("return performance.now()")
            page.until(lambda d: page.js("return document.querySelector('#view-jobs').dataset.job") == str(job))
            page.until(lambda d: page.js(
                "const rows = [...document.querySelectorAll('.vlist-row:not([hidden]) .item-name')];"
                "return rows.some((r) => r.textContent.endsWith(arguments[0]))", "%05d.mp3" % (OWN.items - 1)) or None)
            page.driver.execute_async_script("setTimeout(arguments[0], 500)")
            end = page.js("return performance.now()")
            figures["reload_with_items"] = dict(frame_figures(page, start, end), seconds=round((end - start) / 1000, 2))
            # Scrolling through the whole list, a screen at a time.
            page.js(FRAMES)
            start = page.js("return performance.now()")
            driver.execute_async_script("""
                const box = document.getElementById('job-items'), done = arguments[0];
                box.scrollTop = 0;
                (function step() { box.scrollTop += box.clientHeight * 3;
                  if (box.scrollTop + box.clientHeight < box.scrollHeight) requestAnimationFrame(step); else done(); })();""")
            end = page.js("return performance.now()")
            figures["scroll_through"] = dict(frame_figures(page, start, end), seconds=round((end - start) / 1000, 2))
            figures["memory_after"] = memory(driver)
        finally:
            driver.quit()
            ui.stop()
            phone.stop()
    if OWN.json:
        print(json.dumps(figures, indent=1))
        return
    for name, words in (("first_render", "first render in a browser just started"),
                        ("first_render_new_tab", "first render in a new tab")):
        fr = figures[name]
        print("%s: first contentful paint %.0f ms, views drawn %.0f ms, settings in %.0f ms "
              "(goal < 200 ms)" % (words, fr["first_contentful_paint_ms"], fr["drawn_ms"], fr["ready_ms"]))
    for name in ("live_items", "reload_with_items", "scroll_through"):
        f = figures[name]
        extra = " (%d items in %.1f s, %d/s)" % (f["items"], f["seconds"], f["items_per_s"]) if "items" in f else \
            " (%.1f s)" % f["seconds"]
        print("%s%s: %d frames, longest %s ms, p99 %s ms, %d over 50 ms, %d long tasks (longest %s ms) (goal: none over 50 ms)" %
              (name.replace("_", " "), extra, f["frames"], f["max_ms"], f["p99_ms"], f["over_50ms"], f["long_tasks"],
               f["longest_task_ms"]))
    m = figures["memory_after"]
    print("memory after: JS heap %.1f MB used (%.1f MB reserved), %d DOM nodes (goal < 100 MB)" %
          (m["js_heap_mb"], m["js_heap_total_mb"], m["dom_nodes"]))


if __name__ == "__main__":
    main()
