// node tests/browser/e2e.mjs --program PATH/TO/sylvaform --artifacts DIR [--page DIR]
//
// Drives the page of `sylvaform serve` in headless Chromium against a real
// server: panel, edits, pop-ups, Manual refresh, bad input, presets, crown
// upload, download. Screenshots go to the artifacts directory.
// Exit status: 0 passed, 1 failed, 77 skipped (no Chromium or playwright-core).
// --page DIR serves index.html, app.js and app.css from a bundle directory
// instead of the program's own copies (to try a page before rebuilding).

import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const SKIP = 77;
const CHROMIUM = '/usr/bin/chromium';
const here = dirname(fileURLToPath(import.meta.url));
const webDir = resolve(here, '..', '..', 'web');
const started = Date.now();

function usage(msg) {
  console.error(`e2e: ${msg}\nusage: node e2e.mjs --program PATH --artifacts DIR [--page DIR]`);
  process.exit(1);
}

const opts = {};
{
  const a = process.argv.slice(2);
  for (let i = 0; i < a.length; i += 1) {
    const m = /^--(program|artifacts|page)(?:=(.*))?$/.exec(a[i]);
    if (!m) usage(`unknown argument ${a[i]}`);
    opts[m[1]] = m[2] !== undefined ? m[2] : a[++i];
    if (opts[m[1]] === undefined) usage(`${a[i - 1]} needs a value`);
  }
  if (!opts.program) usage('--program is required');
  if (!opts.artifacts) usage('--artifacts is required');
}
const program = resolve(opts.program);
const artifacts = resolve(opts.artifacts);
const pageDir = opts.page ? resolve(opts.page) : null;

if (!existsSync(CHROMIUM)) {
  console.log(`e2e: SKIP: ${CHROMIUM} not found`);
  process.exit(SKIP);
}
let chromium;
try {
  ({ chromium } = createRequire(join(webDir, 'package.json'))('playwright-core'));
} catch {
  console.log(`e2e: SKIP: playwright-core not found in ${join(webDir, 'node_modules')} (npm ci in web/)`);
  process.exit(SKIP);
}
if (!existsSync(program)) usage(`no program at ${program}`);
mkdirSync(artifacts, { recursive: true });

// ---- helpers ---------------------------------------------------------------

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

class StepError extends Error {}

function check(cond, message) {
  if (!cond) throw new StepError(message);
}

function same(a, b) {
  return JSON.stringify(a) === JSON.stringify(b);
}

// Polls fn until it answers something truthy; the last answer or error goes into the failure.
// The wait is a watchdog against hangs, generous for sanitised builds.
async function waitFor(what, fn, timeoutMs = 60000, everyMs = 100) {
  const end = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await fn();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > end) {
      const seen = last instanceof Error ? last.message : JSON.stringify(last);
      throw new StepError(`timed out after ${timeoutMs} ms waiting for ${what} (last: ${seen})`);
    }
    await sleep(everyMs);
  }
}

let server = null;
let serverErr = '';
let context = null;
const temps = [];
let base = '';

function tempDir(tag) {
  const d = mkdtempSync(join(tmpdir(), `sylvaform-e2e-${tag}-`));
  temps.push(d);
  return d;
}

function startServer(shelf) {
  return new Promise((resolvePromise, reject) => {
    server = spawn(program, ['serve', '--port', '0', '--shelf', shelf], { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    const timer = setTimeout(() => reject(new StepError(`no address printed within 20 s (stdout: ${out.trim()}; stderr: ${serverErr.trim()})`)), 20000);
    server.stdout.setEncoding('utf8');
    server.stderr.setEncoding('utf8');
    server.stderr.on('data', (d) => { serverErr += d; });
    server.stdout.on('data', (d) => {
      out += d;
      const m = /^Sylvaform is running at (http:\/\/\S+?)\/?$/m.exec(out);
      if (m) {
        clearTimeout(timer);
        resolvePromise(m[1]);
      }
    });
    server.on('error', (e) => {
      clearTimeout(timer);
      reject(new StepError(`cannot start ${program}: ${e.message}`));
    });
    server.on('exit', (code, sig) => {
      clearTimeout(timer);
      reject(new StepError(`the server ended early (status ${code}, signal ${sig}): ${serverErr.trim()}`));
    });
  });
}

// Stops the server as Ctrl+C would; answers an error text unless it ended
// at once with status 0 (a sanitizer's report at exit is a failure too).
async function stopServer() {
  if (!server) return null;
  if (server.exitCode !== null || server.signalCode !== null) return `the server had ended (status ${server.exitCode})`;
  const gone = new Promise((r) => server.once('exit', (code, sig) => r({ code, sig })));
  server.kill('SIGTERM');
  const ended = await Promise.race([gone, sleep(5000).then(() => null)]);
  if (!ended) {
    server.kill('SIGKILL');
    await Promise.race([gone, sleep(2000)]);
    return 'the server did not stop within 5 s of SIGTERM';
  }
  return ended.code === 0 ? null : `the server ended with status ${ended.code} (signal ${ended.sig}) on SIGTERM`;
}

async function api(path, init) {
  const res = await fetch(base + path, init);
  const text = await res.text();
  let body = null;
  try { body = JSON.parse(text); } catch { body = text; }
  if (!res.ok) throw new StepError(`${init && init.method || 'GET'} ${path} answered ${res.status}: ${text}`);
  return body;
}
const state = () => api('/api/state');

// ---- the run -----------------------------------------------------------------

let page = null;
let stepName = 'start';
let shots = 0;
const pageErrors = [];
const consoleLines = [];

async function shot(name) {
  shots += 1;
  const file = join(artifacts, `${String(shots).padStart(2, '0')}-${name}.png`);
  await page.screenshot({ path: file });
}

async function step(name, fn) {
  stepName = name;
  const t = Date.now();
  await fn();
  console.log(`e2e: ok   ${name} (${Date.now() - t} ms)`);
}

async function shownNumber(testid) {
  return page.$eval(`[data-testid="${testid}"]`, (e) => Number(e.dataset.value));
}

async function shownCounts() {
  return { points: await shownNumber('stat-points'), polygons: await shownNumber('stat-polygons'), patches: await shownNumber('stat-patches') };
}

function row(id) {
  return page.locator(`#panel [data-id="${id}"]`).first();
}

async function typeNumber(id, text) {
  const input = row(id).locator('[data-testid="number"]');
  await input.click();
  await input.fill(String(text));
  await input.press('Enter');
}

async function choose(id, index) {
  await row(id).locator('[data-testid="popup"]').click();
  await page.locator(`[data-testid="menu"] [data-testid="menu-item"][data-index="${index}"]`).click();
}

// Waits for a finished build that is newer than `after` (a state) and shown by the page.
async function builtAfter(after, what) {
  const s = await waitFor(what, async () => {
    const st = await state();
    return st.build.count > after.build.count && st.mesh.version > after.mesh.version && !st.busy ? st : null;
  });
  await waitFor(`the page to show build ${s.mesh.version}`, async () => {
    const c = await shownCounts();
    const v = await page.$eval('#view', (e) => Number(e.dataset.meshVersion || -1));
    return c.polygons === s.mesh.polygons && c.points === s.mesh.points && v >= s.mesh.version;
  });
  return state();
}

// Pixels of the view that are not the background: proof that the 3D view drew something.
async function viewDrawn() {
  const png = (await page.locator('[data-testid="canvas"]').screenshot()).toString('base64');
  return page.evaluate(async (b64) => {
    const img = new Image();
    img.src = `data:image/png;base64,${b64}`;
    await img.decode();
    const c = document.createElement('canvas');
    c.width = img.naturalWidth;
    c.height = img.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    const bg = [d[0], d[1], d[2]];
    let differ = 0;
    let hash = 0;
    for (let i = 0; i < d.length; i += 4) {
      if (Math.abs(d[i] - bg[0]) + Math.abs(d[i + 1] - bg[1]) + Math.abs(d[i + 2] - bg[2]) > 24) differ += 1;
      hash = (hash * 31 + d[i] + 7 * d[i + 1] + 13 * d[i + 2]) | 0;
    }
    return { share: differ / (d.length / 4), hash };
  }, png);
}

async function run() {
  const shelf = tempDir('shelf');
  const profile = tempDir('profile');
  const files = tempDir('files');

  await step('start the server', async () => {
    base = await startServer(shelf);
    check(/^http:\/\/127\.0\.0\.1:\d+$/.test(base), `unexpected address ${base}`);
  });

  const panel = await api('/api/panel');
  const byLabel = (label) => {
    const c = panel.controls.find((x) => x.label === label);
    check(c, `the panel has no control "${label}"`);
    return c.id;
  };
  const controllers = new Set((panel.enables || []).map((e) => e.controller));
  const label = new Map(panel.controls.map((c) => [c.id, c.label]));
  const dividers = new Set(panel.dividers);
  const branches = byLabel('Branches');
  const refresh = byLabel('Refresh');
  const renderType = byLabel('Render Type');

  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    acceptDownloads: true,
    viewport: { width: 1400, height: 860 },
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-quic'],
  });
  context.setDefaultTimeout(10000);
  if (pageDir) {
    const types = { 'index.html': 'text/html; charset=utf-8', 'app.js': 'text/javascript; charset=utf-8', 'app.css': 'text/css; charset=utf-8' };
    await context.route((url) => url.origin === base && ['/', '/index.html', '/app.js', '/app.css'].includes(url.pathname), async (route) => {
      const res = await route.fetch();
      const name = new URL(route.request().url()).pathname.slice(1) || 'index.html';
      await route.fulfill({ status: 200, headers: { ...res.headers(), 'content-type': types[name] }, body: readFileSync(join(pageDir, name)) });
    });
  }
  page = context.pages()[0] || (await context.newPage());
  page.on('pageerror', (e) => pageErrors.push(e.message));
  page.on('console', (m) => consoleLines.push(`${m.type()}: ${m.text()}`));

  await step('open the page', async () => {
    const s = await state();
    await page.goto(`${base}/`);
    await waitFor('the page to start', () => page.$('body[data-ready="true"]'), 10000);
    check(panel.title === 'Sylvaform 1.7', `the panel's title is "${panel.title}"`);
    check((await page.locator('[data-testid="title"]').innerText()) === panel.title, 'the title is not shown');
    const info = panel.controls.find((c) => c.class === 'sInfo');
    check(info, 'the panel has no info line');
    await waitFor('the info line', async () =>
      (await page.locator(`[data-testid="info"][data-id="${info.id}"]`).innerText()).trim() === String(s.values[String(info.id)]));
    await shot('page');
  });

  await step('the first view: a leafy starter tree in its crown, angles to 0.1°', async () => {
    const s = await waitFor('the first tree', async () => {
      const st = await state();
      return st.mesh && st.mesh.polygons > 0 && !st.busy ? st : null;
    }, 20000);
    check(s.crown.name === 'lobed.obj', `the page opened in the crown ${JSON.stringify(s.crown)}`);
    check(s.values[String(branches)] === 260, `Branches is ${s.values[String(branches)]}, not the starter's 260`);
    await waitFor('the crown named', async () => (await page.locator('[data-testid="crown-name"]').innerText()) === 'lobed.obj');
    await builtAfter({ build: { count: s.build.count - 1 }, mesh: { version: s.mesh.version - 1 } }, 'the first tree shown');
    await waitFor('the first tree drawn', async () => (await viewDrawn()).share > 0.01, 10000);
    await shot('first-view');
    const angles = panel.controls.filter((c) => panel.units[c.class] && panel.units[c.class].sign === '°');
    check(angles.length > 0, 'no angle controls');
    for (const c of angles) {
      if ((await row(c.id).locator('[data-testid="number"]').count()) === 0) continue;
      const text = await row(c.id).locator('[data-testid="number"]').inputValue();
      check(/^-?\d+(\.\d)?$/.test(text), `${c.label} shows "${text}"`);
    }
    // Typing back the rounded text sends nothing: the stored value stays exact.
    const angle = angles.find((c) => !Number.isInteger(s.values[String(c.id)] * 1800 / Math.PI));
    check(angle, 'no angle with more than a tenth of a degree to round');
    const text = await row(angle.id).locator('[data-testid="number"]').inputValue();
    const before = await state();
    await typeNumber(angle.id, text);
    await sleep(300);
    const after = await state();
    check(after.values[String(angle.id)] === s.values[String(angle.id)] && after.build.count === before.build.count &&
      !after.busy,
      `${angle.label}: ${s.values[String(angle.id)]} was sent again as ${after.values[String(angle.id)]}`);

    // The tool's own defaults, one click away; the built-in crown as before.
    await page.locator('[data-testid="tool-reset"]').click();
    await waitFor('the confirmation', () => page.locator('[data-testid="dialog-ok"]').isVisible());
    await page.locator('[data-testid="dialog-ok"]').click();
    await waitFor('the defaults back', async () => {
      const st = await state();
      return st.values[String(branches)] !== 260 && !st.busy;
    });
    await page.locator('[data-testid="crown-default"]').click();
    await waitFor('the built-in crown', async () => (await state()).crown.name === 'built-in crown');
  });

  await step('hover hints say what each control does', async () => {
    const helped = panel.controls.filter((c) => c.help);
    check(helped.length >= 50, `only ${helped.length} controls have a hint`);
    for (const c of helped) {
      const label = page.locator(`[data-testid="control"][data-id="${c.id}"] .ctl-label`);
      if ((await label.count()) === 0) continue;
      const title = await label.getAttribute('title');
      check(title === c.help, `the hint of ${c.label} is "${title}"`);
    }
  });

  await step('tabs show their controls in panel order', async () => {
    const tabNames = await page.locator('[data-testid="tab"]').allInnerTexts();
    check(same(tabNames, ['Tree', 'Twig', 'Leaf', 'Advanced']), `tabs shown: ${JSON.stringify(tabNames)}`);
    for (const gid of panel.tabs) {
      const group = panel.groups.find((g) => g.id === gid);
      await page.locator(`[data-testid="tab"][data-id="${gid}"]`).click();
      const pageEl = page.locator(`[data-testid="tab-page"][data-id="${gid}"]`);
      check(await pageEl.isVisible(), `the page of tab ${group.label} is not shown`);
      for (const other of panel.tabs.filter((t) => t !== gid))
        check(!(await page.locator(`[data-testid="tab-page"][data-id="${other}"]`).isVisible()), `tab ${other} still shown beside ${group.label}`);
      const shown = await pageEl.evaluate((p) => [...p.children].map((c) => (c.tagName === 'HR' ? '---' :
        `${c.dataset.id}:${(c.querySelector('.ctl-label') || c.querySelector('button') || c).textContent.trim()}`)));
      const want = [];
      for (const id of group.members) {
        if (controllers.has(id)) continue;
        want.push(`${id}:${label.get(id)}`);
        if (dividers.has(id)) want.push('---');
      }
      check(same(shown, want), `tab ${group.label}: shown ${JSON.stringify(shown)}, panel order ${JSON.stringify(want)}`);
      await shot(`tab-${group.label}`);
    }
    await page.locator(`[data-testid="tab"][data-id="${panel.tabs[0]}"]`).click();
  });

  await step('controls outside the tabs, no enable controller', async () => {
    const inTabs = new Set(panel.groups.filter((g) => panel.tabs.includes(g.id)).flatMap((g) => g.members));
    const want = [];
    let tabsPlaced = false;
    for (const c of panel.controls) {
      if (inTabs.has(c.id)) {
        if (!tabsPlaced) want.push('tabs');
        tabsPlaced = true;
        continue;
      }
      if (controllers.has(c.id)) continue;
      want.push(String(c.id));
      if (dividers.has(c.id)) want.push('---');
    }
    const shown = await page.locator('#panel').evaluate((p) => [...p.children].map((c) =>
      (c.tagName === 'HR' ? '---' : c.dataset.testid === 'tab-block' ? 'tabs' : c.dataset.id)));
    check(same(shown, want), `outside the tabs: shown ${JSON.stringify(shown)}, panel order ${JSON.stringify(want)}`);
    for (const name of ['Refresh', 'Render Type', 'Presets', 'Add Preset'])
      check(await row(byLabel(name)).isVisible(), `"${name}" is not shown`);
    check((await page.getByText('--hidden--').count()) === 0, '"--hidden--" is shown');
    for (const id of controllers) check((await page.locator(`[data-id="${id}"]`).count()) === 0, `the enable controller ${id} is drawn`);
  });

  await step('first build shows polygons; Branches typed and stored', async () => {
    await waitFor('a polygon count > 0', async () => (await shownNumber('stat-polygons')) > 0, 20000);
    await waitFor('the tree in the view', async () => (await viewDrawn()).share > 0.001, 10000);
    await shot('first-build');
    const before = await waitFor('an idle tool', async () => { const s = await state(); return s.busy ? null : s; });
    const old = before.values[String(branches)];
    const typed = old === 300 ? 250 : 300;
    await typeNumber(branches, typed);
    const after = await builtAfter(before, 'a build after the Branches edit');
    check(after.values[String(branches)] === typed, `Branches stored ${after.values[String(branches)]}, typed ${typed}`);
    check(after.mesh.polygons !== before.mesh.polygons, `the polygon count stayed ${after.mesh.polygons}`);
    check((await shownNumber('stat-polygons')) === after.mesh.polygons, 'the shown polygon count is not the server\'s');
    await shot('branches');
  });

  await step('every Render Type', async () => {
    const choices = panel.choices[String(renderType)];
    let s = await state();
    const start = s.values[String(renderType)];
    let counts = await shownCounts();
    let look = await viewDrawn();
    for (let k = 1; k <= choices.length; k += 1) {
      const index = (start + k) % choices.length;
      await choose(renderType, index);
      s = await builtAfter(s, `a build for Render Type ${choices[index]}`);
      check(s.values[String(renderType)] === index, `Render Type stored ${s.values[String(renderType)]}, chose ${index}`);
      const now = await shownCounts();
      check(!same(now, counts), `the counts did not change for ${choices[index]}: ${JSON.stringify(now)}`);
      const drawn = await waitFor(`the view to change for ${choices[index]}`, async () => {
        const d = await viewDrawn();
        return d.share > 0.001 && d.hash !== look.hash ? d : null;
      }, 10000);
      counts = now;
      look = drawn;
      await shot(`render-${choices[index]}`);
    }
  });

  await step('Manual refresh builds only when asked', async () => {
    const choices = panel.choices[String(refresh)];
    const manual = choices.indexOf('Manual');
    const automatic = choices.indexOf('Automatic');
    check(manual >= 0 && automatic >= 0, `Refresh choices ${JSON.stringify(choices)}`);
    await choose(refresh, manual);
    await waitFor('Refresh stored as Manual', async () => { const s = await state(); return s.values[String(refresh)] === manual && !s.busy; });
    const before = await state();
    const typed = before.values[String(branches)] + 17;
    await typeNumber(branches, typed);
    await waitFor('the Branches edit applied', async () => { const s = await state(); return s.values[String(branches)] === typed && !s.busy; });
    await sleep(1500);
    const idle = await state();
    check(idle.mesh.version === before.mesh.version && idle.build.count === before.build.count,
      `a build happened in Manual: mesh ${before.mesh.version} -> ${idle.mesh.version}, builds ${before.build.count} -> ${idle.build.count}`);
    await choose(refresh, manual);
    const built = await builtAfter(idle, 'the build asked for by choosing Manual again');
    await sleep(500);
    const settled = await state();
    check(settled.build.count === idle.build.count + 1, `choosing Manual again built ${settled.build.count - idle.build.count} times`);
    check(built.values[String(refresh)] === manual, 'Refresh left Manual');
    await choose(refresh, automatic);
    await waitFor('Refresh stored as Automatic', async () => (await state()).values[String(refresh)] === automatic);
  });

  await step('typed beyond the slider is taken with a note', async () => {
    const iterations = byLabel('Random seed');  // on the first tab
    const range = panel.ranges[String(iterations)];
    check(range, 'Random seed has no range');
    const old = (await state()).values[String(iterations)];
    await typeNumber(iterations, range.max + 5);
    const msg = page.locator('[data-testid="message"]');
    await waitFor('the note', async () => (await msg.getAttribute('data-kind')) === 'note' &&
      (await msg.innerText()).includes('is beyond the slider'));
    await waitFor('the value stored', async () => (await state()).values[String(iterations)] === range.max + 5);
    const slider = Number(await row(iterations).locator('[data-testid="slider"]').inputValue());
    check(slider === range.max, `the slider shows ${slider}, not its end ${range.max}`);
    await typeNumber(iterations, old);
    await waitFor('the value back', async () => { const s = await state(); return !s.busy && s.values[String(iterations)] === old; }, 60000);
  });

  await step('bad input shows an error and changes nothing', async () => {
    const before = await waitFor('an idle tool', async () => { const s = await state(); return s.busy ? null : s; });
    const old = before.values[String(branches)];
    // Past 32 bits: no field can hold it.
    await typeNumber(branches, 3000000000);
    const msg = page.locator('[data-testid="message"]');
    await waitFor('an error message', async () => (await msg.isVisible()) && (await msg.getAttribute('data-kind')) === 'error' && (await msg.innerText()).trim().length > 0);
    await shot('bad-input');
    await sleep(300);
    const after = await state();
    check(after.values[String(branches)] === old, `Branches changed to ${after.values[String(branches)]}`);
    check(after.build.count === before.build.count, 'a build followed the refused value');
    await waitFor('the field back at the stored value', async () =>
      Number(await row(branches).locator('[data-testid="number"]').inputValue()) === old, 3000);
  });

  await step('presets: add, load, remove', async () => {
    const name = 'e2e oak';
    const presetsButton = byLabel('Presets');
    await row(presetsButton).locator('button').click();
    await waitFor('the presets shelf', async () => (await state()).shelf_open && (await page.locator('[data-testid="presets"]').isVisible()));
    await row(byLabel('Add Preset')).locator('button').click();
    const dialog = page.locator('[data-testid="dialog"]');
    await waitFor('the name dialog', () => dialog.isVisible());
    await page.locator('[data-testid="dialog-input"]').fill(name);
    await page.locator('[data-testid="dialog-ok"]').click();
    const item = page.locator(`[data-testid="preset"][data-name="${name}"]`);
    await waitFor('the new preset in the list', () => item.isVisible());
    await waitFor('its thumbnail', () => item.locator('[data-testid="preset-thumb"]').evaluate((img) => img.complete && img.naturalWidth === 128 && img.naturalHeight === 128));
    await waitFor('its picture', () => item.locator('[data-testid="preset-picture"]').evaluate((img) => img.complete && img.naturalWidth === 256));
    await shot('preset-added');

    const saved = (await state()).values[String(branches)];
    const before = await state();
    await typeNumber(branches, saved + 5);
    const changed = await builtAfter(before, 'a build after changing Branches');
    check(changed.values[String(branches)] === saved + 5, 'Branches did not change');
    await item.click();
    await waitFor('the preset\'s Branches back', async () => {
      const s = await state();
      return s.values[String(branches)] === saved && !s.busy;
    });
    await waitFor('the field showing it', async () => Number(await row(branches).locator('[data-testid="number"]').inputValue()) === saved);

    await item.locator('[data-testid="preset-remove"]').click();
    await waitFor('the confirmation', () => dialog.isVisible());
    await page.locator('[data-testid="dialog-cancel"]').click();
    await sleep(200);
    check((await api('/api/presets')).presets.some((p) => p.name === name), 'Cancel removed the preset');
    await item.locator('[data-testid="preset-remove"]').click();
    await waitFor('the confirmation', () => dialog.isVisible());
    await shot('preset-remove');
    await page.locator('[data-testid="dialog-ok"]').click();
    await waitFor('the preset gone', async () => (await item.count()) === 0);
    check(!(await api('/api/presets')).presets.some((p) => p.name === name), 'the server still lists the preset');
  });

  await step('crown upload', async () => {
    // A closed box 2 units wide standing on y = 0.
    const obj = ['v -1 0 -1', 'v 1 0 -1', 'v 1 0 1', 'v -1 0 1', 'v -1 2 -1', 'v 1 2 -1', 'v 1 2 1', 'v -1 2 1',
      'f 1 2 3 4', 'f 5 8 7 6', 'f 1 5 6 2', 'f 2 6 7 3', 'f 3 7 8 4', 'f 4 8 5 1', ''].join('\n');
    const file = join(files, 'box.obj');
    writeFileSync(file, obj);
    const before = await state();
    await page.locator('[data-testid="crown-file"]').setInputFiles(file);
    const s = await waitFor('the new crown', async () => {
      const st = await state();
      return st.crown.version > before.crown.version ? st : null;
    });
    check(s.crown.name === 'box.obj' && s.crown.points === 8 && s.crown.polygons === 6, `crown ${JSON.stringify(s.crown)}`);
    await waitFor('the crown shown', async () => (await page.locator('[data-testid="crown-name"]').innerText()) === 'box.obj' &&
      (await page.locator('#view').evaluate((e) => Number(e.dataset.crownVersion))) === s.crown.version);
    const grown = await builtAfter(before, 'a build on the new crown');
    check(grown.mesh.polygons > 0, 'no polygons on the new crown');
    await shot('crown');
  });

  await step('crown dropped on the view', async () => {
    // An ASCII PLY octahedron: read through Assimp, as on the command line.
    const ply = ['ply', 'format ascii 1.0', 'element vertex 6', 'property float x', 'property float y', 'property float z',
      'element face 8', 'property list uchar int vertex_indices', 'end_header',
      '0 3 0', '0 1 0', '1 2 0', '0 2 1', '-1 2 0', '0 2 -1',
      '3 0 3 2', '3 0 4 3', '3 0 5 4', '3 0 2 5', '3 1 2 3', '3 1 3 4', '3 1 4 5', '3 1 5 2', ''].join('\n');
    const before = await state();
    await page.evaluate((text) => {
      const data = new DataTransfer();
      data.items.add(new File([text], 'octahedron.ply'));
      const view = document.getElementById('view');
      for (const type of ['dragenter', 'dragover', 'drop'])
        view.dispatchEvent(new DragEvent(type, { dataTransfer: data, bubbles: true, cancelable: true }));
    }, ply);
    const s = await waitFor('the dropped crown', async () => {
      const st = await state();
      return st.crown.version > before.crown.version ? st : null;
    });
    check(s.crown.name === 'octahedron.ply' && s.crown.polygons === 8, `crown ${JSON.stringify(s.crown)}`);
    const grown = await builtAfter(before, 'a build on the dropped crown');
    check(grown.mesh.polygons > 0, 'no polygons on the dropped crown');
  });

  await step('the wind toggle sways the tree from its wind data', async () => {
    const s = await state();
    if (s.values[String(renderType)] !== 1) {  // tubes: a skeleton has no branches to sway
      await choose(renderType, 1);
      await builtAfter(s, 'a Polygonal build');
    }
    // Round bark with wind takes seconds to make: the wait only guards a hang.
    const wanted = page.waitForResponse((r) => r.url().includes('/api/mesh.glb') && r.url().includes('wind=1'),
      { timeout: 240000 });
    await page.locator('[data-testid="wind"]').check();
    const glb = Buffer.from(await (await wanted).body());
    check(glb.includes(Buffer.from('SF_wind_pivot_xy')), 'the page did not get a tree with wind data');
    await waitFor('the view to sway', async () => (await page.$eval('[data-testid="canvas"]', (c) => c.dataset.wind)) === 'on');
    const a = await viewDrawn();
    await page.waitForTimeout(700);
    const b = await viewDrawn();
    check(a.share > 0.01 && a.hash !== b.hash, 'the swaying view does not change between frames');
    await shot('wind');
    await page.locator('[data-testid="wind"]').uncheck();
    await waitFor('the sway to stop', async () => (await page.$eval('[data-testid="canvas"]', (c) => c.dataset.wind)) === 'off');
  });

  await step('download .glb', async () => {
    // Round bark by default, in the view as in the downloads; a typed budget reaches both.
    const link = page.locator('[data-testid="download-glb"]');
    check((await link.getAttribute('href')).includes('triangles=auto'), `the .glb link is ${await link.getAttribute('href')}`);
    await waitFor('the round tree shown', async () => (await page.$eval('#view', (e) => e.dataset.meshTriangles)) === 'auto', 60000);
    await page.locator('[data-testid="download-triangles"]').fill('90000');
    await page.locator('[data-testid="download-triangles"]').dispatchEvent('change');
    check((await link.getAttribute('href')).includes('triangles=90000'), `the .glb link is ${await link.getAttribute('href')}`);
    await waitFor('the budget shown', async () => (await page.$eval('#view', (e) => e.dataset.meshTriangles)) === '90000', 60000);
    const [download] = await Promise.all([page.waitForEvent('download'), page.locator('[data-testid="download-glb"]').click()]);
    const file = join(artifacts, 'tree.glb');
    await download.saveAs(file);
    const head = readFileSync(file).subarray(0, 4).toString('latin1');
    check(head === 'glTF', `the download starts with ${JSON.stringify(head)}`);
    check(download.suggestedFilename() === 'tree.glb', `downloaded as ${download.suggestedFilename()}`);
  });

  await step('a dropped tool greys the panel until picked again', async () => {
    const pick = page.locator('[data-testid="tool-pick"]');
    await pick.click();
    const s = await waitFor('the tool inactive', async () => { const st = await state(); return st.inactive_text ? st : null; });
    const banner = page.locator('[data-testid="inactive"]');
    await waitFor('the inactive text shown', async () => (await banner.isVisible()) && (await banner.innerText()).trim() === s.inactive_text);
    const greyed = new Set(s.greyed);
    const groupOf = new Map(panel.groups.flatMap((g) => g.members.map((m) => [m, g.id])));
    const drawn = await page.locator('#panel [data-id]:not([data-testid="tab"]):not([data-testid="tab-page"])').evaluateAll((rows) =>
      rows.map((r) => ({ id: Number(r.dataset.id), off: [...r.querySelectorAll('input, button')].map((e) => e.disabled) })));
    let offCount = 0;
    for (const { id, off } of drawn) {
      const want = greyed.has(id) || greyed.has(groupOf.get(id));
      check(off.every((d) => d === want), `control ${id} (${label.get(id)}): disabled ${JSON.stringify(off)}, greyed ${want}`);
      if (want && off.length) offCount += 1;
    }
    check(offCount > 0, 'nothing was disabled');
    await shot('inactive');
    await pick.click();
    await waitFor('the panel enabled again', async () => !(await banner.isVisible()) &&
      !(await row(branches).locator('[data-testid="number"]').isDisabled()));
  });

  await step('no script errors', async () => {
    check(pageErrors.length === 0, `the page threw: ${pageErrors.join(' | ')}`);
  });
}

// Killed from outside (a test timeout): take the server and the temp dirs along.
for (const sig of ['SIGINT', 'SIGTERM']) {
  process.once(sig, () => {
    console.error(`e2e: stopped by ${sig} in step "${stepName}"`);
    if (server && server.exitCode === null) server.kill('SIGKILL');
    for (const d of temps) rmSync(d, { recursive: true, force: true });
    process.exit(1);
  });
}

rmSync(join(artifacts, 'failure.png'), { force: true });
let status = 0;
try {
  await run();
  console.log(`e2e: passed in ${((Date.now() - started) / 1000).toFixed(1)} s; screenshots in ${artifacts}`);
} catch (e) {
  status = 1;
  console.error(`e2e: FAILED in step "${stepName}": ${e instanceof StepError ? e.message : e && e.stack || e}`);
  if (serverErr.trim()) console.error(`e2e: server stderr: ${serverErr.trim()}`);
  if (page) await page.screenshot({ path: join(artifacts, 'failure.png') }).catch(() => {});
} finally {
  if (consoleLines.length) writeFileSync(join(artifacts, 'console.log'), `${consoleLines.join('\n')}\n`);
  if (context) await Promise.race([context.close().catch(() => {}), sleep(10000)]);
  const stopError = await stopServer();
  if (stopError && status === 0) {
    status = 1;
    console.error(`e2e: FAILED at the end: ${stopError}`);
    if (serverErr.trim()) console.error(`e2e: server stderr: ${serverErr.trim().slice(-4000)}`);
  }
  for (const d of temps) rmSync(d, { recursive: true, force: true });
}
process.exit(status);
