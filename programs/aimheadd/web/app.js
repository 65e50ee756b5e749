// SPDX-License-Identifier: MIT
'use strict';
// The aiming page: draws the head's state as the daemon streams it, and
// sends moves. Angles are milliradians in the caller's frame; on the pad,
// pan runs left to right and tilt bottom to top.

const TRAVEL = { pan: [-1780, 1780], tilt: [1037, 3171] };
const NUDGE = 20;
const NUDGE_LARGE = 200;

const $ = (id) => document.getElementById(id);
const pad = $('pad');
let state = null;
let token = takeToken();

// A token given as #token=... is kept for this browser and taken out of the address.
function takeToken() {
  const given = new URLSearchParams(location.hash.slice(1)).get('token');
  if (given) {
    localStorage.setItem('aimhead-token', given);
    history.replaceState(null, '', location.pathname);
  }
  return localStorage.getItem('aimhead-token') || '';
}

function clamp(value, [low, high]) { return Math.min(high, Math.max(low, Math.round(value))); }
function angles(a) { return a ? `pan ${a.pan}, tilt ${a.tilt} mrad` : '–'; }

function place(element, a) {
  element.setAttribute('visibility', a ? 'visible' : 'hidden');
  if (!a) return;
  if (element.tagName === 'circle') {
    element.setAttribute('cx', a.pan);
    element.setAttribute('cy', -a.tilt);
  } else {
    element.setAttribute('transform', `translate(${a.pan} ${-a.tilt})`);
  }
}

function render(next) {
  state = next;
  const up = state.link === 'up';
  document.body.className = up ? 'link-up' : 'link-down';
  $('link').textContent = `link ${state.link}`;
  const banner = $('banner');
  banner.hidden = up;
  banner.textContent = up ? '' : `The link to the head is down${state.reason ? ': ' + state.reason : ''}. ` +
    'The daemon keeps trying to reopen it.';
  for (const control of document.querySelectorAll('#controls button')) control.disabled = !up;
  place($('position'), state.position);
  place($('target'), state.target);
  $('position').dataset.at = state.at;
  $('position-text').textContent = angles(state.position);
  $('target-text').textContent = angles(state.target);
}

function say(text) { $('message').textContent = text; }

async function send(method, path, body) {
  const headers = { 'Content-Type': 'application/json' };
  if (token) headers.Authorization = `Bearer ${token}`;
  const response = await fetch(path, { method, headers, body: body && JSON.stringify(body) });
  const reply = await response.json().catch(() => ({}));
  if (response.status === 403 && /token/.test(reply.error || '')) {
    const given = prompt('This daemon needs its token for changes (it logs it at start):');
    if (given) {
      token = given;
      localStorage.setItem('aimhead-token', token);
      return send(method, path, body);
    }
  }
  if (!response.ok) say(reply.error || `${method} ${path}: ${response.status}`);
  else say('');
  return { response, reply };
}

// One move in flight at a time; a newer aim replaces the waiting one, so a
// drag or a held key never queues up stale targets.
let inFlight = false;
let waiting = null;
async function aim(pan, tilt) {
  waiting = { pan: clamp(pan, TRAVEL.pan), tilt: clamp(tilt, TRAVEL.tilt) };
  if (inFlight) return;
  inFlight = true;
  try {
    while (waiting) {
      const next = waiting;
      waiting = null;
      await send('POST', '/api/move', next).catch((error) => say(`move: ${error.message}`));
    }
  } finally {
    inFlight = false;
  }
}

function padAngles(event) {
  const point = new DOMPoint(event.clientX, event.clientY).matrixTransform(pad.getScreenCTM().inverse());
  return { pan: point.x, tilt: -point.y };
}

pad.addEventListener('pointerdown', (event) => {
  pad.setPointerCapture(event.pointerId);
  const a = padAngles(event);
  aim(a.pan, a.tilt);
});
pad.addEventListener('pointermove', (event) => {
  if (!pad.hasPointerCapture(event.pointerId)) return;
  const a = padAngles(event);
  aim(a.pan, a.tilt);
});

const ARROWS = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, 1], ArrowDown: [0, -1] };
document.addEventListener('keydown', (event) => {
  const step = ARROWS[event.key];
  if (!step || !state || state.link !== 'up') return;
  event.preventDefault();
  const from = waiting || state.target || state.position;
  if (!from) return;
  const size = event.shiftKey ? NUDGE_LARGE : NUDGE;
  aim(from.pan + step[0] * size, from.tilt + step[1] * size);
});

$('home').addEventListener('click', () => send('POST', '/api/home'));

$('save').addEventListener('click', async () => {
  const name = prompt('Name for this view (letters, digits, - _ .):');
  if (!name) return;
  const { response } = await send('PUT', `/api/presets/${encodeURIComponent(name)}`);
  if (response.ok) loadPresets();
});

async function loadPresets() {
  const response = await fetch('/api/presets');
  const reply = await response.json();
  if (!response.ok) {
    say(reply.error);
    return;
  }
  const list = $('presets');
  list.replaceChildren();
  for (const preset of reply.presets) {
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = preset.name;
    button.dataset.preset = preset.name;
    button.title = angles(preset);
    button.disabled = !state || state.link !== 'up';
    button.addEventListener('click', () => send('POST', `/api/presets/${encodeURIComponent(preset.name)}`));
    list.append(button);
  }
}

const events = new EventSource('/api/events');
events.onmessage = (event) => render(JSON.parse(event.data));
events.onerror = () => {
  if (events.readyState !== EventSource.OPEN) {
    document.body.className = 'link-unknown';
    $('link').textContent = 'daemon unreachable';
  }
};
loadPresets();
