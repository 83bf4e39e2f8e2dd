// Small helpers for building the page. Text from the phone or the PC is only
// ever placed with textContent (el's string children), never parsed as HTML.

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === "class") node.className = value;
    else if (key === "text") node.textContent = value;
    else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else if (key in node && typeof value !== "string") node[key] = value;
    else node.setAttribute(key, value === true ? "" : value);
  }
  append(node, children);
  return node;
}

function append(node, children) {
  for (const child of children) {
    if (child === undefined || child === null || child === false) continue;
    if (Array.isArray(child)) append(node, child);
    else node.append(typeof child === "string" || typeof child === "number" ? document.createTextNode(String(child)) : child);
  }
}

export function clear(node, ...children) {
  node.replaceChildren();
  append(node, children);
  return node;
}

export const $ = (selector, root = document) => root.querySelector(selector);

let nextId = 0;
export function uid(prefix) {
  nextId += 1;
  return `${prefix}-${nextId}`;
}

// A labelled form control: the label names the control for screen readers.
export function field(labelText, control, hint) {
  if (!control.id) control.id = uid("f");
  const parts = [el("label", { for: control.id, text: labelText }), control];
  if (hint) {
    const h = el("span", { class: "hint", id: uid("hint"), text: hint });
    control.setAttribute("aria-describedby", h.id);
    parts.push(h);
  }
  return el("div", { class: "field" }, parts);
}

const UNITS = ["B", "KB", "MB", "GB", "TB"];
export function bytes(n) {
  if (n === null || n === undefined || !Number.isFinite(n)) return "–";
  let i = 0;
  let v = n;
  while (v >= 1000 && i < UNITS.length - 1) {
    v /= 1000;
    i += 1;
  }
  return `${i === 0 ? v : v.toFixed(v < 10 ? 1 : 0)} ${UNITS[i]}`;
}

export function duration(seconds) {
  if (seconds === null || seconds === undefined || !Number.isFinite(seconds)) return "–";
  const s = Math.max(0, Math.round(seconds));
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const r = String(s % 60).padStart(2, "0");
  return h ? `${h}:${String(m).padStart(2, "0")}:${r}` : `${m}:${r}`;
}

export function when(epochSeconds) {
  if (!epochSeconds) return "";
  return new Date(epochSeconds * 1000).toLocaleString();
}

export function plural(n, one, many = `${one}s`) {
  return `${n} ${n === 1 ? one : many}`;
}

// The last path component, for both '/' and '\' separated paths.
export function baseName(path) {
  const trimmed = path.replace(/[\\/]+$/, "");
  const i = Math.max(trimmed.lastIndexOf("/"), trimmed.lastIndexOf("\\"));
  return i < 0 ? trimmed : trimmed.slice(i + 1);
}
