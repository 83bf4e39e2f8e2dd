// The jobs view: the job in progress (bar, rate, time left, items, Stop),
// its live item list, the summary of an ended job with its failed items and
// "Retry failed", and the queue of waiting jobs.

import { post, del, startJob } from "./api.js";
import { $, el, clear, bytes, duration, plural, when } from "./dom.js";
import { jobs, on, findJob, isEnded, loadItems } from "./store.js";
import { VirtualList } from "./virtual_list.js";
import { notify } from "./notify.js";

const ACTIONS = {
  stored: "Stored",
  replaced: "Replaced",
  unchanged: "Unchanged",
  removed: "Removed",
  failed: "Failed",
  "would-store": "Would store",
  "would-remove": "Would remove",
  created: "Created",
  updated: "Updated",
  deleted: "Deleted",
  moved: "Moved",
};

const STATES = {
  queued: "Waiting",
  running: "Running",
  done: "Finished",
  failed: "Finished with problems",
  stopped: "Stopped",
  cancelled: "Cancelled",
};

// The failed items listed by name after a job; all of them are in the item list.
const FAILED_SHOWN = 100;

// The reasons that are no fault of the item: the command line's word for the
// items a job never reached (docs/output.md), and the server's for the ones
// under way when the page stopped the job.
const NOT_STARTED = "not started";
const STOPPED = "stopped from the page";

// A job's items that were not done, apart: those that failed, those the
// stop cut short, and those never started (after a stop, or after the
// failure that ended the job). "Retry failed" runs them all again.
export function notDone(summary) {
  const groups = { failed: [], interrupted: [], notStarted: [] };
  for (const f of (summary && summary.failed_items) || []) {
    const group = f.reason === NOT_STARTED ? "notStarted" : f.reason === STOPPED ? "interrupted" : "failed";
    groups[group].push(f);
  }
  return groups;
}

function itemWords(item) {
  if (item.action !== "failed") return [ACTIONS[item.action] || item.action, "ok"];
  if (item.reason === NOT_STARTED) return ["Not started", "idle"];
  if (item.reason === STOPPED) return ["Stopped", "idle"];
  return [ACTIONS.failed, "failed"];
}

let shown = null; // the id of the job this view shows
let list = null;

export function stateWords(state) {
  return STATES[state] || state;
}

function renderItem(row, item) {
  if (!item) {
    row.replaceChildren(el("span", { class: "item-action", text: "…" }));
    return;
  }
  const what = item.pc || item.phone || item.name || "";
  const [words, look] = itemWords(item);
  const action = el("span", { class: `item-action action-${look}`, text: words });
  const name = el("span", { class: "item-name", text: what, title: item.phone && item.pc ? `${item.pc} → ${item.phone}` : what });
  row.replaceChildren(action, name);
  if (item.reason) row.append(el("span", { class: "item-reason", text: item.reason }));
}

export function initProgress(view) {
  const title = el("h3", { id: "job-title", text: "No job yet" });
  const stateLine = el("p", { id: "job-state", class: "muted", role: "status" });
  const fill = el("div", { class: "bar-fill" });
  const bar = el("div", { id: "job-bar", class: "bar", role: "progressbar", "aria-labelledby": "job-title",
    "aria-valuemin": "0", "aria-valuemax": "100", "aria-valuenow": "0" }, fill);
  const figures = el("dl", { id: "job-figures", class: "figures" });
  const stop = el("button", { id: "job-stop", type: "button", class: "danger", text: "Stop", hidden: true,
    onclick: async () => {
      stop.disabled = true;
      try {
        await post(`/api/jobs/${shown}/stop`);
      } catch (e) {
        notify(e.message, true);
      }
    } });
  const listBox = el("div", { id: "job-items", class: "vlist", tabindex: "0", "aria-label": "Items of this job" });
  const summary = el("section", { id: "job-summary", "aria-live": "polite" });
  const itemsNote = el("p", { class: "muted", hidden: true, text: "The items of this job are no longer kept; its summary is above." });
  const queue = el("ol", { id: "job-queue", class: "queue" });
  const queueBox = el("section", { class: "card", "aria-labelledby": "queue-title" },
    el("h3", { id: "queue-title", text: "Waiting to run" }), queue);
  view.append(
    el("section", { class: "card", "aria-labelledby": "job-title" },
      el("div", { class: "card-head" }, title, stop), stateLine, bar, figures, summary,
      el("h4", { text: "Items" }), itemsNote, listBox),
    queueBox);
  list = new VirtualList(listBox, renderItem);

  function barTo(done, total) {
    // Floor, so that 100% is shown only when every byte is on the phone.
    const percent = total > 0 ? Math.min(100, Math.floor((done * 100) / total)) : 0;
    fill.style.width = `${percent}%`;
    bar.setAttribute("aria-valuenow", String(percent));
    bar.setAttribute("aria-valuetext", `${percent}%`);
    bar.dataset.percent = String(percent);
  }

  function renderFigures(job) {
    const p = job.progress;
    const rows = [];
    if (p) {
      const byBytes = p.bytes_total > 0;
      barTo(byBytes ? p.bytes_done : p.items_done, byBytes ? p.bytes_total : p.items_total);
      if (byBytes) rows.push(["Sent", `${bytes(p.bytes_done)} of ${bytes(p.bytes_total)}`, "bytes"]);
      if (job.state === "running") {
        rows.push(["Speed", p.bytes_per_s ? `${bytes(p.bytes_per_s)}/s` : "–", "rate"]);
        rows.push(["Time left", p.eta_s === null ? "–" : duration(p.eta_s), "eta"]);
      }
      let items = `${p.items_done} of ${p.items_total}`;
      const flight = p.items_in_flight ?? job.inFlight ?? job.in_flight;
      if (job.state === "running" && flight) items += `, ${flight} in flight`;
      rows.push(["Items", items, "items", { "data-done": String(p.items_done), "data-total": String(p.items_total) }]);
    } else {
      barTo(0, 0);
    }
    clear(figures, rows.map(([k, v, key, data]) => el("div", {}, el("dt", { text: k }), el("dd", { text: v, "data-figure": key, ...data }))));
  }

  function renderSummary(job) {
    const s = job.summary;
    // A redraw of the same job keeps the lists that were unfolded.
    const unfolded = summary.dataset.job === String(job.id)
      ? new Set([...summary.querySelectorAll("details[open] > summary")].map((e) => e.id)) : new Set();
    summary.dataset.job = String(job.id);
    clear(summary);
    if (!s || !isEnded(job)) return;
    const words = [];
    const counts = [];
    const groups = notDone(s);
    const notStarted = groups.notStarted.length;
    const stopped = job.state === "stopped";
    if (s.dry_run) {
      words.push(`Preview: nothing was sent. ${plural(s.planned ?? 0, "change")} would be made.`);
    } else if (stopped) {
      const finished = (s.stored ?? 0) + (s.replaced ?? 0) + (s.removed ?? 0) + (s.files ?? 0);
      words.push(`Stopped. ${plural(finished, "item")} finished before the stop` +
        (notStarted ? `; ${plural(notStarted, "item was", "items were")} not started.` : ".") +
        (notStarted || groups.interrupted.length ? " \u201cRun the rest\u201d sends what is left." : ""));
    } else if (s.error) {
      words.push(s.error);
    } else if (job.state === "done") {
      words.push("Finished.");
    } else {
      words.push(`${stateWords(job.state)}.`);
    }
    for (const [key, label] of [["stored", s.dry_run ? "To store" : "Stored"], ["replaced", s.dry_run ? "To replace" : "Replaced"],
      ["removed", s.dry_run ? "To remove" : "Removed"], ["unchanged", "Unchanged"], ["files", "Files"]]) {
      if (typeof s[key] === "number") counts.push([label, String(s[key]), key, s[key]]);
    }
    // "failed" counts every item not done; shown, it counts only the real failures.
    if (typeof s.failed === "number") counts.push(["Failed", String(groups.failed.length), "failed", groups.failed.length]);
    if (groups.interrupted.length) {
      counts.push(["Cut short by the stop", String(groups.interrupted.length), "interrupted", groups.interrupted.length]);
    }
    if (notStarted) {
      counts.push([stopped ? "Not started (stopped)" : "Not started", String(notStarted), "notStarted", notStarted]);
    }
    if (typeof s.bytes === "number") counts.push([s.dry_run ? "Size to send" : "Size", bytes(s.bytes), "bytes", s.bytes]);
    if (job.started && job.ended) counts.push(["Took", duration(job.ended - job.started), "time"]);
    summary.append(el("p", { id: "job-outcome", class: job.state === "done" ? "" : "warn", text: words.join(" ") }),
      el("dl", { class: "figures", id: "job-counts" },
        counts.map(([k, v, key, value]) => el("div", {}, el("dt", { text: k }),
          el("dd", { text: v, "data-count": key, "data-value": value === undefined ? undefined : String(value) })))));
    if (s.dry_run) return;
    const lists = [
      ["failed", "Failed", groups.failed],
      ["interrupted", "Cut short by the stop", groups.interrupted],
      ["not-started", stopped ? "Not started (stopped)" : "Not started", groups.notStarted],
    ];
    // The failures are listed open; what a stop or a failure left undone
    // folds away, as it may be most of a long job.
    for (const [id, heading, items] of lists) {
      if (!items.length) continue;
      const title = `${heading} (${items.length})`;
      const list = [el("ul", { id: `job-${id}`, class: id === "failed" ? "failed" : "failed idle", "aria-label": title },
        items.slice(0, FAILED_SHOWN).map((f) =>
          el("li", {}, el("span", { class: "item-name", text: f.pc || f.phone }),
            el("span", { class: "item-reason", text: f.reason })))),
      items.length > FAILED_SHOWN
        ? el("p", { class: "muted", text: `and ${items.length - FAILED_SHOWN} more, in the list of items below.` })
        : ""];
      if (id === "failed") summary.append(el("h4", { id: `job-${id}-title`, text: title }), ...list);
      else summary.append(el("details", { class: "undone", open: unfolded.has(`job-${id}-title`) }, el("summary", { id: `job-${id}-title`, text: title }), ...list));
    }
    const rest = groups.interrupted.length + notStarted;
    if (groups.failed.length || rest) {
      const label = !rest ? "Retry failed" : groups.failed.length ? "Retry failed and run the rest" : "Run the rest";
      summary.append(el("button", { type: "button", id: "job-retry", text: label, onclick: retryFailed }));
    }
  }

  async function retryFailed() {
    try {
      const { id } = await post(`/api/jobs/${shown}/retry-failed`);
      show(id);
    } catch (e) {
      notify(e.message, true);
    }
  }

  function renderJob() {
    const job = shown === null ? null : findJob(shown);
    if (!job) {
      title.textContent = "No job yet";
      stateLine.textContent = "Start one from the Library, Phone files or Backup views.";
      stop.hidden = true;
      clear(figures);
      clear(summary);
      barTo(0, 0);
      return;
    }
    title.textContent = job.title;
    view.dataset.job = String(job.id);
    view.dataset.state = job.state;
    stateLine.textContent = `${stateWords(job.state)}${job.started ? ` · started ${when(job.started)}` : ""}`;
    stop.hidden = job.state !== "running";
    if (job.state !== "running") stop.disabled = false;
    renderFigures(job);
    renderSummary(job);
  }

  function renderQueue() {
    clear(queue, jobs.queue.map((job, i) => el("li", {},
      el("span", { class: "item-name", text: job.title }),
      el("span", { class: "row-actions" },
        el("button", { type: "button", text: "Move up", disabled: i === 0, "aria-label": `Move ${job.title} up`,
          onclick: () => post(`/api/jobs/${job.id}/move`, { to: i - 1 }).catch((e) => notify(e.message, true)) }),
        el("button", { type: "button", text: "Cancel", "aria-label": `Cancel ${job.title}`,
          onclick: () => del(`/api/jobs/${job.id}`).catch((e) => notify(e.message, true)) })))));
    if (!jobs.queue.length) queue.append(el("li", { class: "muted", text: "Nothing is waiting." }));
  }

  function show(id) {
    if (id === shown) return;
    shown = id;
    list.reset();
    renderJob();
    if (id === null) return;
    itemsNote.hidden = true;
    loadItems(id, 0, (items, from) => {
      if (shown !== id) return;
      items.forEach((item, i) => list.set(from + i, item));
    }).catch((e) => {
      // The server keeps the items of the latest jobs only; the summary stays.
      if (e.status === 404 && shown === id) itemsNote.hidden = false;
      else if (e.status !== 404) notify(e.message, true);
    });
  }
  showJob = show;

  let lastFigures = 0;
  on("event", (message) => {
    if (message.job !== shown) return;
    const event = message.event;
    if (event.event === "item") list.set(message.seq ?? list.length, event);
    else if (event.event === "progress") {
      // At most a few redraws of the figures a second; the list draws per frame.
      const now = performance.now();
      if (now - lastFigures > 100) {
        lastFigures = now;
        renderFigures(findJob(shown));
      } else scheduleFigures();
    }
  });
  let figuresTimer = null;
  function scheduleFigures() {
    if (figuresTimer) return;
    figuresTimer = setTimeout(() => {
      figuresTimer = null;
      lastFigures = performance.now();
      const job = findJob(shown);
      if (job) renderFigures(job);
    }, 100);
  }

  // A job that starts is shown; otherwise the view stays on the job it shows
  // (one chosen from the history, say), or on the newest when it shows none.
  let lastRunning = null;
  on("jobs", () => {
    const running = jobs.running;
    if (running && running.id !== lastRunning) show(running.id);
    else if (shown === null && jobs.history.length) show(jobs.history[0].id);
    lastRunning = running ? running.id : null;
    renderJob();
    renderQueue();
  });
  renderJob();
  renderQueue();
}

// Shows a job (from the history, or one just started) in this view.
export let showJob = () => {};

// Starts a job and shows it here; resolves with its id.
export async function runJob(request, goThere = true) {
  const { id } = await startJob(request);
  if (goThere) {
    showJob(id);
    location.hash = "#jobs";
  }
  return id;
}
