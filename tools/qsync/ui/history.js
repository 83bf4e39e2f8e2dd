// The last 50 jobs with what each did; one can be opened in the jobs view.

import { el, clear, when, bytes } from "./dom.js";
import { jobs, on } from "./store.js";
import { showJob, stateWords, notDone } from "./progress.js";

export function summaryLine(job) {
  const s = job.summary;
  if (!s) return stateWords(job.state);
  if (s.error) return `${stateWords(job.state)}: ${s.error}`;
  const parts = [];
  if (s.dry_run) {
    parts.push(`preview: would store ${s.stored ?? 0}, remove ${s.removed ?? 0}; ${s.unchanged ?? 0} unchanged`);
  } else {
    for (const key of ["stored", "replaced", "removed", "unchanged", "files"]) {
      if (s[key]) parts.push(`${s[key]} ${key}`);
    }
    const groups = notDone(s);
    if (groups.failed.length) parts.push(`${groups.failed.length} failed`);
    if (groups.interrupted.length) parts.push(`${groups.interrupted.length} cut short`);
    if (groups.notStarted.length) parts.push(`${groups.notStarted.length} not started`);
  }
  if (s.bytes) parts.push(bytes(s.bytes));
  return `${stateWords(job.state)}${parts.length ? ` · ${parts.join(", ")}` : ""}`;
}

export function initHistory(view) {
  const list = el("ol", { id: "history", class: "history" });
  view.append(el("section", { class: "card", "aria-labelledby": "history-title" },
    el("h2", { id: "history-title", text: "The last 50 jobs" }), list));
  function render() {
    clear(list, jobs.history.map((job) => el("li", { class: `state-${job.state}` },
      el("div", {}, el("strong", { class: "item-name", text: job.title }),
        el("span", { class: "muted", text: ` ${when(job.started)}` })),
      el("p", { class: "history-summary", text: summaryLine(job) }),
      el("button", { type: "button", class: "small", text: "Show", "aria-label": `Show ${job.title}, ${when(job.started)}`,
        onclick: () => {
          showJob(job.id);
          location.hash = "#jobs";
        } }))));
    if (!jobs.history.length) list.append(el("li", { class: "muted", text: "No job has run yet." }));
  }
  on("jobs", render);
  render();
}
