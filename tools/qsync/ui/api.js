// The server's API: JSON in and out, the CSRF token on every change.

let csrf = "";

export class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

export async function session() {
  const s = await request("GET", "/api/session");
  csrf = s.csrf;
  return s;
}

export async function request(method, path, body, extraHeaders = {}) {
  const headers = { ...extraHeaders };
  let payload = body;
  if (method !== "GET") headers["X-QSync-CSRF"] = csrf;
  if (body !== undefined && !(body instanceof Blob)) {
    headers["Content-Type"] = "application/json";
    payload = JSON.stringify(body);
  }
  let answer;
  try {
    answer = await fetch(path, { method, headers, body: payload, credentials: "same-origin" });
  } catch {
    throw new ApiError("qsync does not answer. Is it still running?", 0);
  }
  const text = await answer.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = null;
  }
  if (!answer.ok) {
    const words = data && typeof data.error === "string" ? data.error : `the server answered ${answer.status}`;
    throw new ApiError(words, answer.status);
  }
  return data;
}

export const get = (path, params) => request("GET", params ? `${path}?${new URLSearchParams(params)}` : path);
export const post = (path, body) => request("POST", path, body ?? {});
export const put = (path, body) => request("PUT", path, body);
export const del = (path) => request("DELETE", path);

export function startJob(job) {
  return post("/api/jobs", job);
}

export function upload(folder, name, file, replace) {
  const query = new URLSearchParams({ folder, name, replace: replace ? "1" : "0" });
  return request("POST", `/api/phone/upload?${query}`, file, { "Content-Type": "application/octet-stream" });
}
