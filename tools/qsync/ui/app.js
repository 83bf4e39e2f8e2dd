// The page's start: the session, the settings, the event stream, the phone
// form and the views behind the tabs.

import { session, post } from "./api.js";
import { $ } from "./dom.js";
import { connect, on, jobs } from "./store.js";
import { loadSettings, saveSettings, settings } from "./settings.js";
import { loadResults } from "./results.js";
import { notify } from "./notify.js";
import { initLibrary } from "./library.js";
import { initProgress } from "./progress.js";
import { initPhone } from "./phone.js";
import { initTransfer } from "./transfer.js";
import { initPlaylists } from "./playlists.js";
import { initHistory } from "./history.js";

const VIEWS = ["library", "jobs", "phone", "transfer", "playlists", "history"];
const hooks = {};
let started = false; // the views that read the phone or the PC wait for the settings

function route() {
  const wanted = location.hash.slice(1);
  const name = VIEWS.includes(wanted) ? wanted : "library";
  for (const view of VIEWS) {
    $(`#view-${view}`).hidden = view !== name;
    const tab = $(`#tab-${view}`);
    if (view === name) tab.setAttribute("aria-current", "page");
    else tab.removeAttribute("aria-current");
  }
  $("#view-title").textContent = `qsync: ${$(`#tab-${name}`).firstChild.textContent.trim()}`;
  document.title = `${$("#view-title").textContent}`;
  if (started && hooks[name] && hooks[name].shown) hooks[name].shown();
}

function initPhoneForm() {
  const form = $("#phone-form");
  const address = $("#phone-address");
  const device = $("#phone-device");
  const status = $("#phone-status");
  document.addEventListener("qsync:settings", () => {
    if (document.activeElement !== address) address.value = settings.phone || "";
    if (document.activeElement !== device) device.value = settings.device || "/sdcard";
  });
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const phone = address.value.trim();
    const root = device.value.trim() || "/sdcard";
    status.className = "phone-status";
    status.textContent = "Looking for the phone…";
    try {
      const answer = await post("/api/connect", { phone, device: root });
      if (answer.ok) {
        await saveSettings({ phone, device: root });
        status.classList.add("good");
        status.textContent = `Connected to ${phone}.`;
      } else {
        status.classList.add("bad");
        status.textContent = answer.message;
      }
    } catch (err) {
      status.classList.add("bad");
      status.textContent = err.message;
    }
  });
}

function initQuit() {
  $("#quit").addEventListener("click", async () => {
    const running = jobs.running ? ` The job "${jobs.running.title}" will be stopped.` : "";
    const { confirmDialog } = await import("./dialogs.js");
    if (!await confirmDialog("Quit qsync?", `qsync will end and this page will stop working.${running}`, "Quit")) return;
    try {
      await post("/api/quit");
    } catch {
      // It may end before it answers.
    }
    $("#ended").hidden = false;
    document.body.classList.add("has-ended");
  });
}

// The event stream reconnects by itself; the person is told while it is down.
function initConnectionNotice() {
  let lost = false;
  on("connection", (up) => {
    if (!up && !lost && !document.body.classList.contains("has-ended")) {
      lost = true;
      notify("Lost the connection to qsync. Trying again…", true);
    } else if (up && lost) {
      lost = false;
      notify("Connected to qsync again.");
    }
  });
}

function initBadge() {
  const badge = $("#tab-jobs-badge");
  on("jobs", () => {
    const n = (jobs.running ? 1 : 0) + jobs.queue.length;
    badge.hidden = n === 0;
    badge.textContent = n ? `${n} active` : "";
  });
}

async function start() {
  // The session (and with it the CSRF token), the settings and the result
  // words are asked for at once; their answers are taken only after the
  // views below are drawn, since nothing here yields before the await.
  const loading = Promise.all([session(), loadSettings(), loadResults()]);
  initPhoneForm();
  initQuit();
  initBadge();
  initConnectionNotice();
  // The views are drawn at once from defaults; the settings, when they come,
  // fill them in.
  initLibrary($("#view-library"));
  initProgress($("#view-jobs"));
  hooks.phone = initPhone($("#view-phone"));
  initTransfer($("#view-transfer"));
  hooks.playlists = initPlaylists($("#view-playlists"));
  initHistory($("#view-history"));
  window.addEventListener("hashchange", route);
  route();
  performance.mark("qsync:drawn");
  try {
    await loading;
  } catch (e) {
    notify(`The page could not start: ${e.message}`, true);
    return;
  }
  connect();
  started = true;
  route(); // a view opened before the settings came (phone files) opens again with them
  document.documentElement.dataset.ready = "1";
  performance.mark("qsync:ready"); // for the page's benchmark: the settings are in
}

start();
