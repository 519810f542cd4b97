// The message line under the title: errors from the server, short notes.

let el = null;
let timer = 0;

export function initMessages(element) {
  el = element;
  el.addEventListener('click', clearMessage);
}

export function showError(err) {
  const text = typeof err === 'string' ? err : (err && err.message) || String(err);
  show(text, 'error', 0);
}

export function showNote(text) {
  show(text, 'note', 4000);
}

export function clearMessage() {
  if (!el) return;
  clearTimeout(timer);
  el.hidden = true;
  el.textContent = '';
  el.className = 'message';
  delete el.dataset.kind;
}

function show(text, kind, ms) {
  if (!el) return;
  clearTimeout(timer);
  el.textContent = text;
  el.className = `message ${kind}`;
  el.dataset.kind = kind;
  el.hidden = false;
  if (ms) timer = setTimeout(clearMessage, ms);
}
