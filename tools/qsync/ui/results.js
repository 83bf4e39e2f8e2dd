// The words for the library's result numbers, as the server names them.

import { get } from "./api.js";

let words = {};
export async function loadResults() {
  try {
    words = await get("/api/results");
  } catch {
    words = {};
  }
}

export function resultWords(result) {
  return words[String(result)] || `result ${result}`;
}
