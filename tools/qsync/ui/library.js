// The library view: one card per kind of content with its PC folders,
// Preview (a dry run), Sync now and the mirror-deletions switch.

import { el, clear, bytes, plural } from "./dom.js";
import { chooseFolder } from "./dialogs.js";
import { runJob } from "./progress.js";
import { whenEnded } from "./store.js";
import { notify } from "./notify.js";
import { settings, saveSettings } from "./settings.js";

export const KINDS = [
  ["music", "Music", "Songs go to the phone's music folder."],
  ["photos", "Photos", "Pictures go to the phone's pictures folder."],
  ["videos", "Videos", "Videos go to the phone's video folder."],
  ["documents", "Documents", "Documents go to the phone's documents folder."],
  ["playlists", "Playlist files", "Playlist files (.m3u and similar) go to the phone's playlist folder."],
];

export function initLibrary(view) {
  const grid = el("div", { class: "cards" });
  view.append(grid);
  for (const [kind, name, about] of KINDS) grid.append(card(kind, name, about));
}

function card(kind, name, about) {
  const titleId = `card-${kind}-title`;
  const folders = el("ul", { class: "folders", id: `folders-${kind}`, "aria-label": `${name} folders on this PC` });
  const mirror = el("input", { type: "checkbox", role: "switch", id: `mirror-${kind}`, "aria-describedby": `mirror-${kind}-hint` });
  const maxDelete = el("input", { type: "number", id: `max-delete-${kind}`, min: "0", step: "1", inputmode: "numeric",
    "aria-describedby": `mirror-${kind}-hint` });
  const result = el("div", { class: "preview", id: `preview-${kind}`, "aria-live": "polite" });
  const previewButton = el("button", { type: "button", id: `preview-button-${kind}`, text: "Preview" });
  const syncButton = el("button", { type: "button", class: "primary", id: `sync-${kind}`, text: "Sync now" });

  function renderFolders() {
    const list = settings.folders[kind] || [];
    clear(folders, list.map((path) => el("li", {},
      el("span", { class: "item-name", text: path, title: path }),
      el("button", { type: "button", class: "small", text: "Remove", "aria-label": `Remove folder ${path}`,
        onclick: () => {
          settings.folders[kind] = list.filter((p) => p !== path);
          saveSettings({ folders: settings.folders }).then(renderFolders);
        } }))));
    if (!list.length) folders.append(el("li", { class: "muted", text: "No folder chosen yet." }));
    previewButton.disabled = syncButton.disabled = !list.length;
  }

  function renderOptions() {
    mirror.checked = Boolean(settings.mirror[kind]);
    maxDelete.value = String(settings.maxDelete[kind] ?? 50);
    maxDelete.disabled = !mirror.checked;
  }

  mirror.addEventListener("change", () => {
    settings.mirror[kind] = mirror.checked;
    maxDelete.disabled = !mirror.checked;
    saveSettings({ mirror: settings.mirror });
  });
  maxDelete.addEventListener("change", () => {
    const n = Math.max(0, Math.floor(Number(maxDelete.value) || 0));
    maxDelete.value = String(n);
    settings.maxDelete[kind] = n;
    saveSettings({ maxDelete: settings.maxDelete });
  });

  function request(dryRun) {
    return { command: "push", kind, operands: settings.folders[kind], dryRun,
      delete: Boolean(settings.mirror[kind]), maxDelete: settings.maxDelete[kind] ?? 50 };
  }

  previewButton.addEventListener("click", async () => {
    previewButton.disabled = true;
    clear(result, el("p", { class: "muted", text: "Working out what would change…" }));
    try {
      const id = await runJob(request(true), false);
      const job = await whenEnded(id);
      showPreview(job);
    } catch (e) {
      clear(result, el("p", { class: "warn", text: e.message }));
    } finally {
      previewButton.disabled = false;
    }
  });
  syncButton.addEventListener("click", async () => {
    try {
      await runJob(request(false));
    } catch (e) {
      notify(e.message, true);
    }
  });

  function showPreview(job) {
    const s = job.summary;
    if (!s || s.error || job.state !== "done") {
      clear(result, el("p", { class: "warn", text: (s && s.error) || `The preview ended: ${job.state}.` }));
      return;
    }
    const rows = [["To store", s.stored, "stored"], ["To replace", s.replaced, "replaced"],
      ["To remove", s.removed, "removed"], ["Unchanged", s.unchanged, "unchanged"]];
    clear(result,
      el("dl", { class: "figures" }, rows.map(([k, v, key]) =>
        el("div", {}, el("dt", { text: k }), el("dd", { text: String(v ?? 0), "data-count": key, "data-value": String(v ?? 0) }))),
        el("div", {}, el("dt", { text: "Size to send" }),
          el("dd", { text: bytes(s.bytes), "data-count": "bytes", "data-value": String(s.bytes) }))),
      el("p", { class: "muted", text: s.planned ? `${plural(s.planned, "change")} would be made.` : "Everything is up to date." }));
  }

  document.addEventListener("qsync:settings", () => {
    renderFolders();
    renderOptions();
  });

  return el("section", { class: "card", id: `card-${kind}`, "aria-labelledby": titleId },
    el("h2", { id: titleId, text: name }),
    el("p", { class: "muted", text: about }),
    el("h3", { class: "small-title", text: "Folders on this PC" }),
    folders,
    el("button", { type: "button", id: `add-folder-${kind}`, text: "Add folder…",
      onclick: async () => {
        const list = settings.folders[kind] || [];
        const path = await chooseFolder(`Choose a ${name.toLowerCase()} folder`, list[list.length - 1] || "");
        if (!path || list.includes(path)) return;
        settings.folders[kind] = [...list, path];
        await saveSettings({ folders: settings.folders });
        renderFolders();
      } }),
    el("div", { class: "switch-row" },
      el("label", { for: mirror.id, class: "switch" }, mirror, el("span", { text: "Mirror deletions" })),
      el("span", { class: "max-delete" }, el("label", { for: maxDelete.id, text: "Remove at most" }), maxDelete,
        el("span", { text: "files" }))),
    el("p", { class: "hint", id: `mirror-${kind}-hint`,
      text: "With mirror deletions on, files gone from these folders go from the phone too; a sync that would remove more stops first." }),
    el("div", { class: "buttons" }, previewButton, syncButton),
    result);
}
