// Stored units (radians, fractions) versus the units a control shows
// (degrees, percent), after the control's class. The table comes from the
// server with the panel ("units": per class its scales, sign and whether
// range hints are in shown units): shown = stored * shown_scale / stored_scale.

let table = {};

export function setUnits(units) {
  table = units || {};
}

export function shownFactor(cls) {
  const u = table[cls];
  return u ? u.shown_scale / u.stored_scale : 1;
}

export function unitSuffix(cls) {
  const u = table[cls];
  return u ? u.sign : '';
}

export function toShown(cls, stored) {
  return stored * shownFactor(cls);
}

export function toStored(cls, shown) {
  const f = shownFactor(cls);
  return f === 1 ? shown : shown / f;
}

// Range hints come in shown units except where the table says they are
// stored values (percent bounds are fractions).
export function shownRange(cls, r) {
  if (!r) return null;
  const u = table[cls];
  const f = u && !u.bounds_shown ? shownFactor(cls) : 1;
  return { min: r.min * f, max: r.max * f, step: r.step };
}

// Text for a shown value: whole numbers for integer data, angles to a
// tenth of a degree, else at most six significant digits so 0.1 + 0.2
// reads 0.3.
export function formatShown(v, integer, cls) {
  if (typeof v !== 'number' || !Number.isFinite(v)) return '';
  if (integer) return String(Math.round(v));
  const angle = cls && table[cls] && table[cls].sign === '°';
  const r = angle ? Number(v.toFixed(1)) : Number(v.toPrecision(6));
  return String(Object.is(r, -0) ? 0 : r);
}

// Parses what a person typed; accepts a trailing unit sign and a decimal comma.
export function parseShown(text) {
  let t = String(text).trim();
  for (const u of Object.values(table))
    if (u.sign && t.endsWith(u.sign)) {
      t = t.slice(0, -u.sign.length);
      break;
    }
  t = t.trim().replace(',', '.');
  if (t === '') return NaN;
  return Number(t);
}
