// The tool's panel, drawn only from the server's panel description:
// controls in panel order, the tab block where its first member stands,
// dividers, ranges as sliders, pop-ups as menus. Values and greying come
// from the live state.

import { formatShown, parseShown, setUnits, shownRange, toShown, toStored, unitSuffix } from './units.js';
import { openMenu } from './menu.js';

const SLIDER_INTERVAL_MS = 150;

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else e.setAttribute(k, v === true ? '' : String(v));
  }
  for (const c of children) if (c) e.append(c);
  return e;
}

// Sends one control's values in order, at most one request in flight;
// throttled sends keep only the newest value while waiting.
function makeSender(post) {
  let inflight = false;
  let pending = null; // { value, throttled }
  let lastSent = 0;
  let lastValue; // the newest value sent or waiting
  let timer = 0;

  async function pump() {
    clearTimeout(timer);
    if (inflight || !pending) return;
    const wait = pending.throttled ? SLIDER_INTERVAL_MS - (performance.now() - lastSent) : 0;
    if (wait > 0) {
      timer = setTimeout(pump, wait);
      return;
    }
    const { value } = pending;
    pending = null;
    inflight = true;
    lastSent = performance.now();
    try {
      await post(value);
    } finally {
      inflight = false;
      pump();
    }
  }

  return {
    now(value) {
      pending = { value, throttled: false };
      lastValue = value;
      pump();
    },
    throttled(value) {
      pending = { value, throttled: true };
      lastValue = value;
      pump();
    },
    last() {
      return lastValue;
    },
    idle() {
      return !inflight && !pending;
    },
    waiting() {
      return !!pending;
    },
  };
}

class Widget {
  constructor(ctl, row, api) {
    this.id = ctl.id;
    this.ctl = ctl;
    this.row = row;
    this.api = api;
    this.value = undefined;
    this.disabled = false;
    this.holdUntil = 0; // state version that will carry this control's last edit
  }

  // Sends an edit; answers true when the server took it.
  async send(value) {
    const version = await this.api.set(this.id, value);
    if (version === null) return false;
    this.holdUntil = Math.max(this.holdUntil, version);
    return true;
  }

  // False while the state predates this control's last edit or edits still
  // wait in the server's queue (its values are then older than they will be).
  current() {
    return this.api.version() >= this.holdUntil && this.api.queued() === 0;
  }

  setDisabled(off) {
    this.disabled = off;
    this.row.classList.toggle('greyed', off);
    this.row.toggleAttribute('data-greyed', off);
    for (const e of this.row.querySelectorAll('input, button')) e.disabled = off;
  }

  setValue() {}
}

class InfoWidget extends Widget {
  constructor(ctl) {
    const text = el('span', { class: 'info-text', 'data-testid': 'info-text' });
    const row = el('div', { class: 'ctl info', 'data-testid': 'info', 'data-id': ctl.id, 'data-class': ctl.class });
    if (ctl.label) row.append(el('span', { class: 'ctl-label', text: ctl.label }));
    row.append(text);
    super(ctl, row, null);
    this.text = text;
  }

  setValue(v) {
    this.value = v;
    this.text.textContent = v === undefined || v === null ? '' : String(v);
  }
}

class NumberWidget extends Widget {
  constructor(ctl, range, api) {
    const integer = ctl.type === 'integer';
    const unit = unitSuffix(ctl.class);
    const r = shownRange(ctl.class, range);
    const input = el('input', {
      class: 'num', type: 'text', inputmode: integer ? 'numeric' : 'decimal', spellcheck: 'false',
      autocomplete: 'off', 'data-testid': 'number', 'aria-label': ctl.label,
    });
    let slider = null;
    if (r && r.max > r.min) {
      slider = el('input', {
        class: 'slider', type: 'range', min: r.min, max: r.max,
        step: integer ? (r.step > 0 ? r.step : 1) : 'any', 'data-testid': 'slider', tabindex: '-1',
        'aria-label': ctl.label,
      });
    }
    const field = el('div', { class: 'ctl-field' }, slider,
      el('span', { class: 'num-wrap' }, input, unit ? el('span', { class: 'unit', text: unit }) : null));
    const row = el('div', { class: `ctl number${slider ? ' has-slider' : ''}`, 'data-testid': 'control', 'data-id': ctl.id, 'data-class': ctl.class },
      el('label', { class: 'ctl-label', text: ctl.label, title: ctl.help || ctl.label }), field);
    super(ctl, row, api);
    this.integer = integer;
    this.input = input;
    this.slider = slider;
    this.editing = false; // typed into since the last send
    this.dragging = false;
    this.sender = makeSender((v) => this.post(v));

    input.addEventListener('input', () => { this.editing = true; });
    input.addEventListener('change', () => this.commitTyped());
    input.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') {
        e.preventDefault();
        this.commitTyped();
      } else if (e.key === 'Escape') {
        this.editing = false;
        this.show(this.value);
        input.blur();
      } else if (e.key === 'ArrowUp' || e.key === 'ArrowDown') {
        e.preventDefault();
        this.nudge(e.key === 'ArrowUp' ? 1 : -1, e.shiftKey);
      }
    });

    if (slider) {
      slider.addEventListener('pointerdown', () => { this.dragging = true; });
      slider.addEventListener('input', () => {
        this.dragging = true;
        const shown = this.slid();
        input.value = formatShown(shown, integer, ctl.class);
        this.sender.throttled(this.stored(shown));
      });
      slider.addEventListener('change', () => {
        // The release sends the final value unless the drag already did.
        const v = this.stored(this.slid());
        if (this.sender.last() !== v || this.sender.waiting()) this.sender.now(v);
        this.dragging = false;
      });
      const release = () => {
        // A click without movement fires no change; stop holding the slider back.
        setTimeout(() => { this.dragging = false; }, 0);
      };
      slider.addEventListener('pointerup', release);
      slider.addEventListener('pointercancel', release);
    }
  }

  // The slider's value; real ones in steps of a thousandth of the range so
  // dragging gives round numbers.
  slid() {
    const v = Number(this.slider.value);
    if (this.integer) return v;
    const q = (Number(this.slider.max) - Number(this.slider.min)) / 1000;
    return Number((Math.round(v / q) * q).toPrecision(6));
  }

  stored(shown) {
    const v = toStored(this.ctl.class, shown);
    return this.integer ? Math.round(v) : v;
  }

  nudge(dir, big) {
    const cur = parseShown(this.input.value);
    if (!Number.isFinite(cur)) return;
    const step = this.integer ? 1 : (this.slider ? (Number(this.slider.max) - Number(this.slider.min)) / 100 : 0.1);
    const next = cur + dir * step * (big ? 10 : 1);
    this.input.value = formatShown(next, this.integer, this.ctl.class);
    this.editing = true;
    this.commitTyped();
  }

  commitTyped() {
    if (!this.editing) return;
    this.editing = false;
    // The text as shown (rounded) goes back unsent: the stored value stays.
    if (this.input.value.trim() === formatShown(toShown(this.ctl.class, this.value), this.integer, this.ctl.class)) return;
    const shown = parseShown(this.input.value);
    if (!Number.isFinite(shown)) {
      this.api.error(`${this.ctl.label || 'Value'}: “${this.input.value}” is not a number.`);
      this.show(this.value);
      return;
    }
    // Integer data goes as typed so the server can refuse a fraction.
    const v = this.integer ? shown : toStored(this.ctl.class, shown);
    if (this.slider) this.slider.value = String(shown);
    this.sender.now(v);
  }

  async post(v) {
    const ok = await this.send(v);
    // Show the stored value once the states have caught up with this edit
    // (or at once when it was refused); a newer state is on its way otherwise.
    if (!this.sender.waiting() && !this.dragging && (!ok || this.current())) this.show(this.value);
  }

  show(stored) {
    if (typeof stored !== 'number') return;
    const shown = toShown(this.ctl.class, stored);
    if (!this.editing) this.input.value = formatShown(shown, this.integer, this.ctl.class);
    if (this.slider && !this.dragging) this.slider.value = String(shown);
  }

  setValue(v) {
    this.value = v;
    // Hold back while the slider is held, values are on the way or the
    // state predates the last edit.
    if (this.dragging || !this.sender.idle() || !this.current()) return;
    this.show(v);
  }
}

class CheckWidget extends Widget {
  constructor(ctl, api) {
    const box = el('input', { type: 'checkbox', 'data-testid': 'checkbox', 'aria-label': ctl.label });
    const row = el('div', { class: 'ctl check-row', 'data-testid': 'control', 'data-id': ctl.id, 'data-class': ctl.class },
      el('span', { class: 'ctl-label', text: ctl.label, title: ctl.help || ctl.label }),
      el('label', { class: 'ctl-field' }, box));
    super(ctl, row, api);
    this.box = box;
    box.addEventListener('change', async () => {
      if (!(await this.send(box.checked))) box.checked = !!this.value;
    });
  }

  setValue(v) {
    this.value = v;
    if (this.current()) this.box.checked = !!v;
  }
}

class PopupWidget extends Widget {
  constructor(ctl, choices, api) {
    const button = el('button', { type: 'button', class: 'popup', 'data-testid': 'popup', 'aria-haspopup': 'listbox', 'aria-label': ctl.label },
      el('span', { class: 'popup-text' }), el('span', { class: 'popup-arrow', text: '▾' }));
    const row = el('div', { class: 'ctl popup-row', 'data-testid': 'control', 'data-id': ctl.id, 'data-class': ctl.class },
      el('span', { class: 'ctl-label', text: ctl.label, title: ctl.help || ctl.label }),
      el('div', { class: 'ctl-field' }, button));
    super(ctl, row, api);
    this.choices = choices || [];
    this.button = button;
    button.addEventListener('click', () => {
      if (this.disabled) return;
      // Every entry, the current one too, sends a real edit.
      openMenu(button, this.choices, this.value, async (index) => {
        this.show(index);
        if (!(await this.send(index))) this.show(this.value);
      });
    });
  }

  show(index) {
    const text = this.choices[index];
    this.button.firstChild.textContent = text === undefined ? (index === undefined ? '' : `#${index}`) : text;
    this.button.dataset.value = index === undefined ? '' : String(index);
  }

  setValue(v) {
    this.value = v;
    if (this.current()) this.show(v);
  }
}

class ButtonWidget extends Widget {
  constructor(ctl, api) {
    const button = el('button', { type: 'button', class: 'btn ctl-button', 'data-testid': 'button', text: ctl.label });
    const row = el('div', { class: 'ctl button-row', 'data-testid': 'control', 'data-id': ctl.id, 'data-class': ctl.class }, button);
    super(ctl, row, api);
    button.addEventListener('click', () => api.button(this.id, ctl.label));
  }
}

// api: { set(id, value) -> Promise<version or null>, version(), queued(), button(id, label), error(text) }
export function buildPanel(root, panel, api) {
  root.textContent = '';
  setUnits(panel.units);
  const byId = new Map(panel.controls.map((c) => [c.id, c]));
  const groups = new Map((panel.groups || []).map((g) => [g.id, g]));
  const controllers = new Set((panel.enables || []).map((e) => e.controller));
  const dividers = new Set(panel.dividers || []);
  const ranges = panel.ranges || {};
  const choices = panel.choices || {};
  const tabs = (panel.tabs || []).filter((g) => groups.has(g));

  const widgets = new Map();
  const groupOf = new Map(); // control id -> group id of its tab

  function widgetFor(ctl) {
    const key = String(ctl.id);
    switch (ctl.class) {
      case 'sInfo': return new InfoWidget(ctl);
      case 'iPopChoice': return new PopupWidget(ctl, choices[key], api);
      case 'iBoolean': return new CheckWidget(ctl, api);
      case 'vButton': return new ButtonWidget(ctl, api);
      default:
        if (ctl.type === 'iBoolean') return new CheckWidget(ctl, api);
        if (ctl.type === 'sInfo') return new InfoWidget(ctl);
        return new NumberWidget(ctl, ranges[key], api);
    }
  }

  function place(parent, id) {
    const ctl = byId.get(id);
    if (!ctl || controllers.has(id) || widgets.has(id)) return;
    const w = widgetFor(ctl);
    widgets.set(id, w);
    parent.append(w.row);
    if (dividers.has(id)) parent.append(el('hr', { class: 'divider', 'data-testid': 'divider', 'data-after': id }));
  }

  const inTabs = new Set();
  for (const g of tabs) for (const m of groups.get(g).members) inTabs.add(m);

  const tabPages = new Map();
  const tabButtons = new Map();
  let tabBlock = null;

  function selectTab(gid) {
    for (const [id, page] of tabPages) {
      const on = id === gid;
      page.hidden = !on;
      tabButtons.get(id).classList.toggle('active', on);
      tabButtons.get(id).setAttribute('aria-selected', on ? 'true' : 'false');
    }
    try { sessionStorage.setItem('sylvaform.tab', String(gid)); } catch { /* private mode */ }
  }

  function buildTabs(parent) {
    const bar = el('div', { class: 'tabs', role: 'tablist', 'data-testid': 'tabs' });
    const pages = el('div', { class: 'tab-pages' });
    for (const gid of tabs) {
      const g = groups.get(gid);
      const b = el('button', { type: 'button', class: 'tab', role: 'tab', 'data-testid': 'tab', 'data-id': gid, text: g.label });
      b.addEventListener('click', () => selectTab(gid));
      bar.append(b);
      const page = el('div', { class: 'tab-page', role: 'tabpanel', 'data-testid': 'tab-page', 'data-id': gid });
      page.hidden = true;
      pages.append(page);
      tabButtons.set(gid, b);
      tabPages.set(gid, page);
      for (const m of g.members) {
        groupOf.set(m, gid);
        place(page, m);
      }
    }
    tabBlock = el('div', { class: 'tab-block', 'data-testid': 'tab-block' }, bar, pages);
    parent.append(tabBlock);
  }

  for (const ctl of panel.controls) {
    if (inTabs.has(ctl.id)) {
      if (!tabBlock) buildTabs(root);
      continue;
    }
    place(root, ctl.id);
  }
  if (!tabBlock && tabs.length) buildTabs(root);

  if (tabs.length) {
    let saved = NaN;
    try { saved = Number(sessionStorage.getItem('sylvaform.tab')); } catch { /* private mode */ }
    selectTab(tabPages.has(saved) ? saved : tabs[0]);
  }

  return {
    update(state) {
      const values = state.values || {};
      const greyed = new Set(state.greyed || []);
      for (const [id, w] of widgets) {
        const key = String(id);
        if (Object.prototype.hasOwnProperty.call(values, key)) w.setValue(values[key]);
        const g = groupOf.get(id);
        w.setDisabled(greyed.has(id) || (g !== undefined && greyed.has(g)));
      }
      for (const [gid, page] of tabPages) {
        const off = greyed.has(gid);
        page.classList.toggle('greyed', off);
        page.toggleAttribute('data-greyed', off);
        tabButtons.get(gid).classList.toggle('greyed', off);
      }
    },
  };
}
