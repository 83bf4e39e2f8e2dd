// Playlists on the phone that qsync made: create one from songs chosen in
// the music folders, rename, replace the songs, delete.

import { get } from "./api.js";
import { el, clear, field, plural, baseName } from "./dom.js";
import { confirmDialog, askText } from "./dialogs.js";
import { runJob } from "./progress.js";
import { settings } from "./settings.js";
import { whenEnded, on } from "./store.js";
import { notify } from "./notify.js";

const SHOWN_SONGS = 300; // rows of the song chooser; the filter narrows the rest

export function initPlaylists(view) {
  const list = el("ul", { id: "playlists", class: "playlists" });
  const editorTitle = el("h2", { id: "playlist-editor-title", text: "New playlist" });
  const nameInput = el("input", { type: "text", id: "playlist-name", autocomplete: "off" });
  const filter = el("input", { type: "search", id: "song-filter", autocomplete: "off" });
  const songsBox = el("ul", { id: "songs", class: "songs", "aria-label": "Songs in the music folders" });
  const count = el("p", { id: "songs-chosen", class: "muted", role: "status" });
  const save = el("button", { type: "button", class: "primary", id: "playlist-save", text: "Create playlist" });
  const cancelEdit = el("button", { type: "button", id: "playlist-cancel", text: "Cancel", hidden: true });
  let songs = [];
  let chosen = new Set();
  let editing = null; // the playlist whose songs are being replaced

  view.append(
    el("section", { class: "card", "aria-labelledby": "playlists-title" },
      el("h2", { id: "playlists-title", text: "Playlists made by qsync" }), list),
    el("section", { class: "card", "aria-labelledby": "playlist-editor-title" },
      editorTitle, field("Name", nameInput),
      field("Find songs", filter, "in the music folders chosen in the Library"),
      songsBox, count, el("div", { class: "buttons" }, save, cancelEdit)));

  async function loadSongs() {
    const all = [];
    for (const folder of settings.folders.music || []) {
      try {
        const answer = await get("/api/pc/songs", { folder });
        all.push(...answer.files);
        if (answer.truncated) notify(`${folder} holds more songs than can be listed; the first ones are shown.`, true);
      } catch (e) {
        notify(`${folder}: ${e.message}`, true);
      }
    }
    songs = [...new Set(all)].sort();
    renderSongs();
  }

  function renderSongs() {
    const needle = filter.value.trim().toLowerCase();
    const matching = needle ? songs.filter((s) => s.toLowerCase().includes(needle)) : songs;
    clear(songsBox, matching.slice(0, SHOWN_SONGS).map((path, i) => {
      const box = el("input", { type: "checkbox", id: `song-${i}`, checked: chosen.has(path),
        onchange: () => {
          if (box.checked) chosen.add(path);
          else chosen.delete(path);
          renderCount();
        } });
      return el("li", {}, box, el("label", { for: box.id, title: path }, el("span", { text: baseName(path) }),
        el("span", { class: "muted small", text: path })));
    }));
    if (!songs.length) songsBox.append(el("li", { class: "muted", text: "No songs: choose a music folder in the Library first." }));
    else if (matching.length > SHOWN_SONGS) {
      songsBox.append(el("li", { class: "muted", text: `${matching.length - SHOWN_SONGS} more; type to narrow the list.` }));
    }
    renderCount();
  }

  function renderCount() {
    count.textContent = `${plural(chosen.size, "song")} chosen.`;
  }

  filter.addEventListener("input", renderSongs);

  function edit(playlist) {
    editing = playlist;
    chosen = new Set();
    editorTitle.textContent = playlist ? `Replace the songs of ${playlist.name}` : "New playlist";
    nameInput.value = playlist ? playlist.name : "";
    save.textContent = playlist ? "Replace songs" : "Create playlist";
    cancelEdit.hidden = !playlist;
    renderSongs();
    if (playlist) nameInput.focus();
  }
  cancelEdit.addEventListener("click", () => edit(null));

  save.addEventListener("click", async () => {
    const name = nameInput.value.trim();
    if (!name) {
      notify("Give the playlist a name.", true);
      nameInput.focus();
      return;
    }
    if (!chosen.size) {
      notify("Choose at least one song.", true);
      return;
    }
    const request = editing
      ? { command: "playlist", kind: "update", operands: [editing.id, name, ...chosen] }
      : { command: "playlist", kind: "create", operands: [name, ...chosen] };
    await job(request, editing ? `The songs of ${name} were replaced.` : `Created ${name}.`);
    edit(null);
  });

  async function job(request, words) {
    try {
      const id = await runJob(request, false);
      const done = await whenEnded(id);
      if (done.state === "done") notify(words);
      else notify((done.summary && done.summary.error) || `The playlist job ended: ${done.state}.`, true);
    } catch (e) {
      notify(e.message, true);
    }
    await loadPlaylists();
  }

  async function loadPlaylists() {
    let answer;
    try {
      answer = await get("/api/playlists");
    } catch (e) {
      clear(list, el("li", { class: "muted", text: e.message }));
      return;
    }
    clear(list, answer.playlists.map((p) => el("li", {},
      el("div", {}, el("strong", { class: "item-name", text: p.name }),
        el("span", { class: "muted", text: ` ${plural(p.songs.length, "song")}` })),
      el("span", { class: "row-actions" },
        el("button", { type: "button", class: "small", text: "Rename", "aria-label": `Rename ${p.name}`,
          onclick: async () => {
            const name = await askText("Rename playlist", "New name", p.name, "Rename");
            if (name && name !== p.name) {
              await job({ command: "playlist", kind: "update", operands: [p.id, name, ...p.songs] }, `Renamed to ${name}.`);
            }
          } }),
        el("button", { type: "button", class: "small", text: "Replace songs", "aria-label": `Replace songs of ${p.name}`,
          onclick: () => edit(p) }),
        el("button", { type: "button", class: "small danger", text: "Delete", "aria-label": `Delete ${p.name}`,
          onclick: async () => {
            if (await confirmDialog(`Delete ${p.name}?`,
              `The playlist ${p.name} (${plural(p.songs.length, "song")}) will be deleted from the phone. The songs stay.`, "Delete")) {
              await job({ command: "playlist", kind: "delete", operands: [p.id] }, `Deleted ${p.name}.`);
            }
          } })))));
    if (!answer.playlists.length) list.append(el("li", { class: "muted", text: "qsync has made no playlist yet." }));
  }

  // Read again each time the view is shown: the music folders may have changed.
  return {
    shown() {
      loadSongs();
      loadPlaylists();
    },
  };
}
