// One in-page modal: asks for a text (askText) or a yes/no (confirmDialog).
// Answers a promise; Escape or Cancel gives null / false.

let els = null;
let current = null;

export function initDialog() {
  els = {
    modal: document.getElementById('modal'),
    form: document.getElementById('modal-form'),
    text: document.getElementById('modal-text'),
    input: document.getElementById('modal-input'),
    ok: document.getElementById('modal-ok'),
    cancel: document.getElementById('modal-cancel'),
  };
  els.form.addEventListener('submit', (e) => {
    e.preventDefault();
    finish(true);
  });
  els.cancel.addEventListener('click', () => finish(false));
  els.modal.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') {
      e.preventDefault();
      finish(false);
    }
  });
  els.modal.addEventListener('mousedown', (e) => {
    if (e.target === els.modal) finish(false);
  });
}

function finish(ok) {
  if (!current) return;
  const { resolve, withInput } = current;
  current = null;
  els.modal.hidden = true;
  if (withInput) resolve(ok ? els.input.value.trim() || null : null);
  else resolve(ok);
}

function open(text, withInput, okLabel, initial) {
  if (current) finish(false);
  return new Promise((resolve) => {
    current = { resolve, withInput };
    els.text.textContent = text;
    els.input.hidden = !withInput;
    els.input.value = initial || '';
    els.ok.textContent = okLabel;
    els.modal.dataset.kind = withInput ? 'prompt' : 'confirm';
    els.modal.hidden = false;
    (withInput ? els.input : els.ok).focus();
    if (withInput) els.input.select();
  });
}

export function askText(text, okLabel = 'OK', initial = '') {
  return open(text, true, okLabel, initial);
}

export function confirmDialog(text, okLabel = 'OK') {
  return open(text, false, okLabel, '');
}
