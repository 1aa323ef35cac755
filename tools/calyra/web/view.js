// The live view: traces of the last 10 seconds, grades, spectrum, status
// and the annotation box, fed by the server's event stream. The frame
// formats are described in tools/calyra/view/frame_codec.h.
'use strict';

const WINDOW_SECONDS = 10;
// The server takes annotations of at most this many bytes of UTF-8.
const MAX_ANNOTATION_BYTES = 500;
const SCALES = [5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000];

const $ = (id) => document.getElementById(id);

// The token comes in the address calyra printed. It is taken out of the
// address bar at once (and kept for this tab only, so that a reload still
// works) and sent with each request; never in a cookie, which browsers
// would also send to every other server on this host.
const token = (() => {
  const fromAddress = new URLSearchParams(location.search).get('token');
  if (fromAddress) {
    sessionStorage.setItem('calyra-token', fromAddress);
    history.replaceState(null, '', location.pathname);
  }
  return fromAddress || sessionStorage.getItem('calyra-token') || '';
})();
const view = {
  setup: null,
  capacity: 0,        // buckets in the window
  latest: -1,         // newest bucket number
  channels: [],       // per electrode: {raw, filtered: Float32Array(2 * capacity), row, canvas, ...}
  flags: null,        // Uint8Array(capacity)
  filtered: false,
  scale: 4,           // index into SCALES: half a row's height in the unit
  spectrum: null,
  annotations: [],    // sample numbers, drawn as marks on the traces
  leftOut: 0,         // annotations the server could not send this page
  dirty: true,
};

function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
  return new DataView(bytes.buffer);
}

function onSetup(setup) {
  view.setup = setup;
  view.capacity = Math.round(WINDOW_SECONDS * setup.rate / setup.bucket);
  view.flags = new Uint8Array(view.capacity);
  view.latest = -1;
  $('device').textContent = setup.device;
  $('rate').textContent = setup.rate + ' Hz';
  $('file').textContent = setup.file || 'not recording';
  $('file').title = setup.file;
  const traces = $('traces');
  traces.replaceChildren();
  const select = $('spectrum-channel');
  const chosen = select.value;
  select.replaceChildren();
  view.channels = setup.labels.map((label, i) => {
    const row = document.createElement('div');
    row.className = 'electrode';
    row.dataset.label = label;
    row.dataset.grade = '-';
    row.innerHTML = '<div class="label"><span class="name"></span><span class="grade">-</span>' +
      '<span class="reason"></span></div><canvas></canvas>';
    row.querySelector('.name').textContent = label;
    traces.append(row);
    const option = new Option(label, String(i));
    select.append(option);
    return {
      label, row, canvas: row.querySelector('canvas'),
      raw: new Float32Array(2 * view.capacity), filtered: new Float32Array(2 * view.capacity),
    };
  });
  if (chosen && chosen < view.channels.length) select.value = chosen;
  showScale();
  view.dirty = true;
}

function onSamples(data) {
  const d = bytesOf(data);
  const first = d.getUint32(0, true), count = d.getUint16(4, true), channels = d.getUint16(6, true);
  if (!view.setup || channels !== view.channels.length) return;
  let at = 8 + count;
  for (const variant of ['raw', 'filtered']) {
    for (let ch = 0; ch < channels; ++ch) {
      const store = view.channels[ch][variant];
      for (let b = 0; b < count; ++b, at += 8) {
        const slot = (first + b) % view.capacity;
        store[2 * slot] = d.getFloat32(at, true);
        store[2 * slot + 1] = d.getFloat32(at + 4, true);
      }
    }
  }
  // Buckets skipped (dropped display frames) show as gaps.
  for (let b = Math.max(view.latest + 1, first - view.capacity); b < first; ++b) view.flags[b % view.capacity] = 2;
  for (let b = 0; b < count; ++b) view.flags[(first + b) % view.capacity] = d.getUint8(8 + b);
  view.latest = Math.max(view.latest, first + count - 1);
  const seconds = ((view.latest + 1) * view.setup.bucket / view.setup.rate).toFixed(2);
  for (const c of view.channels) c.row.dataset.latestSeconds = seconds;
  view.dirty = true;
}

function onSpectrum(data) {
  const d = bytesOf(data);
  const channels = d.getUint16(0, true), bins = d.getUint16(2, true), binHz = d.getFloat32(4, true);
  const amplitudes = [];
  for (let ch = 0, at = 8; ch < channels; ++ch) {
    const a = new Float32Array(bins);
    for (let k = 0; k < bins; ++k, at += 4) a[k] = d.getFloat32(at, true);
    amplitudes.push(a);
  }
  view.spectrum = { binHz, amplitudes };
  drawSpectrum();
}

function onStatus(s) {
  const target = view.setup && view.setup.target > 0 ? ' / ' + view.setup.target.toFixed(1) + ' s' : '';
  $('elapsed').textContent = s.elapsed.toFixed(1) + ' s' + target;
  $('loss').textContent = s.missed + ' packets (' + s.lost + ' samples)' +
    (s.outages > 0 ? ', link lost ' + s.outages + (s.outages === 1 ? ' time' : ' times') : '');
  $('link').textContent = s.link ? s.link.toUpperCase() : '';
  $('battery').textContent = s.battery === null ? '-' : s.battery + ' %' + (s.charging ? ' charging' : '');
  s.electrodes.forEach((e, i) => {
    const c = view.channels[i];
    if (!c) return;
    c.row.dataset.grade = e.grade;
    c.row.querySelector('.grade').textContent = e.grade;
    c.row.querySelector('.reason').textContent = e.reason;
    c.row.querySelector('.label').title = c.label + ': ' + e.grade + (e.reason ? ' (' + e.reason + ')' : '');
  });
  if (s.dropped > 0) $('state').textContent = 'live (display skipped ' + s.dropped + ' samples)';
}

// This page fell behind and the server skipped frames for it: they show as gaps.
function onDropped(count) {
  view.droppedFrames = (view.droppedFrames || 0) + Number(count);
  $('state').textContent = 'live (this page missed ' + view.droppedFrames + ' frames)';
}

// More annotations came at once than the server passes on: they are in the
// recording, and the page says how many it does not list.
function onAnnotationsLeftOut(count) {
  view.leftOut += Number(count);
  $('annotations-left-out').textContent = view.leftOut + ' annotations not listed here (they are in the recording)';
}

function onAnnotation(a) {
  const item = document.createElement('li');
  item.textContent = a.seconds.toFixed(2) + ' s  ' + a.text;
  item.dataset.sample = a.sample;
  $('annotations').append(item);
  view.annotations.push(a.sample);
  view.dirty = true;
}

function showScale() {
  const unit = view.setup && view.setup.unit === 'uV' ? 'µV' : (view.setup ? view.setup.unit : '');
  $('scale').textContent = SCALES[view.scale] + ' ' + unit + '/div';
}

function zoom(step) {
  view.scale = Math.min(SCALES.length - 1, Math.max(0, view.scale + step));
  showScale();
  view.dirty = true;
}

function fitCanvas(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const w = Math.round(canvas.clientWidth * ratio), h = Math.round(canvas.clientHeight * ratio);
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
  return [w, h];
}

function drawTraces() {
  const cap = view.capacity;
  const oldest = view.latest - cap + 1;
  for (const c of view.channels) {
    const [w, h] = fitCanvas(c.canvas);
    const g = c.canvas.getContext('2d');
    g.clearRect(0, 0, w, h);
    g.strokeStyle = '#e5e5dd';
    g.beginPath(); g.moveTo(0, h / 2); g.lineTo(w, h / 2); g.stroke();
    if (view.latest < 0) continue;
    // A line every second of the stream, and the annotations.
    const perSecond = view.setup.rate / view.setup.bucket;
    const xOf = (bucket) => ((bucket - oldest) / cap) * w;
    g.beginPath();
    for (let b = Math.ceil(Math.max(0, oldest) / perSecond) * perSecond; b <= view.latest; b += perSecond) {
      g.moveTo(xOf(b), 0); g.lineTo(xOf(b), h);
    }
    g.stroke();
    g.strokeStyle = '#c0392b';
    g.beginPath();
    for (const sample of view.annotations) {
      const b = sample / view.setup.bucket;
      if (b >= oldest && b <= view.latest) { g.moveTo(xOf(b), 0); g.lineTo(xOf(b), h); }
    }
    g.stroke();
    const store = view.filtered ? c.filtered : c.raw;
    // Each trace is centred on its own mean over the window (electrode
    // offsets differ by far more than the signal).
    let sum = 0, n = 0;
    for (let b = Math.max(0, oldest); b <= view.latest; ++b) {
      const s = b % cap;
      if (view.flags[s] === 0) { sum += store[2 * s] + store[2 * s + 1]; n += 2; }
    }
    const centre = n > 0 ? sum / n : 0;
    const pixelsPerUnit = (h / 2) / SCALES[view.scale];
    const y = (v) => h / 2 - (v - centre) * pixelsPerUnit;
    g.strokeStyle = '#1f4e79';
    g.lineWidth = 1;
    g.beginPath();
    let drawing = false;
    for (let b = Math.max(0, oldest); b <= view.latest; ++b) {
      const s = b % cap;
      if (view.flags[s] === 2) { drawing = false; continue; }
      const x = ((b - oldest) / cap) * w;
      if (!drawing) g.moveTo(x, y(store[2 * s + 1])); else g.lineTo(x, y(store[2 * s + 1]));
      g.lineTo(x, y(store[2 * s]));
      drawing = true;
    }
    g.stroke();
    // Filler for lost samples is marked under the trace.
    g.fillStyle = 'rgba(192, 57, 43, 0.5)';
    for (let b = Math.max(0, oldest); b <= view.latest; ++b) {
      if (view.flags[b % cap] === 1) g.fillRect(((b - oldest) / cap) * w, h - 4, Math.max(1, w / cap), 4);
    }
  }
}

// Seconds before now under the traces, on the lines drawn every second.
function drawTimeAxis() {
  const canvas = $('time-axis');
  const [w, h] = fitCanvas(canvas);
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, w, h);
  const first = view.channels[0];
  if (!first) return;
  // The traces start right of the labels.
  const left = first.canvas.getBoundingClientRect().left - canvas.getBoundingClientRect().left;
  const width = first.canvas.clientWidth;
  const ratio = window.devicePixelRatio || 1;
  g.font = (11 * ratio) + 'px system-ui, sans-serif';
  g.fillStyle = '#6b7280';
  g.textBaseline = 'middle';
  g.textAlign = 'right';
  g.fillText('time (s)', (left - 8) * ratio, h / 2);
  for (let s = 0; s <= WINDOW_SECONDS; s += 1) {
    const x = (left + width * (1 - s / WINDOW_SECONDS)) * ratio;
    g.textAlign = s === 0 ? 'right' : s === WINDOW_SECONDS ? 'left' : 'center';
    g.fillText(s === 0 ? 'now' : '-' + s, x, h / 2);
  }
}

function drawSpectrum() {
  const canvas = $('spectrum');
  const [w, h] = fitCanvas(canvas);
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, w, h);
  const s = view.spectrum;
  const ch = Number($('spectrum-channel').value || 0);
  if (!s || !s.amplitudes[ch]) return;
  const a = s.amplitudes[ch];
  const left = 44, bottom = h - 22, top = 8, topHz = 60;  // in canvas pixels
  // Logarithmic amplitude axis: three decades below the largest bin.
  let peak = 1e-6;
  for (let k = 1; k < a.length; ++k) peak = Math.max(peak, a[k]);
  const high = Math.ceil(Math.log10(peak)), low = high - 3;
  const x = (hz) => left + (hz / topHz) * (w - left - 8);
  const y = (v) => top + (high - Math.log10(Math.max(v, 10 ** low))) / (high - low) * (bottom - top);
  g.font = '11px system-ui, sans-serif';
  g.fillStyle = '#6b7280';
  g.strokeStyle = '#e5e5dd';
  for (let hz = 0; hz <= topHz; hz += 10) {
    g.beginPath(); g.moveTo(x(hz), top); g.lineTo(x(hz), bottom); g.stroke();
    g.textAlign = hz === 0 ? 'left' : hz === topHz ? 'right' : 'center';
    g.fillText(hz + ' Hz', x(hz), h - 6);
  }
  g.textAlign = 'left';
  const unit = view.setup && view.setup.unit === 'uV' ? 'µV' : (view.setup ? view.setup.unit : '');
  for (let e = low; e <= high; ++e) {
    g.beginPath(); g.moveTo(left, y(10 ** e)); g.lineTo(w - 8, y(10 ** e)); g.stroke();
    g.fillText(String(10 ** e), 2, y(10 ** e) + 4);
  }
  g.fillText('amplitude (' + unit + ')', left + 4, top + 10);
  g.strokeStyle = '#1f4e79';
  g.beginPath();
  for (let k = 0; k < a.length; ++k) {
    const hz = k * s.binHz;
    if (k === 0) g.moveTo(x(hz), y(a[k])); else g.lineTo(x(hz), y(a[k]));
  }
  g.stroke();
}

function frame() {
  if (view.dirty) { view.dirty = false; drawTraces(); drawTimeAxis(); }
  requestAnimationFrame(frame);
}

function connect() {
  const events = new EventSource('/events?token=' + encodeURIComponent(token));
  const json = (handler) => (e) => handler(JSON.parse(e.data));
  events.addEventListener('setup', json(onSetup));
  events.addEventListener('samples', (e) => onSamples(e.data));
  events.addEventListener('spectrum', (e) => onSpectrum(e.data));
  events.addEventListener('status', json(onStatus));
  events.addEventListener('annotation', json(onAnnotation));
  events.addEventListener('dropped', (e) => onDropped(e.data));
  events.addEventListener('annotations-left-out', (e) => onAnnotationsLeftOut(e.data));
  // Too many pages are open: the server says so and closes this stream,
  // and the browser asks again a few seconds later.
  events.addEventListener('busy', json((e) => {
    $('state').textContent = 'not shown: calyra serves at most ' + e.limit +
      ' open pages at once; close another one (retrying every few seconds)';
    $('state').className = 'busy';
    view.busy = true;
  }));
  events.addEventListener('end', json((e) => {
    events.close();
    $('state').textContent = 'stream ended' + (e.reason ? ': ' + e.reason : '');
    $('state').className = 'ended';
  }));
  events.addEventListener('setup', () => { view.busy = false; $('state').textContent = 'live'; $('state').className = ''; });
  events.onerror = () => {
    if (view.busy) return;  // keeps saying why
    if (events.readyState !== EventSource.CLOSED) {
      $('state').textContent = 'reconnecting';
    } else if (!view.setup) {
      $('state').textContent = 'refused: open the address calyra printed (it holds the token)';
      $('state').className = 'ended';
    }
  };
}

async function annotate(event) {
  event.preventDefault();
  const input = $('annotation-text');
  const text = input.value.trim();
  if (!text) return;
  try {
    const answer = await fetch('/annotation', {
      method: 'POST', body: text,
      headers: { 'Content-Type': 'text/plain; charset=utf-8', 'X-Calyra-Token': token },
    });
    const reply = await answer.text();
    let said = reply;
    try { said = JSON.parse(reply).message; } catch (e) { /* a plain-text refusal */ }
    if (answer.ok) {
      input.value = '';
      showAnnotationBytes();
      $('annotate-result').textContent = 'stored: ' + said;
    } else {
      $('annotate-result').textContent = 'not stored: ' + said;
    }
  } catch (e) {
    $('annotate-result').textContent = 'not stored: ' + e.message;
  }
}

// The box holds at most what the server takes, counted in bytes of UTF-8:
// a longer text is cut at the last whole character that fits.
const utf8 = new TextEncoder();
function showAnnotationBytes() {
  const input = $('annotation-text');
  let text = input.value;
  if (utf8.encode(text).length > MAX_ANNOTATION_BYTES) {
    const chars = [...text];
    while (utf8.encode(chars.join('')).length > MAX_ANNOTATION_BYTES) chars.pop();
    text = chars.join('');
    input.value = text;
  }
  const used = utf8.encode(text).length;
  $('annotation-bytes').textContent = used > MAX_ANNOTATION_BYTES * 0.8 ? used + ' of ' + MAX_ANNOTATION_BYTES + ' bytes' : '';
}

$('filter').addEventListener('change', (e) => { view.filtered = e.target.checked; view.dirty = true; });
$('zoom-in').addEventListener('click', () => zoom(-1));
$('zoom-out').addEventListener('click', () => zoom(1));
$('spectrum-channel').addEventListener('change', drawSpectrum);
// The wheel scrolls the electrodes; Ctrl + wheel zooms, as in other signal viewers.
$('traces').addEventListener('wheel', (e) => {
  if (!e.ctrlKey) return;
  e.preventDefault();
  zoom(e.deltaY > 0 ? 1 : -1);
}, { passive: false });
$('traces').addEventListener('scroll', () => { view.dirty = true; });
$('annotation-text').addEventListener('input', showAnnotationBytes);
document.addEventListener('keydown', (e) => {
  if (e.target instanceof HTMLInputElement) return;
  if (e.key === '+' || e.key === '=') zoom(-1);
  if (e.key === '-') zoom(1);
});
window.addEventListener('resize', () => { view.dirty = true; drawSpectrum(); });
if (!token) {
  $('state').textContent = 'open the address calyra printed (it holds the token)';
  $('state').className = 'ended';
}
$('annotate').addEventListener('submit', annotate);
connect();
requestAnimationFrame(frame);
