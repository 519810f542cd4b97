// Stored units (radians, fractions) versus the units a control shows
// (degrees, percent), after the control's class.

const DEG = 180 / Math.PI;

export function shownFactor(cls) {
  if (cls === 'percent') return 100;
  if (cls === 'angle') return DEG;
  return 1;
}

export function unitSuffix(cls) {
  if (cls === 'percent') return '%';
  if (cls === 'angle') return '°';
  return '';
}

export function toShown(cls, stored) {
  return stored * shownFactor(cls);
}

export function toStored(cls, shown) {
  const f = shownFactor(cls);
  return f === 1 ? shown : shown / f;
}

// Range hints come in shown units except percent bounds, which are fractions.
export function shownRange(cls, r) {
  if (!r) return null;
  const f = cls === 'percent' ? 100 : 1;
  return { min: r.min * f, max: r.max * f, step: r.step };
}

// Text for a shown value: whole numbers for integer data, else at most
// six significant digits so 0.1 + 0.2 reads 0.3.
export function formatShown(v, integer) {
  if (typeof v !== 'number' || !Number.isFinite(v)) return '';
  if (integer) return String(Math.round(v));
  const r = Number(v.toPrecision(6));
  return String(Object.is(r, -0) ? 0 : r);
}

// Parses what a person typed; accepts a trailing unit sign and a decimal comma.
export function parseShown(text) {
  const t = String(text).trim().replace(/[%°]\s*$/, '').trim().replace(',', '.');
  if (t === '') return NaN;
  return Number(t);
}
