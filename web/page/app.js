// The control page: logs in, draws the outputs × inputs grid from the server's state, switches and
// renames through the JSON API, and follows every change through the server's push stream.
'use strict';

const INPUTS = 16;
const ROWS = ['1', '2', 'both'];  // the two outputs and "both outputs"

const $ = (id) => document.getElementById(id);
let state = null;
let stream = null;
let retry = null;
let quiet = null;  // fires when the stream has said nothing for too long
// The server sends a state or a beat at least every 15 s; past two of them and a margin, the server
// or the way to it is gone even though no connection was closed (a hung machine, a pulled cable).
const QUIET_LIMIT_MS = 40000;
let messageTimer = null;

// A request the browser could not send within this time is given up, never sent later: a browser
// holds a request back while all its connections to the server are busy.
const CALL_LIMIT_MS = 10000;
const TOO_LATE = 'The server did not answer in time.';

async function call(path, body, limit = CALL_LIMIT_MS) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), limit);
  const options = { credentials: 'same-origin', headers: {}, signal: abort.signal };
  if (body !== undefined) {
    options.method = 'POST';
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  let res;
  let data = null;
  try {
    res = await fetch(path, options);
    try { data = await res.json(); } catch (e) { /* 204 and friends have no body */ }
  } catch (e) {
    const error = abort.signal.aborted ? TOO_LATE : 'The server cannot be reached.';
    return { status: 0, data: { error } };
  } finally {
    clearTimeout(timer);
  }
  return { status: res.status, data };
}

function say(text, bad) {
  const m = $('message');
  m.textContent = text;
  m.classList.toggle('error', !!bad);
  clearTimeout(messageTimer);
  if (text) messageTimer = setTimeout(() => { m.textContent = ''; }, 5000);
}

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

// Places a matrix item: wide screens have outputs as rows, narrow ones as columns.
function place(e, row, col) {
  e.style.setProperty('--wr', row);
  e.style.setProperty('--wc', col);
  e.style.setProperty('--nr', col);
  e.style.setProperty('--nc', row);
}

function buildMatrix() {
  const m = $('matrix');
  m.textContent = '';
  const corner = el('div', 'corner');
  place(corner, 1, 1);
  m.append(corner);
  for (let i = 1; i <= INPUTS; i++) {
    const head = el('div', 'head in-head');
    head.dataset.input = i;
    head.append(el('span', 'num', String(i)), editable('input', i));
    place(head, 1, i + 1);
    m.append(head);
  }
  ROWS.forEach((o, r) => {
    const head = el('div', 'head out-head');
    head.dataset.output = o;
    if (o === 'both') head.append(el('span', 'out-label', 'Both outputs'));
    else head.append(editable('output', Number(o)));
    place(head, r + 2, 1);
    m.append(head);
    for (let i = 1; i <= INPUTS; i++) {
      const cell = el('button', 'cell');
      cell.type = 'button';
      cell.dataset.output = o;
      cell.dataset.input = i;
      cell.append(el('span', 'num', String(i)), el('span', 'cell-label'));
      cell.addEventListener('click', () => route(o, i, cell));
      place(cell, r + 2, i + 1);
      m.append(cell);
    }
  });
}

// A name that turns into a text field when tapped; Enter or leaving the field saves it.
function editable(kind, index) {
  const span = el('span', kind === 'input' ? 'in-label' : 'out-label');
  span.dataset.kind = kind;
  span.dataset.index = index;
  span.tabIndex = 0;
  span.title = 'Rename';
  const start = () => {
    if (span.querySelector('input')) return;
    const field = el('input', 'rename');
    const before = span.textContent;  // another face may rename it while the field is open
    field.value = before;
    field.maxLength = 40;
    field.setAttribute('aria-label', 'New name');
    let done = false;
    const finish = async (save) => {
      if (done) return;
      done = true;
      const typed = field.value;
      const label = typed.trim();
      field.remove();
      render();
      // A name left as it was is not saved, even one with blanks at its ends (from another face),
      // nor one renamed elsewhere meanwhile: saving the old text would undo that rename.
      const current = labelOf(kind, index);
      if (!save || !label || typed === before || typed === current || label === current) return;
      const r = await call('/api/label', { kind, index, label });
      if (r.status === 401) return showLogin();
      say(r.status === 200 ? '' : errorText(r), r.status !== 200);
    };
    field.addEventListener('keydown', (ev) => {
      // Kept from the name around the field, whose Enter would open the field again.
      ev.stopPropagation();
      if (ev.key === 'Enter') { ev.preventDefault(); finish(true); }
      if (ev.key === 'Escape') finish(false);
    });
    field.addEventListener('blur', () => finish(true));
    span.textContent = '';
    span.append(field);
    field.focus();
    field.select();
  };
  span.addEventListener('click', start);
  span.addEventListener('keydown', (ev) => { if (ev.key === 'Enter' && ev.target === span) start(); });
  return span;
}

function labelOf(kind, index) {
  if (!state) return '';
  const list = kind === 'input' ? state.inputs : state.outputs;
  return list[index - 1].label;
}

function errorText(r) {
  return (r.data && r.data.error) ? r.data.error : 'The server answered ' + r.status + '.';
}

// Taps go out one after another, in the order they were made: sent side by side, they could reach
// the server in any order and leave an output showing an earlier tap than the last. Each keeps its
// own time limit from the moment it was made, and a logout drops those still waiting.
let taps = Promise.resolve();
let tapRound = 0;

function route(output, input, cell) {
  cell.classList.add('busy');
  const deadline = Date.now() + CALL_LIMIT_MS;
  const round = tapRound;
  const send = () => sendRoute(output, input, cell, deadline, round);
  taps = taps.then(send, send);
}

async function sendRoute(output, input, cell, deadline, round) {
  const left = deadline - Date.now();
  if (round !== tapRound || left <= 0) {
    cell.classList.remove('busy');
    if (round === tapRound) say(TOO_LATE, true);
    return;
  }
  const r = await call('/api/route', { output: output === 'both' ? 'both' : Number(output), input }, left);
  cell.classList.remove('busy');
  if (r.status === 401) return showLogin();
  say(r.status === 200 ? '' : errorText(r), r.status !== 200);
}

function sinceText(iso) {
  if (!iso) return '';
  const t = new Date(iso);
  if (isNaN(t)) return '';
  const sameDay = t.toDateString() === new Date().toDateString();
  return ' since ' + (sameDay ? t.toLocaleTimeString() : t.toLocaleString());
}

function render() {
  if (!state) return;
  const s = state;
  const up = s.serial === 'up';
  $('serial').textContent = 'Serial line ' + (up ? 'up' : 'down') + sinceText(s.serialSince);
  $('serial-dot').className = 'dot ' + (up ? 'good' : 'bad');
  const c = s.client || {};
  $('client').textContent =
      c.state === 'connected' ? 'Line client connected from ' + c.address
    : c.state === 'waiting' ? 'Line client: waiting for a connection'
    : 'Line client: not served';
  $('client-dot').className = 'dot ' + (c.state === 'connected' ? 'good' : c.state === 'waiting' ? 'idle' : 'bad');
  $('status').textContent = s.status || '';
  $('status').title = s.status || '';  // the line shows what fits; the whole text on hover

  const now = $('now');
  now.textContent = '';
  s.outputs.forEach((o) => {
    const card = el('div', 'out-card');
    card.dataset.output = o.index;
    card.dataset.input = o.input === null ? '' : o.input;
    card.append(el('div', 'caption', o.label));
    const shows = el('div', 'shows');
    if (o.input === null) shows.append(el('span', 'unknown', 'not known yet'));
    else shows.append(el('span', 'big', String(o.input)), el('span', 'what', s.inputs[o.input - 1].label));
    card.append(shows);
    now.append(card);
  });

  document.querySelectorAll('.in-label, .out-label[data-kind]').forEach((span) => {
    if (span.querySelector('input')) return;  // being renamed
    span.textContent = labelOf(span.dataset.kind, Number(span.dataset.index));
  });
  const in1 = s.outputs[0].input;
  const in2 = s.outputs[1].input;
  document.querySelectorAll('.cell').forEach((cell) => {
    const i = Number(cell.dataset.input);
    const o = cell.dataset.output;
    const on = o === 'both' ? (in1 === i && in2 === i) : s.outputs[Number(o) - 1].input === i;
    cell.classList.toggle('on', on);
    cell.setAttribute('aria-pressed', on ? 'true' : 'false');
    cell.lastChild.textContent = s.inputs[i - 1].label;
    const target = o === 'both' ? 'both outputs' : s.outputs[Number(o) - 1].label;
    cell.title = target + ' ← ' + i + ' ' + s.inputs[i - 1].label;
  });
}

function stopFollowing() {
  if (stream) { stream.close(); stream = null; }
  clearTimeout(retry);
  clearTimeout(quiet);
}

// Each word from the server shows it is still there; silence past the limit shows the page is
// offline and opens a new stream (the old one may never learn that its connection is dead).
function heard() {
  clearTimeout(quiet);
  quiet = setTimeout(() => { $('offline').hidden = false; follow(); }, QUIET_LIMIT_MS);
}

function follow() {
  stopFollowing();
  if (document.hidden) return;  // a hidden tab follows again once it is shown
  stream = new EventSource('/api/events');
  heard();
  stream.addEventListener('beat', heard);
  stream.onmessage = (ev) => {
    heard();
    $('offline').hidden = true;
    try { state = JSON.parse(ev.data); } catch (e) { return; }
    render();
  };
  stream.onerror = () => {
    $('offline').hidden = false;
    if (stream.readyState !== EventSource.CLOSED) return;  // the browser reconnects by itself
    // Refused (logged out, too many pages): find out which, then try again later.
    stream = null;
    retry = setTimeout(start, 3000);
  };
}

function showLogin() {
  tapRound++;  // taps made before are not sent with the next login
  stopFollowing();
  $('main-view').hidden = true;
  $('logout').hidden = true;
  $('login-view').hidden = false;
  $('password').focus();
}

async function start() {
  const r = await call('/api/state');
  if (r.status === 401) return showLogin();
  if (r.status !== 200) {
    // The offline line is in the main view: shown, so that the page is never blank.
    $('login-view').hidden = true;
    $('main-view').hidden = false;
    $('offline').hidden = false;
    clearTimeout(retry);
    retry = setTimeout(start, 3000);
    return;
  }
  $('login-view').hidden = true;
  $('main-view').hidden = false;
  $('logout').hidden = false;
  $('offline').hidden = true;
  state = r.data;
  render();
  follow();
}

// A browser opens at most six connections to a site: a page in a hidden tab lets go of its push
// stream, so that tabs left open cannot take every connection and hold back the next click.
document.addEventListener('visibilitychange', () => {
  if (!$('login-view').hidden) return;  // the login form has no stream
  // What the page shows while hidden is not followed: marked offline until a fresh state is in,
  // which may take until the call's limit when the server has gone silent.
  $('offline').hidden = false;
  if (document.hidden) stopFollowing();
  else start();
});

document.addEventListener('DOMContentLoaded', () => {
  buildMatrix();
  $('login-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const field = $('password');
    const r = await call('/api/login', { password: field.value });
    field.value = '';
    if (r.status === 204) {
      $('login-error').textContent = '';
      return start();
    }
    $('login-error').textContent =
        r.status === 401 ? 'Wrong password.'
      : r.status === 429 ? 'Too many wrong passwords: wait a minute.'
      : errorText(r);
  });
  $('logout').addEventListener('click', async () => {
    // Only an answer ends the session; with the server out of reach the page stays logged in
    // and says so, since the session would still be valid on the server.
    const r = await call('/api/logout', {});
    if (r.status === 204 || r.status === 401) showLogin();
    else say(errorText(r), true);
  });
  start();
});
