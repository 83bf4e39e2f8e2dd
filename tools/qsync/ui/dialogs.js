// Modal dialogs: the PC folder browser, a confirmation that names what goes,
// and a one-line question (a new name). Each resolves with the answer, or
// null when the person cancels (Escape included).

import { get } from "./api.js";
import { $, el, clear, field, plural } from "./dom.js";

// Cancel is a plain button that closes the dialog, so that Enter in a field
// submits with the dialog's own button and never cancels.
function modal(titleText, body, button) {
  const dialog = el("dialog", { class: "modal", "aria-labelledby": "modal-title" });
  const cancel = el("button", { type: "button", text: "Cancel", onclick: () => dialog.close() });
  const form = el("form", { method: "dialog" },
    el("h2", { id: "modal-title", text: titleText }), body, el("div", { class: "modal-buttons" }, cancel, button));
  dialog.append(form);
  document.body.append(dialog);
  dialog.addEventListener("close", () => dialog.remove());
  dialog.showModal();
  return dialog;
}

export function confirmDialog(titleText, message, yesText, danger = true) {
  return new Promise((resolve) => {
    let answer = false;
    const yes = el("button", { type: "submit", class: danger ? "danger" : "primary", text: yesText,
      onclick: () => { answer = true; } });
    const dialog = modal(titleText, el("p", { class: "confirm-text", text: message }),
      yes);
    dialog.addEventListener("close", () => resolve(answer));
  });
}

export function askText(titleText, labelText, initial, okText) {
  return new Promise((resolve) => {
    let answer = null;
    const input = el("input", { type: "text", value: initial, required: true, autocomplete: "off" });
    const ok = el("button", { type: "submit", class: "primary", text: okText,
      onclick: (e) => {
        if (!input.value.trim()) {
          e.preventDefault();
          input.focus();
          return;
        }
        answer = input.value.trim();
      } });
    const dialog = modal(titleText, field(labelText, input),
      ok);
    input.select();
    dialog.addEventListener("close", () => resolve(answer));
  });
}

// Browses the PC's folders (names of folders only, and how many files each
// holds) and resolves with the chosen folder's path.
export function chooseFolder(titleText, start = "") {
  return new Promise((resolve) => {
    let answer = null;
    let current = null;
    const where = el("input", { type: "text", id: "folder-path", autocomplete: "off", spellcheck: false });
    const go = el("button", { type: "button", id: "folder-go", text: "Go", onclick: () => open(where.value.trim()) });
    const up = el("button", { type: "button", id: "folder-up", text: "Up one folder", disabled: true });
    const status = el("p", { id: "folder-status", class: "muted", role: "status" });
    const folders = el("ul", { id: "folder-list", class: "folder-list", "aria-label": "Folders" });
    const choose = el("button", { type: "submit", id: "folder-choose", class: "primary", text: "Choose this folder",
      disabled: true, onclick: () => { answer = current; } });
    where.addEventListener("keydown", (e) => {
      if (e.key === "Enter") {
        e.preventDefault();
        go.click();
      }
    });
    const dialog = modal(titleText,
      el("div", {}, el("div", { class: "inline" }, field("Folder", where), go, up), status, folders),
      choose);
    dialog.classList.add("wide");
    dialog.addEventListener("close", () => resolve(answer));

    async function open(path) {
      status.textContent = "Reading…";
      try {
        const answerList = await get("/api/pc/list", { path });
        current = answerList.path;
        where.value = answerList.path;
        choose.disabled = answerList.path === "";
        up.disabled = answerList.parent === null || answerList.parent === undefined;
        up.onclick = () => open(answerList.parent);
        status.textContent = answerList.path === ""
          ? "Choose a drive."
          : `${plural(answerList.folders.length, "folder")} and ${plural(answerList.files, "file")} here.`;
        clear(folders, answerList.folders.map((name) => el("li", {},
          el("button", { type: "button", class: "link", text: name,
            onclick: () => open(joinPath(answerList.path, name)) }))));
        (folders.querySelector("button") || where).focus();
      } catch (e) {
        status.textContent = e.message;
      }
    }
    open(start);
  });
}

export function joinPath(folder, name) {
  if (folder === "") return name; // a drive ("C:\") on Windows
  const sep = folder.includes("\\") && !folder.includes("/") ? "\\" : "/";
  return folder.endsWith(sep) ? folder + name : folder + sep + name;
}
