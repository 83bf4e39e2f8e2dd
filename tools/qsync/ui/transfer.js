// Fetching the camera's pictures and the downloads, and backup and restore
// of a category.

import { el, field, uid } from "./dom.js";
import { chooseFolder } from "./dialogs.js";
import { runJob } from "./progress.js";
import { settings, saveSettings } from "./settings.js";
import { notify } from "./notify.js";

const CATEGORIES = [["music", "Music"], ["media", "Photos and videos"], ["documents", "Documents"]];
const CONFLICTS = [
  ["keep", "Keep the phone's copy", "A file that is already on the phone stays as it is; the backup's copy is skipped."],
  ["both", "Keep both", "The backup's copy is stored beside the phone's under a numbered name, such as notes(2).txt."],
  ["replace", "Replace the phone's copy", "The phone's copy is overwritten with the backup's copy."],
];

// A folder shown as text with a button that opens the folder browser.
function folderPicker(id, labelText, initial, onChosen) {
  const shown = el("output", { id, class: "chosen-folder", text: initial || "No folder chosen" });
  const button = el("button", { type: "button", id: `${id}-choose`, text: "Choose folder…",
    "aria-label": `${labelText}: choose folder`,
    onclick: async () => {
      const path = await chooseFolder(labelText, shown.dataset.path || "");
      if (!path) return;
      shown.dataset.path = path;
      shown.textContent = path;
      onChosen(path);
    } });
  if (initial) shown.dataset.path = initial;
  const labelId = uid("l");
  return {
    node: el("div", { class: "field" }, el("span", { class: "label", id: labelId, text: labelText }),
      el("div", { class: "inline" }, shown, button)),
    set(path) {
      shown.dataset.path = path || "";
      shown.textContent = path || "No folder chosen";
    },
    get: () => shown.dataset.path || "",
  };
}

export function initTransfer(view) {
  const fetchCards = [["camera", "Camera pictures"], ["downloads", "Downloads"]].map(([kind, name]) => {
    const picker = folderPicker(`fetch-${kind}`, `Fetch ${name.toLowerCase()} into`, settings.fetchTo[kind],
      (path) => saveSettings({ fetchTo: { ...settings.fetchTo, [kind]: path } }));
    document.addEventListener("qsync:settings", () => picker.set(settings.fetchTo[kind]));
    const go = el("button", { type: "button", class: "primary", id: `fetch-${kind}-go`, text: `Fetch ${name.toLowerCase()}`,
      onclick: () => {
        if (!picker.get()) return notify("Choose the folder on this PC first.", true);
        return runJob({ command: "fetch", kind, folder: picker.get(), operands: [] }).catch((e) => notify(e.message, true));
      } });
    return el("div", { class: "sub" }, el("h3", { text: name }), picker.node, go);
  });

  const backupCategory = el("select", { id: "backup-category" },
    CATEGORIES.map(([value, label]) => el("option", { value, text: label })));
  const backupTo = folderPicker("backup-to", "Back up into", "", () => {});
  const restoreCategory = el("select", { id: "restore-category" },
    CATEGORIES.map(([value, label]) => el("option", { value, text: label })));
  const restoreFrom = folderPicker("restore-from", "Restore from", "", () => {});
  const conflictName = uid("conflict");
  const conflicts = el("fieldset", { class: "choices" }, el("legend", { text: "When a file is already on the phone" }),
    CONFLICTS.map(([value, label, words], i) => {
      const input = el("input", { type: "radio", name: conflictName, value, id: `conflict-${value}`, checked: i === 0 });
      const hint = el("span", { class: "hint", id: `conflict-${value}-hint`, text: words });
      input.setAttribute("aria-describedby", hint.id);
      return el("div", { class: "choice" }, input, el("label", { for: input.id }, el("strong", { text: label }), hint));
    }));

  view.append(
    el("section", { class: "card", "aria-labelledby": "fetch-title" },
      el("h2", { id: "fetch-title", text: "Copy from the phone" }),
      el("p", { class: "muted", text: "Copies the phone's camera pictures or downloads into a folder on this PC." }),
      fetchCards),
    el("section", { class: "card", "aria-labelledby": "backup-title" },
      el("h2", { id: "backup-title", text: "Back up" }),
      field("What to back up", backupCategory), backupTo.node,
      el("button", { type: "button", class: "primary", id: "backup-go", text: "Back up now",
        onclick: () => {
          if (!backupTo.get()) return notify("Choose the folder to back up into first.", true);
          return runJob({ command: "backup", kind: backupCategory.value, folder: backupTo.get(), operands: [] })
            .catch((e) => notify(e.message, true));
        } })),
    el("section", { class: "card", "aria-labelledby": "restore-title" },
      el("h2", { id: "restore-title", text: "Restore" }),
      field("What to restore", restoreCategory), restoreFrom.node, conflicts,
      el("button", { type: "button", class: "primary", id: "restore-go", text: "Restore now",
        onclick: () => {
          if (!restoreFrom.get()) return notify("Choose the backup folder first.", true);
          const onConflict = conflicts.querySelector("input:checked").value;
          return runJob({ command: "restore", kind: restoreCategory.value, folder: restoreFrom.get(), operands: [], onConflict })
            .catch((e) => notify(e.message, true));
        } })));
}
