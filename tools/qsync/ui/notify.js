// One line of news for the person: a problem (announced at once) or a
// confirmation (announced politely).

import { $ } from "./dom.js";

let timer = null;
export function notify(text, problem = false) {
  const box = $("#notice");
  box.textContent = text;
  box.className = problem ? "notice problem" : "notice";
  box.setAttribute("role", problem ? "alert" : "status");
  box.hidden = false;
  clearTimeout(timer);
  timer = setTimeout(() => { box.hidden = true; }, problem ? 12000 : 5000);
}
