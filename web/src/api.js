// Thin helpers over the server's JSON API. Every failure becomes an Error
// carrying the server's one-line text and the HTTP status.

export class ApiError extends Error {
  // ask: what the server wants given to retry (e.g. "name"), or undefined.
  constructor(message, status, ask) {
    super(message);
    this.status = status;
    this.ask = ask;
  }
}

async function answer(res) {
  const text = await res.text();
  let data = null;
  if (text) {
    try { data = JSON.parse(text); } catch { data = null; }
  }
  if (!res.ok) {
    const msg = data && typeof data.error === 'string' ? data.error : `${res.status} ${res.statusText}`.trim();
    throw new ApiError(msg, res.status, data && typeof data.ask === 'string' ? data.ask : undefined);
  }
  return data;
}

// fetch, with a network failure turned into an ApiError (aborts stay aborts).
async function send(path, init) {
  try {
    return await fetch(path, { cache: 'no-store', ...init });
  } catch (e) {
    if (e && e.name === 'AbortError') throw e;
    throw new ApiError('The server cannot be reached.', 0);
  }
}

export async function getJson(path, init = {}) {
  return answer(await send(path, init));
}

function post(path, type, body) {
  return send(path, { method: 'POST', headers: { 'Content-Type': type }, body });
}

export async function postJson(path, body) {
  return answer(await post(path, 'application/json', body === undefined ? undefined : JSON.stringify(body)));
}

export async function postBytes(path, bytes) {
  return answer(await post(path, 'application/octet-stream', bytes));
}

export async function getBytes(path, init = {}) {
  const res = await send(path, init);
  if (!res.ok) await answer(res);
  return res.arrayBuffer();
}

export function query(params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== undefined && v !== null) q.set(k, String(v));
  const s = q.toString();
  return s ? `?${s}` : '';
}
