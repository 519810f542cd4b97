// A small pop-up menu under a button. Choosing any entry, the current one
// included, calls back, which a <select> would not do for the current entry.

let open = null;

function close() {
  if (!open) return;
  const { menu, anchor, onDoc, onKey } = open;
  open = null;
  menu.remove();
  anchor.classList.remove('open');
  anchor.setAttribute('aria-expanded', 'false');
  document.removeEventListener('mousedown', onDoc, true);
  document.removeEventListener('keydown', onKey, true);
  window.removeEventListener('resize', close);
  window.removeEventListener('blur', close);
}

export function closeMenu() {
  close();
}

export function openMenu(anchor, entries, current, onPick) {
  const again = open && open.anchor === anchor;
  close();
  if (again) return; // a second click on the button closes it

  const menu = document.createElement('div');
  menu.className = 'menu';
  menu.setAttribute('role', 'listbox');
  menu.dataset.testid = 'menu';
  entries.forEach((text, i) => {
    const item = document.createElement('button');
    item.type = 'button';
    item.className = 'menu-item' + (i === current ? ' current' : '');
    item.setAttribute('role', 'option');
    item.setAttribute('aria-selected', i === current ? 'true' : 'false');
    item.dataset.testid = 'menu-item';
    item.dataset.index = String(i);
    item.textContent = text;
    item.addEventListener('click', (e) => {
      e.stopPropagation();
      close();
      onPick(i);
    });
    menu.append(item);
  });
  document.body.append(menu);

  const r = anchor.getBoundingClientRect();
  menu.style.minWidth = `${Math.round(r.width)}px`;
  const h = menu.offsetHeight;
  const below = window.innerHeight - r.bottom;
  const top = below >= h + 4 || below >= r.top ? r.bottom + 2 : Math.max(4, r.top - h - 2);
  menu.style.left = `${Math.round(Math.min(r.left, window.innerWidth - menu.offsetWidth - 4))}px`;
  menu.style.top = `${Math.round(top)}px`;

  const onDoc = (e) => {
    if (!menu.contains(e.target) && !anchor.contains(e.target)) close();
  };
  const onKey = (e) => {
    const items = [...menu.querySelectorAll('.menu-item')];
    const at = items.indexOf(document.activeElement);
    if (e.key === 'Escape') {
      e.preventDefault();
      close();
      anchor.focus();
    } else if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
      e.preventDefault();
      const n = items.length;
      const next = at < 0 ? Math.max(0, current ?? 0) : (at + (e.key === 'ArrowDown' ? 1 : n - 1)) % n;
      items[next]?.focus();
    }
  };
  document.addEventListener('mousedown', onDoc, true);
  document.addEventListener('keydown', onKey, true);
  window.addEventListener('resize', close);
  window.addEventListener('blur', close);
  open = { menu, anchor, onDoc, onKey };
  anchor.classList.add('open');
  anchor.setAttribute('aria-expanded', 'true');
  const cur = menu.querySelector('.menu-item.current');
  if (cur) cur.scrollIntoView({ block: 'nearest' });
}
