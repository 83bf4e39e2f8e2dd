// The phone files view: browse the phone's folders, sort, download, upload
// (a file chooser, or files dropped from the desktop), rename and delete.

import { get, post, upload } from "./api.js";
import { el, clear, field, bytes, plural } from "./dom.js";
import { confirmDialog, askText } from "./dialogs.js";
import { settings } from "./settings.js";
import { notify } from "./notify.js";
import { resultWords } from "./results.js";

const COLUMNS = [["name", "Name"], ["size", "Size"], ["modified", "Changed"]];

export function initPhone(view) {
  let path = "";
  let entries = [];
  let sortKey = "name";
  let ascending = true;

  const where = el("input", { type: "text", id: "phone-path", autocomplete: "off", spellcheck: false });
  const go = el("button", { type: "button", id: "phone-go", text: "Open" });
  const up = el("button", { type: "button", id: "phone-up", text: "Up one folder" });
  const refresh = el("button", { type: "button", text: "Refresh" });
  const status = el("p", { id: "phone-files-status", class: "muted", role: "status" });
  const head = el("tr");
  const body = el("tbody", { id: "phone-entries" });
  const table = el("table", { class: "entries" }, el("caption", { class: "visually-hidden", text: "Files on the phone" }),
    el("thead", {}, head), body);
  const chooser = el("input", { type: "file", id: "phone-upload-input", multiple: true });
  const drop = el("div", { class: "drop", id: "phone-drop" },
    el("p", { text: "Drop files here to put them in this folder on the phone, or:" }),
    field("Choose files to upload", chooser));

  view.append(el("section", { class: "card", "aria-labelledby": "phone-files-title" },
    el("h2", { id: "phone-files-title", text: "Files on the phone" }),
    el("div", { class: "inline" }, field("Folder on the phone", where), go, up, refresh),
    status, el("div", { class: "table-scroll" }, table), drop));

  go.addEventListener("click", () => open(where.value.trim()));
  where.addEventListener("keydown", (e) => {
    if (e.key === "Enter") {
      e.preventDefault();
      open(where.value.trim());
    }
  });
  up.addEventListener("click", () => open(parentOf(path)));
  refresh.addEventListener("click", () => open(path));
  chooser.addEventListener("change", async () => {
    await uploadAll([...chooser.files]);
    chooser.value = "";
  });
  for (const name of ["dragenter", "dragover"]) {
    drop.addEventListener(name, (e) => {
      e.preventDefault();
      drop.classList.add("over");
    });
  }
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", (e) => {
    e.preventDefault();
    drop.classList.remove("over");
    uploadAll([...e.dataTransfer.files]);
  });

  function parentOf(p) {
    const i = p.replace(/\/+$/, "").lastIndexOf("/");
    return i <= 0 ? "/" : p.slice(0, i);
  }

  async function open(target) {
    const wanted = target || settings.device || "/sdcard";
    status.textContent = "Reading the phone…";
    try {
      const answer = await get("/api/phone/list", { path: wanted });
      if (answer.result !== 0) {
        status.textContent = `${wanted}: ${resultWords(answer.result)}.`;
        return;
      }
      path = answer.path;
      where.value = path;
      entries = answer.entries;
      status.textContent = `${path}: ${plural(entries.filter((e) => e.isDir).length, "folder")}, ` +
        `${plural(entries.filter((e) => !e.isDir).length, "file")}` +
        (answer.truncated ? " (the folder holds more; only these are listed)." : ".");
      render();
    } catch (e) {
      status.textContent = e.message;
    }
  }

  function sorted() {
    const factor = ascending ? 1 : -1;
    return [...entries].sort((a, b) => {
      if (a.isDir !== b.isDir) return a.isDir ? -1 : 1; // folders first, in either order
      const x = a[sortKey];
      const y = b[sortKey];
      const order = sortKey === "name" ? String(x).localeCompare(String(y), undefined, { numeric: true }) : (x ?? 0) - (y ?? 0);
      return order * factor;
    });
  }

  function render() {
    clear(head, COLUMNS.map(([key, label]) => el("th", { scope: "col",
      "aria-sort": key === sortKey ? (ascending ? "ascending" : "descending") : "none" },
      el("button", { type: "button", class: "sort", id: `sort-${key}`,
        text: `${label}${key === sortKey ? (ascending ? " ▲" : " ▼") : ""}`,
        onclick: () => {
          ascending = sortKey === key ? !ascending : true;
          sortKey = key;
          render();
        } }))), el("th", { scope: "col", text: "Actions" }));
    clear(body, sorted().map(row));
    if (!entries.length) body.append(el("tr", {}, el("td", { colspan: "4", class: "muted", text: "This folder is empty." })));
  }

  function row(entry) {
    const name = entry.isDir
      ? el("button", { type: "button", class: "link folder-name", text: `${entry.name}/`, onclick: () => open(entry.path) })
      : el("span", { class: "file-name", text: entry.name });
    const actions = el("td", { class: "row-actions" });
    if (!entry.isDir) {
      actions.append(el("a", { class: "button small", href: `/api/phone/download?${new URLSearchParams({ path: entry.path })}`,
        download: entry.name, text: "Download", "aria-label": `Download ${entry.name}` }));
    }
    actions.append(
      el("button", { type: "button", class: "small", text: "Rename", "aria-label": `Rename ${entry.name}`,
        onclick: () => rename(entry) }),
      el("button", { type: "button", class: "small danger", text: "Delete", "aria-label": `Delete ${entry.name}`,
        onclick: () => remove(entry) }));
    return el("tr", { "data-path": entry.path },
      el("td", {}, name),
      el("td", { class: "num", text: entry.isDir ? "" : bytes(entry.size) }),
      el("td", { text: entry.modified ? new Date(entry.modified).toLocaleString() : "" }),
      actions);
  }

  async function rename(entry) {
    const name = await askText(`Rename ${entry.isDir ? "folder" : "file"}`, "New name", entry.name, "Rename");
    if (!name || name === entry.name) return;
    if (name.includes("/") || name === "." || name === "..") {
      notify("A name cannot contain / or be . or ..", true);
      return;
    }
    await act(() => post("/api/phone/rename", { from: entry.path, to: `${parentOf(entry.path)}/${name}`.replace(/^\/\//, "/") }),
      `Renamed ${entry.name} to ${name}.`);
  }

  async function remove(entry) {
    const what = entry.isDir
      ? `The folder ${entry.path} and everything in it will be deleted from the phone.`
      : `The file ${entry.path} (${bytes(entry.size)}) will be deleted from the phone.`;
    if (!await confirmDialog(`Delete ${entry.name}?`, `${what} This cannot be undone.`, "Delete")) return;
    await act(() => post("/api/phone/delete", { path: entry.path, tree: entry.isDir }), `Deleted ${entry.name}.`);
  }

  async function act(call, done) {
    try {
      // Renames and deletions run as jobs of the queue (so the journal stays
      // true); the answer comes when that job has ended.
      const answer = await call();
      if (answer.result === 0 && (!answer.state || answer.state === "done")) notify(done);
      else notify(answer.error || resultWords(answer.result), true);
    } catch (e) {
      notify(e.message, true);
    }
    await open(path);
  }

  async function uploadAll(files) {
    const folder = path;
    let sent = 0;
    for (const file of files) {
      status.textContent = `Uploading ${file.name}…`;
      try {
        let answer = await upload(folder, file.name, file, false);
        if (answer.result === 25) {
          const replace = await confirmDialog(`Replace ${file.name}?`,
            `The phone already has ${folder}/${file.name}. Replace it with the file from this PC?`, "Replace");
          if (!replace) continue;
          answer = await upload(folder, file.name, file, true);
        }
        if (answer.result === 0) sent += 1;
        else notify(`${file.name}: ${resultWords(answer.result)}`, true);
      } catch (e) {
        notify(`${file.name}: ${e.message}`, true);
      }
    }
    if (sent) notify(`Uploaded ${plural(sent, "file")} to ${folder}.`);
    await open(folder);
  }

  // Opened the first time the view is shown, so a page without a phone
  // does not start with an error.
  let opened = false;
  return {
    shown() {
      if (!opened) {
        opened = true;
        open(settings.device);
      }
    },
  };
}
