// The settings the server keeps (phone address, storage root, folders per
// kind, mirror switches, fetch folders); views read them from here.

import { get, put } from "./api.js";
import { notify } from "./notify.js";

export const settings = {
  phone: "", device: "/sdcard", folders: {}, mirror: {}, maxDelete: {}, fetchTo: {},
};

function adopt(answer) {
  Object.assign(settings, answer);
  for (const key of ["folders", "mirror", "maxDelete", "fetchTo"]) settings[key] = settings[key] || {};
  document.dispatchEvent(new CustomEvent("qsync:settings"));
}

export async function loadSettings() {
  adopt(await get("/api/settings"));
}

export async function saveSettings(part) {
  try {
    adopt(await put("/api/settings", part));
    return true;
  } catch (e) {
    notify(e.message, true);
    return false;
  }
}
