// Drives the live view in headless Chromium over the DevTools protocol on
// a pipe (--remote-debugging-pipe: no port, no packages to install).
//
//   node drive_page.mjs URL SCREENSHOT.png ANNOTATION PROFILE_DIR [fit|side]
//
// Loads the page (first with every event stream the server allows already
// taken: the page must say why it shows nothing, then come live once one is
// free), waits until every electrode shows a trace with recent data and a
// grade and the spectrum is drawn, types ANNOTATION into the page's box,
// waits for the stream to report it placed, and saves a screenshot. Then it
// visits another local server, which must never see the token. With "fit"
// it checks instead that every electrode fits in an 813 px high window, and
// that the wheel scrolls while Ctrl + wheel zooms. With "side" URL is the
// page of every headset: each headset's page fills its frame with every
// electrode drawn, and every frame fits in the window. Prints what it saw as
// JSON; exits non-zero with a message on the first check that fails.
import { spawn } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import http from 'node:http';

const [url, screenshotPath, annotation, profileDir, mode] = process.argv.slice(2);
const token = new URL(url).searchParams.get('token');
const chromium = process.env.CALYRA_CHROMIUM || '/usr/bin/chromium';

const browser = spawn(chromium, [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-dev-shm-usage', '--hide-scrollbars', '--window-size=1400,813',
  `--user-data-dir=${profileDir}`, '--remote-debugging-pipe', 'about:blank',
], { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
let browserLog = '';
browser.stderr.on('data', (d) => { browserLog = (browserLog + d).slice(-4000); });

// Messages are JSON texts, each ended by a NUL byte.
let nextId = 1;
const pending = new Map();
let buffered = '';
browser.stdio[4].on('data', (chunk) => {
  buffered += chunk.toString('utf8');
  for (let end; (end = buffered.indexOf('\0')) >= 0;) {
    const message = JSON.parse(buffered.slice(0, end));
    buffered = buffered.slice(end + 1);
    const waiter = pending.get(message.id);
    if (!waiter) continue;
    pending.delete(message.id);
    if (message.error) waiter.reject(new Error(JSON.stringify(message.error)));
    else waiter.resolve(message.result);
  }
});

function send(method, params = {}, sessionId = undefined) {
  const id = nextId++;
  browser.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + '\0');
  return new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
}

function fail(message) {
  process.stderr.write(`drive_page: ${message}\n--- chromium\n${browserLog}\n`);
  browser.kill('SIGKILL');
  process.exit(1);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
setTimeout(() => fail('gave up after 40 s'), 40000).unref();

async function main() {
  const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
  const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
  const page = (method, params) => send(method, params, sessionId);
  const evaluate = async (expression) => {
    const r = await page('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true });
    if (r.exceptionDetails) throw new Error(`${expression}: ${JSON.stringify(r.exceptionDetails)}`);
    return r.result.value;
  };
  const waitFor = async (what, expression, seconds) => {
    const until = Date.now() + seconds * 1000;
    for (;;) {
      const value = await evaluate(expression);
      if (value) return value;
      if (Date.now() > until) fail(`timed out waiting for ${what}: ${await evaluate(describe)}`);
      await sleep(100);
    }
  };
  // What the page shows, for the checks and for failure messages.
  const describe = `JSON.stringify({
    state: document.getElementById('state').textContent,
    elapsed: document.getElementById('elapsed').textContent,
    electrodes: [...document.querySelectorAll('.electrode')].map((row) => {
      const c = row.querySelector('canvas');
      // Rows of the canvas that the trace's blue reaches: a flat or missing
      // trace reaches one or none (grid lines are grey, marks red).
      const g = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let inked = 0;
      for (let y = 0; y < c.height; ++y) {
        for (let x = 0, i = y * c.width * 4; x < c.width; ++x, i += 4) {
          if (g[i + 3] > 0 && g[i + 2] > g[i] + 40) { ++inked; break; }
        }
      }
      return { label: row.dataset.label, grade: row.dataset.grade,
               gradeText: row.querySelector('.grade').textContent,
               latest: Number(row.dataset.latestSeconds || 0), inked };
    }),
    spectrumInked: (() => {
      const c = document.getElementById('spectrum');
      if (c.width === 0 || c.height === 0) return 0;  // hidden in a narrow window
      const g = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 0; i < g.length; i += 4) n += g[i + 3] > 0 && g[i + 2] > g[i] + 40;
      return n;
    })(),
    annotations: [...document.querySelectorAll('#annotations li')].map((li) => li.textContent),
  })`;

  await page('Page.enable');
  await page('Runtime.enable');
  await page('Emulation.setDeviceMetricsOverride', { width: 1400, height: 813, deviceScaleFactor: 1, mobile: false });
  if (mode === 'fit') return fit(page, evaluate, waitFor, describe);
  if (mode === 'side') return sideBySide(page, evaluate, waitFor, describe);

  // Every event stream the server allows is taken: the page says why it
  // shows nothing, and comes live once one is free.
  const taken = [];
  for (let i = 0; i < 4; ++i) {
    taken.push(await new Promise((resolve, reject) => {
      const r = http.get(new URL('/events?token=' + token, url), (res) => resolve(res));
      r.on('error', reject);
    }));
  }
  await page('Page.navigate', { url });
  await waitFor('the page', `document.readyState === 'complete' && !!document.getElementById('traces')`, 10);
  await waitFor('the page to say it is over the limit', `document.getElementById('state').textContent.includes('at most 4 open pages')`, 10);
  for (const res of taken) res.destroy();
  await waitFor('the page to come live once a stream is free', `document.getElementById('state').textContent.startsWith('live')`, 10);

  // The token left the address bar at once, and no cookie carries it.
  const address = await evaluate('location.href');
  if (address.includes(token) || (await evaluate('document.cookie')) !== '') fail(`token left in ${address} or a cookie`);
  const loaded = Date.now();
  // Every electrode has a trace drawn, data of the last moment and a grade.
  await waitFor('traces, grades and the spectrum', `(() => {
    const s = JSON.parse(${describe});
    return s.electrodes.length > 0 && s.spectrumInked > 50 &&
      s.electrodes.every((e) => e.latest > 0.5 && e.inked > 8 &&
                                ['good', 'noisy', 'bad'].includes(e.grade) && e.gradeText === e.grade);
  })()`, 15);
  const shown = JSON.parse(await evaluate(describe));
  const secondsToShow = (Date.now() - loaded) / 1000;
  // The data keeps coming: a second later every trace has moved on.
  await sleep(1000);
  const later = JSON.parse(await evaluate(describe));
  shown.electrodes.forEach((e, i) => {
    if (!(later.electrodes[i].latest >= e.latest + 0.5)) fail(`trace ${e.label} did not advance: ${JSON.stringify(later)}`);
  });

  // The filter switch redraws every trace from the filtered data, and the
  // zoom keys change the shared scale.
  const inked = `JSON.parse(${describe}).electrodes.map((e) => e.inked)`;
  await evaluate(`document.getElementById('filter').click(), true`);
  await sleep(300);
  const filteredInk = await evaluate(inked);
  if (!(await evaluate(`document.getElementById('filter').checked`)) || !filteredInk.every((n) => n > 8)) {
    fail(`filtered traces not drawn: ${JSON.stringify(filteredInk)}`);
  }
  await evaluate(`document.getElementById('filter').click(), true`);
  const scaleBefore = await evaluate(`document.getElementById('scale').textContent`);
  for (const type of ['keyDown', 'keyUp']) await page('Input.dispatchKeyEvent', { type, key: '+', text: type === 'keyDown' ? '+' : undefined });
  const scaleAfter = await evaluate(`document.getElementById('scale').textContent`);
  if (scaleBefore !== '100 µV/div' || scaleAfter !== '50 µV/div') fail(`zoom: ${scaleBefore} -> ${scaleAfter}`);
  for (const type of ['keyDown', 'keyUp']) await page('Input.dispatchKeyEvent', { type, key: '-', text: type === 'keyDown' ? '-' : undefined });

  // The box holds what the server takes, in bytes: 200 CJK characters
  // (600 bytes of UTF-8) are cut to the 166 that fit in 500 bytes.
  await evaluate(`document.getElementById('annotation-text').focus(), true`);
  await page('Input.insertText', { text: '\u6ce8'.repeat(200) });
  const held = await evaluate(`(() => { const v = document.getElementById('annotation-text').value;
    return [v.length, new TextEncoder().encode(v).length]; })()`);
  if (held[0] !== 166 || held[1] !== 498) fail(`the box holds ${held[0]} characters, ${held[1]} bytes`);
  await evaluate(`document.getElementById('annotation-text').value = '', true`);

  // Type into the box and press Enter, as a user would.
  await evaluate(`document.getElementById('annotation-text').focus(), true`);
  await page('Input.insertText', { text: annotation });
  for (const type of ['rawKeyDown', 'char', 'keyUp']) {
    await page('Input.dispatchKeyEvent', { type, key: 'Enter', code: 'Enter', windowsVirtualKeyCode: 13,
                                           ...(type === 'char' ? { text: '\r' } : {}) });
  }
  await waitFor('the annotation to come back from the stream',
    `[...document.querySelectorAll('#annotations li')].some((li) => li.textContent.endsWith(${JSON.stringify(annotation)}))`, 10);
  const box = await evaluate(`document.getElementById('annotation-text').value`);

  // With the annotation listed and marked on the traces; a picture for the
  // documentation may wait for a fuller window first.
  await sleep(1000 * Number(process.env.CALYRA_VIEW_SETTLE_SECONDS || 0));
  const shot = await page('Page.captureScreenshot', { format: 'png' });
  writeFileSync(screenshotPath, Buffer.from(shot.data, 'base64'));

  const annotations = JSON.parse(await evaluate(describe)).annotations;
  // Another server on this host, on another port, visited from the view's
  // tab (as if a foreign page sent the user there) and framed by a page of
  // its own: browsers would send it a cookie of the view's, had it one.
  const seen = [];
  const other = http.createServer((req, res) => {
    seen.push(req.url + ' ' + JSON.stringify(req.headers));
    res.setHeader('Content-Type', 'text/html');
    res.end(req.url === '/' ? `<iframe src="${new URL('/', url)}"></iframe><img src="${new URL('/view.css', url)}">` : 'ok');
  });
  await new Promise((resolve) => other.listen(0, '127.0.0.1', resolve));
  await page('Page.navigate', { url: `http://127.0.0.1:${other.address().port}/` });
  await waitFor('the other server\'s page', `document.readyState === 'complete'`, 10);
  await sleep(500);
  other.close();
  if (seen.length === 0 || seen.some((line) => line.includes(token))) fail(`the other server saw: ${JSON.stringify(seen)}`);

  const result = { secondsToShow, electrodes: later.electrodes, spectrumInked: later.spectrumInked,
                   annotations, boxAfterSend: box,
                   otherServerSaw: seen.length };
  process.stdout.write(JSON.stringify(result) + '\n');
  await send('Browser.close').catch(() => {});
  browser.kill('SIGKILL');
  process.exit(0);
}


// Every electrode in the window: rows share its height, none below the fold.
async function fit(page, evaluate, waitFor, describe) {
  await page('Page.navigate', { url });
  await waitFor('the page', `document.readyState === 'complete' && !!document.getElementById('traces')`, 10);
  await waitFor('traces of every electrode', `(() => {
    const s = JSON.parse(${describe});
    return s.electrodes.length > 0 && s.electrodes.every((e) => e.latest > 0.5 && e.inked > 4);
  })()`, 20);
  const layout = JSON.parse(await evaluate(`JSON.stringify((() => {
    const panel = document.getElementById('traces').getBoundingClientRect();
    const rows = [...document.querySelectorAll('.electrode')].map((r) => r.getBoundingClientRect());
    return { windowHeight: innerHeight, panelBottom: panel.bottom, count: rows.length,
             lowest: Math.max(...rows.map((r) => r.bottom)), smallest: Math.min(...rows.map((r) => r.height)),
             axis: document.getElementById('time-axis').getBoundingClientRect().bottom };
  })())`));
  if (!(layout.lowest <= layout.panelBottom + 1 && layout.axis <= layout.windowHeight && layout.smallest >= 18)) {
    fail(`electrodes do not fit: ${JSON.stringify(layout)}`);
  }
  const shot = await page('Page.captureScreenshot', { format: 'png' });
  writeFileSync(screenshotPath, Buffer.from(shot.data, 'base64'));

  // A plain wheel leaves the scale alone; Ctrl + wheel zooms.
  const scale = `document.getElementById('scale').textContent`;
  const before = await evaluate(scale);
  const wheel = (modifiers) => page('Input.dispatchMouseEvent', { type: 'mouseWheel', x: 600, y: 300, deltaX: 0, deltaY: 120, modifiers });
  await wheel(0);
  await sleep(200);
  const afterWheel = await evaluate(scale);
  await wheel(2);  // Ctrl
  await sleep(200);
  const afterCtrlWheel = await evaluate(scale);
  if (afterWheel !== before || afterCtrlWheel === before) fail(`wheel: ${before} -> ${afterWheel} -> ${afterCtrlWheel}`);
  process.stdout.write(JSON.stringify({ layout, before, afterWheel, afterCtrlWheel }) + '\n');
  await send('Browser.close').catch(() => {});
  browser.kill('SIGKILL');
  process.exit(0);
}

// The page of every headset: a frame per headset inside the window, each
// showing every electrode of its headset with a trace, none below its fold.
async function sideBySide(page, evaluate, waitFor, describe) {
  await page('Page.navigate', { url });
  await waitFor('the frames', `document.querySelectorAll('iframe').length > 0`, 10);
  const frames = JSON.parse(await evaluate(`JSON.stringify([...document.querySelectorAll('iframe')].map((f) => {
    const r = f.getBoundingClientRect();
    return { right: r.right, bottom: r.bottom };
  }))`));
  const address = await evaluate('location.href');
  if (address.includes('#') || frames.some((f) => f.right > 1400 || f.bottom > 813)) {
    fail(`frames ${JSON.stringify(frames)} at ${address}`);
  }
  const { frameTree } = await page('Page.getFrameTree');
  const children = frameTree.childFrames || [];
  if (children.length !== frames.length) fail(`${children.length} frames in the tree, ${frames.length} on the page`);
  const headsets = [];
  for (const child of children) {
    // An isolated world of the frame: the page's document, our own script.
    const { executionContextId } = await page('Page.createIsolatedWorld', { frameId: child.frame.id, worldName: 'check' });
    const inFrame = async (expression) => {
      const r = await page('Runtime.evaluate', { expression, contextId: executionContextId, returnByValue: true });
      if (r.exceptionDetails) throw new Error(`${expression}: ${JSON.stringify(r.exceptionDetails)}`);
      return r.result.value;
    };
    const until = Date.now() + 20000;
    for (;;) {
      const s = JSON.parse(await inFrame(describe));
      if (s.electrodes.length > 0 && s.electrodes.every((e) => e.latest > 0.5 && e.inked > 4)) break;
      if (Date.now() > until) fail(`frame ${child.frame.url}: ${JSON.stringify(s)}`);
      await sleep(100);
    }
    const layout = JSON.parse(await inFrame(`JSON.stringify((() => {
      const rows = [...document.querySelectorAll('.electrode')].map((r) => r.getBoundingClientRect());
      return { device: document.getElementById('device').textContent, count: rows.length, frameHeight: innerHeight,
               panelBottom: document.getElementById('traces').getBoundingClientRect().bottom,
               lowest: Math.max(...rows.map((r) => r.bottom)), smallest: Math.min(...rows.map((r) => r.height)),
               axis: document.getElementById('time-axis').getBoundingClientRect().bottom };
    })())`));
    if (!(layout.lowest <= layout.panelBottom + 1 && layout.axis <= layout.frameHeight && layout.smallest >= 18)) {
      fail(`electrodes do not fit in their frame: ${JSON.stringify(layout)}`);
    }
    headsets.push(layout);
  }
  const shot = await page('Page.captureScreenshot', { format: 'png' });
  writeFileSync(screenshotPath, Buffer.from(shot.data, 'base64'));
  process.stdout.write(JSON.stringify({ frames, headsets }) + '\n');
  await send('Browser.close').catch(() => {});
  browser.kill('SIGKILL');
  process.exit(0);
}

main().catch((e) => fail(e.stack || String(e)));
