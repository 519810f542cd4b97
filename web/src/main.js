// The page of `sylvaform serve`: the tool's panel on the left, the 3D view,
// the presets shelf on the right. Everything about the controls comes from
// /api/panel; values follow /api/state through its long-poll.

import { ApiError, getBytes, getJson, postBytes, postJson, query } from './api.js';
import { askText, confirmDialog, initDialog } from './dialog.js';
import { clearMessage, initMessages, showError, showNote } from './messages.js';
import { buildPanel } from './panel.js';
import { createViewport } from './viewport.js';

const $ = (id) => document.getElementById(id);

let panel = null;
let panelView = null;
let viewport = null;
let current = null; // the last state seen

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const count = (n) => (typeof n === 'number' ? n.toLocaleString('en-US') : '–');

// ---- edits -------------------------------------------------------------

async function setValue(id, value) {
  try {
    const r = await postJson('/api/set', { id, value });
    clearErrorOnly();
    // Typed beyond the slider: taken, and said so.
    if (r && typeof r.note === 'string') showNote(r.note);
    return r && typeof r.version === 'number' ? r.version : 0;
  } catch (e) {
    showError(e);
    return null;
  }
}

function clearErrorOnly() {
  if ($('message').dataset.kind === 'error') clearMessage();
}

// A button press. When the button's action saves a preset, the server asks
// for its name (an error with ask "name"); the person gives one and the
// button is pressed again with it.
async function pressButton(id, label) {
  try {
    await postJson('/api/button', { id });
    clearErrorOnly();
  } catch (e) {
    if (e instanceof ApiError && e.ask === 'name') {
      await addPreset(id, label);
    } else {
      showError(e);
    }
  }
}

async function addPreset(id, label) {
  const name = await askText(`${label || 'Add preset'}: name of the new preset`, 'Save');
  if (!name) return;
  let known = presetNames.includes(name);
  try {
    known = (await getJson('/api/presets')).presets.some((p) => p.name === name);
  } catch {
    // the list above will do
  }
  if (known && !(await confirmDialog(`A preset “${name}” exists. Replace it?`, 'Replace'))) return;
  try {
    const r = await postJson('/api/button', { id, name });
    const saved = r && r.preset;
    showNote(`${saved && saved.replaced ? 'Replaced' : 'Saved'} preset “${name}”.`);
  } catch (e) {
    showError(e);
  }
}

// ---- presets shelf -------------------------------------------------------

let presetNames = [];
let presetsShown = null; // presets.version listed, null when not listed
let presetsListing = false;

async function listPresets() {
  if (presetsListing) return;
  presetsListing = true;
  try {
    for (;;) {
      const version = current.presets ? current.presets.version : 0;
      let r;
      try {
        r = await getJson('/api/presets');
      } catch (e) {
        showError(e);
        return;
      }
      renderPresets(r, version);
      presetsShown = version;
      if (!current.shelf_open || (current.presets ? current.presets.version : 0) === version) return;
    }
  } finally {
    presetsListing = false;
  }
}

function renderPresets(r, version) {
  const list = $('preset-list');
  const names = (r.presets || []).map((p) => p.name);
  presetNames = names;
  list.textContent = '';
  if (!names.length) {
    const empty = document.createElement('div');
    empty.className = 'preset-empty';
    empty.textContent = 'No presets yet.';
    list.append(empty);
  }
  for (const name of names) {
    const item = document.createElement('div');
    item.className = 'preset';
    item.dataset.testid = 'preset';
    item.dataset.name = name;
    item.title = `Load “${name}”`;
    item.tabIndex = 0;

    const img = document.createElement('img');
    img.className = 'preset-thumb';
    img.dataset.testid = 'preset-thumb';
    img.width = 128;
    img.height = 128;
    img.alt = name;
    img.draggable = false;
    img.src = `/api/presets/thumbnail${query({ name, v: version })}`;

    // The picture drawn when the preset was saved (leaves and bark); the
    // tool's thumbnail shows small on it, or alone when there is none.
    const picture = document.createElement('img');
    picture.className = 'preset-picture';
    picture.dataset.testid = 'preset-picture';
    picture.width = 128;
    picture.height = 128;
    picture.alt = '';
    picture.draggable = false;
    picture.addEventListener('error', () => {
      picture.remove();
      item.classList.add('no-picture');
    });
    picture.src = `/api/presets/picture${query({ name, v: version })}`;

    const caption = document.createElement('div');
    caption.className = 'preset-name';
    caption.dataset.testid = 'preset-name';
    caption.textContent = name;

    const remove = document.createElement('button');
    remove.type = 'button';
    remove.className = 'preset-remove';
    remove.dataset.testid = 'preset-remove';
    remove.title = `Remove “${name}”`;
    remove.textContent = '×';
    remove.addEventListener('click', (e) => {
      e.stopPropagation();
      removePreset(name);
    });

    const load = () => loadPreset(name);
    item.addEventListener('click', load);
    item.addEventListener('keydown', (e) => {
      if (e.key === 'Enter' || e.key === ' ') {
        e.preventDefault();
        load();
      }
    });
    item.append(picture, img, caption, remove);
    list.append(item);
  }
  const warn = $('preset-warnings');
  warn.textContent = (r.warnings || []).join('\n');
  warn.hidden = !(r.warnings || []).length;
}

// Posts a request; shows the note when it succeeds, the server's text when not.
async function act(path, body, note) {
  try {
    await postJson(path, body);
    if (note) showNote(note);
  } catch (e) {
    showError(e);
  }
}

function loadPreset(name) {
  return act('/api/presets/load', { name }, `Loaded preset “${name}”.`);
}

async function removePreset(name) {
  if (!(await confirmDialog(`Remove the preset “${name}”?`, 'Remove'))) return;
  await act('/api/presets/remove', { name }, `Removed preset “${name}”.`);
}

// ---- crown -----------------------------------------------------------------

async function uploadCrown(file) {
  if (!file) return;
  const up = $('crown-zup').checked ? 'z' : 'y';
  showNote(`Reading “${file.name}”…`);
  try {
    const r = await postBytes(`/api/crown${query({ name: file.name, up })}`, file);
    showNote(`Crown “${r.name}”: ${count(r.points)} points, ${count(r.polygons)} polygons.`);
  } catch (e) {
    showError(e);
  }
}

// The host's own tool actions: dropping the tool (its panel greys out) and
// picking it again, and the reset that restores every default.
function initTool() {
  $('tool-pick').addEventListener('click', () =>
    act('/api/event', { event: current && current.inactive_text ? 'activate' : 'drop' }));
  $('tool-reset').addEventListener('click', async () => {
    if (!(await confirmDialog('Reset every setting to its default?', 'Reset'))) return;
    await act('/api/event', { event: 'reset' }, 'Every setting is back to its default.');
  });
}

function initCrown() {
  const input = $('crown-file');
  input.addEventListener('change', () => {
    const f = input.files && input.files[0];
    input.value = '';
    uploadCrown(f);
  });
  $('crown-default').addEventListener('click', () => act('/api/crown/default', undefined, 'Back to the built-in crown.'));

  const view = $('view');
  const hint = $('drop-hint');
  let depth = 0;
  const hasFiles = (e) => e.dataTransfer && [...e.dataTransfer.types].includes('Files');
  view.addEventListener('dragenter', (e) => {
    if (!hasFiles(e)) return;
    e.preventDefault();
    depth += 1;
    hint.hidden = false;
  });
  view.addEventListener('dragover', (e) => {
    if (!hasFiles(e)) return;
    e.preventDefault();
    e.dataTransfer.dropEffect = 'copy';
  });
  view.addEventListener('dragleave', () => {
    depth = Math.max(0, depth - 1);
    if (!depth) hint.hidden = true;
  });
  view.addEventListener('drop', (e) => {
    if (!hasFiles(e)) return;
    e.preventDefault();
    depth = 0;
    hint.hidden = true;
    uploadCrown(e.dataTransfer.files[0]);
  });
  // A file dropped beside the view must not make the browser leave the page.
  window.addEventListener('dragover', (e) => e.preventDefault());
  window.addEventListener('drop', (e) => e.preventDefault());
}

// ---- downloads ---------------------------------------------------------------

// The formats as the server describes them (/api/formats), by name.
let formats = new Map();

// A download button per format, in the server's order.
function initDownloads(list) {
  formats = new Map(list.map((f) => [f.name, f]));
  const row = $('download-formats');
  row.replaceChildren();
  for (const f of list) {
    const a = document.createElement('a');
    a.className = 'btn';
    a.dataset.format = f.name;
    a.dataset.testid = `download-${f.name}`;
    a.download = '';
    a.textContent = `.${f.name}`;
    row.append(a);
  }
}

function updateDownloads() {
  const field = $('download-subdivide');
  let n = Math.round(Number(field.value));
  if (!Number.isFinite(n)) n = 0;
  n = Math.max(0, Math.min(3, n));
  for (const a of document.querySelectorAll('a[data-format]')) {
    const format = a.dataset.format;
    const f = formats.get(format) || {};
    const refine = f.refined;
    const impostor = f.impostor && $('download-impostor').checked ? 1 : undefined;
    a.href = `/api/download${query({ format, subdivide: refine && n ? n : undefined, triangles: refine ? triangleBudget() : undefined, impostor })}`;
  }
  // The view shows the tree as the downloads have it.
  if (meshLoad.wanted) loadMeshes();
}

// Round bark within a triangle budget: `auto` (as many as the square tubes
// have) unless a count is typed; undefined when round bark is off.
function triangleBudget() {
  if (!$('download-round').checked) return undefined;
  const n = Math.round(Number($('download-triangles').value));
  return $('download-triangles').value !== '' && Number.isFinite(n) && n >= 1 ? n : 'auto';
}

// ---- the 3D view -----------------------------------------------------------------

const meshLoad = { wanted: null, loaded: null, shown: null, busy: false };

// SubD cages are shown refined two levels, fewer when that would pass this
// many faces: each level makes four of each, and the file grows with them.
const PREVIEW_FACE_BUDGET = 300000;

// A tree beyond this many points would take gigabytes in the browser: it is
// counted but not shown (the downloads still have it).
const PREVIEW_POINT_BUDGET = 4000000;

function previewLevels(patches) {
  let n = patches > 0 ? 2 : 0;
  while (n > 0 && patches * 4 ** n > PREVIEW_FACE_BUDGET) n -= 1;
  return n;
}
const crownLoad = { wanted: null, loaded: null, busy: false };

async function loadMeshes() {
  if (meshLoad.busy || !viewport) return;
  meshLoad.busy = true;
  try {
    for (;;) {
      if (!meshLoad.wanted) break;
      const { version, patches, points } = meshLoad.wanted;
      const triangles = triangleBudget();
      const key = `${version} ${triangles} ${$('wind').checked}`;
      if (key === meshLoad.loaded) break;
      const note = $('view-note');
      note.hidden = points <= PREVIEW_POINT_BUDGET;
      if (!note.hidden) {
        note.textContent = `${count(points)} points are too many to show here; download the tree to see it.`;
        meshLoad.loaded = key;
        continue;
      }
      // A new tree is shown square first, at once; its round bark takes
      // the server a few seconds more.
      const quick = triangles !== undefined && meshLoad.shown !== version;
      const asked = quick ? undefined : triangles;
      try {
        // Round bark refines the tubes itself; else SubD cages are refined here.
        const levels = asked ? 0 : previewLevels(patches);
        const wind = $('wind').checked;
        // Rounding takes seconds: a newer tree stops the wait for an older one.
        meshLoad.abort = asked !== undefined ? new AbortController() : null;
        meshLoad.fetching = version;
        const buf = await getBytes(
          `/api/mesh.glb${query({ subdivide: levels || undefined, triangles: asked, wind: wind ? 1 : undefined })}`,
          meshLoad.abort ? { signal: meshLoad.abort.signal } : {});
        await viewport.setTree(buf, wind);
        $('view').dataset.meshVersion = String(version);
        $('view').dataset.meshTriangles = String(asked ?? '');
      } catch (e) {
        if (e && e.name === 'AbortError') continue;  // a newer tree is wanted
        if (e && e.status === 503) {  // superseded by a newer tree, or busy: ask again
          await new Promise((done) => { setTimeout(done, 300); });
          continue;
        }
        showError(`The tree could not be shown: ${e.message || e}`);
      } finally {
        meshLoad.abort = null;
      }
      meshLoad.shown = version;
      meshLoad.loaded = quick ? `${version} undefined ${$('wind').checked}` : key;
    }
  } finally {
    meshLoad.busy = false;
  }
}

async function loadCrowns() {
  if (crownLoad.busy || !viewport) return;
  crownLoad.busy = true;
  try {
    while (crownLoad.wanted !== null && crownLoad.wanted !== crownLoad.loaded) {
      const version = crownLoad.wanted;
      try {
        const buf = await getBytes('/api/crown.glb');
        await viewport.setCrown(buf, true);
        $('view').dataset.crownVersion = String(version);
      } catch (e) {
        showError(`The crown could not be shown: ${e.message || e}`);
      }
      crownLoad.loaded = version;
    }
  } finally {
    crownLoad.busy = false;
  }
}

// ---- state ---------------------------------------------------------------------

function apply(s) {
  current = s;
  panelView.update(s);

  const inactive = $('inactive');
  inactive.textContent = s.inactive_text || '';
  inactive.hidden = !s.inactive_text;
  $('tool-pick').textContent = s.inactive_text ? 'Pick tool again' : 'Drop tool';

  const mesh = s.mesh || {};
  const build = s.build || {};
  $('stat-points').textContent = count(mesh.points);
  $('stat-points').dataset.value = String(mesh.points ?? 0);
  $('stat-polygons').textContent = count(mesh.polygons);
  $('stat-polygons').dataset.value = String(mesh.polygons ?? 0);
  $('stat-patches').textContent = count(mesh.patches);
  $('stat-patches').dataset.value = String(mesh.patches ?? 0);
  $('stat-patches-wrap').hidden = !(mesh.patches > 0);
  $('stat-levels').textContent = String(previewLevels(mesh.patches || 0));
  $('stat-ms-wrap').hidden = !(build.count > 0);
  $('stat-ms').textContent = typeof build.ms === 'number' ? build.ms.toFixed(build.ms < 10 ? 2 : 1) : '';
  $('stat-ms').dataset.value = String(build.ms ?? '');
  const err = $('build-error');
  err.textContent = build.error || '';
  err.hidden = !build.error;

  const prog = $('progress');
  prog.hidden = !s.busy;
  if (s.busy) {
    const p = s.progress;
    const queued = s.queued > 0 ? ` (${s.queued} waiting)` : '';
    const bar = $('progress-bar');
    if (p && p.total > 0) {
      $('progress-caption').textContent = `${p.caption || 'Building'}${queued}`;
      bar.style.width = `${Math.max(0, Math.min(100, (100 * p.done) / p.total)).toFixed(1)}%`;
      bar.classList.remove('indeterminate');
    } else {
      $('progress-caption').textContent = `${(p && p.caption) || 'Building…'}${queued}`;
      bar.style.width = '';
      bar.classList.add('indeterminate');
    }
  }

  const crown = s.crown || {};
  $('crown-name').textContent = crown.name || '';
  $('crown-counts').textContent = crown.points !== undefined ? `${count(crown.points)} points, ${count(crown.polygons)} polygons` : '';

  if (mesh.version !== undefined) {
    meshLoad.wanted = { version: mesh.version, patches: mesh.patches || 0, points: mesh.points || 0 };
    if (meshLoad.abort && meshLoad.fetching !== mesh.version) meshLoad.abort.abort();
    loadMeshes();
  }
  if (crown.version !== undefined) {
    crownLoad.wanted = crown.version;
    loadCrowns();
  }

  const shelf = $('presets');
  const open = !!s.shelf_open;
  shelf.hidden = !open;
  document.body.classList.toggle('shelf-open', open);
  const pv = s.presets ? s.presets.version : 0;
  if (open && presetsShown !== pv) listPresets();
}

async function follow() {
  let failures = 0;
  for (;;) {
    try {
      const s = await getJson(`/api/state${query({ since: current ? current.version : undefined })}`);
      if (failures) clearErrorOnly();
      failures = 0;
      document.body.classList.remove('offline');
      apply(s);
    } catch (e) {
      failures += 1;
      document.body.classList.add('offline');
      if (failures === 2) showError('Lost the connection to sylvaform; retrying…');
      await sleep(Math.min(5000, 500 * failures));
    }
  }
}

async function start() {
  initMessages($('message'));
  initDialog();

  for (let tries = 0; ; tries += 1) {
    try {
      panel = await getJson('/api/panel');
      break;
    } catch (e) {
      if (tries === 1) showError(`Cannot read the panel: ${e.message}`);
      await sleep(Math.min(5000, 500 * (tries + 1)));
    }
  }
  $('title').textContent = panel.title || '';
  if (panel.title) document.title = panel.title;
  panelView = buildPanel($('panel'), panel, {
    set: setValue,
    version: () => (current ? current.version : -1),
    queued: () => (current ? current.queued || 0 : 0),
    button: pressButton,
    error: showError,
  });

  viewport = createViewport($('view'));
  if (!viewport) {
    const note = $('view-note');
    note.textContent = 'This browser cannot show the 3D view (no WebGL).';
    note.hidden = false;
  }

  initTool();
  initCrown();
  try {
    initDownloads(await getJson('/api/formats'));
  } catch (e) {
    showError(`Cannot read the download formats: ${e.message}`);
  }
  $('download-subdivide').addEventListener('input', updateDownloads);
  $('download-round').addEventListener('change', updateDownloads);
  $('download-triangles').addEventListener('change', updateDownloads);
  $('download-impostor').addEventListener('change', updateDownloads);
  // The wind needs the tree again, with its wind data.
  $('wind').addEventListener('change', () => {
    meshLoad.loaded = null;
    if (meshLoad.abort) meshLoad.abort.abort();
    loadMeshes();
  });
  updateDownloads();
  clearMessage();
  document.body.dataset.ready = 'true';
  follow();
}

start();
