// The jobs as the server knows them, kept current by its event stream.
// Views subscribe; the server is the only source of truth, so a reload or a
// second tab rebuilds the same picture from the first "state" message.

import { get } from "./api.js";

const listeners = { jobs: new Set(), event: new Set(), connection: new Set() };
export const jobs = { running: null, queue: [], history: [] };
const waiters = new Map(); // job id -> [resolve] for jobs a view waits on

export function on(kind, fn) {
  listeners[kind].add(fn);
  return () => listeners[kind].delete(fn);
}

function emit(kind, ...args) {
  for (const fn of listeners[kind]) fn(...args);
}

export function findJob(id) {
  if (jobs.running && jobs.running.id === id) return jobs.running;
  return jobs.queue.find((j) => j.id === id) || jobs.history.find((j) => j.id === id) || null;
}

const ENDED = new Set(["done", "failed", "stopped", "cancelled"]);
export const isEnded = (job) => ENDED.has(job.state);

// Resolves with the job once it has ended (at once when it already has).
export function whenEnded(id) {
  const known = findJob(id);
  if (known && isEnded(known)) return Promise.resolve(known);
  return new Promise((resolve) => {
    if (!waiters.has(id)) waiters.set(id, []);
    waiters.get(id).push(resolve);
  });
}

function settle(job) {
  if (!isEnded(job) || !waiters.has(job.id)) return;
  for (const resolve of waiters.get(job.id)) resolve(job);
  waiters.delete(job.id);
}

function applyJob(job) {
  jobs.queue = jobs.queue.filter((j) => j.id !== job.id);
  jobs.history = jobs.history.filter((j) => j.id !== job.id);
  if (jobs.running && jobs.running.id === job.id) jobs.running = null;
  if (job.state === "running") jobs.running = job;
  else if (job.state === "queued") jobs.queue.push(job);
  else jobs.history = [job, ...jobs.history].slice(0, 50);
  settle(job);
}

function applyEvent(message) {
  const job = jobs.running && jobs.running.id === message.job ? jobs.running : null;
  const event = message.event;
  if (job && event) {
    if (event.event === "progress") job.progress = event;
    else if (event.event === "percent") job.percent = event.percent;
    else if (event.event === "item") {
      job.counts = job.counts || { items: 0, failed: 0 };
      job.counts.items = Math.max(job.counts.items, (message.seq ?? job.counts.items) + 1);
      if (event.action === "failed") job.counts.failed += 1;
    } else if (event.event === "done") job.summary = event;
  }
  emit("event", message);
}

let source = null;
export function connect() {
  if (source) source.close();
  source = new EventSource("/api/events");
  source.addEventListener("state", (e) => {
    const s = JSON.parse(e.data);
    jobs.running = s.running;
    jobs.queue = s.queue || [];
    jobs.history = s.history || [];
    for (const job of jobs.history) settle(job);
    emit("connection", true);
    emit("jobs", "state");
  });
  source.addEventListener("job", (e) => {
    applyJob(JSON.parse(e.data));
    emit("jobs", "job");
  });
  source.addEventListener("event", (e) => applyEvent(JSON.parse(e.data)));
  // EventSource reconnects by itself; the next "state" brings the page up to date.
  source.addEventListener("error", () => emit("connection", false));
}

// The item events of a job, in order, in pages.
export async function loadItems(id, from, onPage) {
  let next = from;
  for (;;) {
    const page = await get(`/api/jobs/${id}/items`, { from: next, count: 2000 });
    if (!page.items.length) return page.total;
    onPage(page.items, next);
    next += page.items.length;
    if (next >= page.total) return page.total;
  }
}
