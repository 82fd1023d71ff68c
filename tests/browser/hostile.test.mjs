// 'velmor view' against what a hostile page or an odd device sends: a page of
// another origin that points an <img> at the stream with a mode that is not
// UTF-8, a device whose serial number is not UTF-8, and slow actions that
// must not hold up reads.
//
//   VELMOR_SIM=.../velmor-sim VELMOR=.../velmor node --test hostile.test.mjs

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launchChromium } from './chromium.mjs';
import { eventually, sleep, startView, stopView } from './viewsession.mjs';

const SIM = process.env.VELMOR_SIM;
const VELMOR = process.env.VELMOR;
const work = mkdtempSync(join(tmpdir(), 'velmor-view-hostile-'));
const ODD_SERIAL = 'AB\uFFFD1'; // the device says AB, byte 0xFF, 1

let view;
let browser;
let page;
let address;

// A request from the page itself, so it carries the page's Origin.
function fromPage(path, body) {
  return page.evaluate(async (p, b) => {
    const init = b === undefined ? {} : { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: b };
    const answer = await fetch(p, init);
    const text = await answer.text();
    return { status: answer.status, body: answer.headers.get('Content-Type') === 'application/json' ? JSON.parse(text) : text };
  }, path, body);
}

async function streamDelivers() {
  const events = await page.evaluate(() => new Promise((resolve) => {
    const source = new EventSource('/api/stream');
    const timer = setTimeout(() => { source.close(); resolve(0); }, 5000);
    source.onmessage = () => { clearTimeout(timer); source.close(); resolve(1); };
  }));
  assert.equal(events, 1, 'the stream delivers');
}

before(async () => {
  // The shell puts the byte 0xFF into the serial number.
  ({ view, address } = await startView('sh', ['-c',
    `exec "$0" --device serial=10001 --device "serial=AB$(printf '\\377')1" -- "$1" view --port 0 --log "$2"`,
    SIM, VELMOR, join(work, 'velmor.log')]));
  browser = await launchChromium(join(work, 'profile'));
  page = await browser.newPage();
  await page.goto(address);
});

after(async () => {
  await browser?.close();
  await stopView(view);
  rmSync(work, { recursive: true, force: true });
});

test('a serial number that is not UTF-8 is shown with U+FFFD and its device works', async () => {
  const serials = await eventually('both rows', async () => {
    const shown = await page.$$eval('#devices tbody tr', (trs) => trs.map((tr) => tr.dataset.serial));
    return shown.length === 2 && shown;
  });
  assert.deepEqual(serials.sort(), ['10001', ODD_SERIAL].sort());
  await eventually('a trace of the odd device', () => page.evaluate((s) => window.velmorView.values(s), ODD_SERIAL));
  const stored = await fromPage('/api/reference', JSON.stringify({ device: ODD_SERIAL }));
  assert.equal(stored.status, 200, JSON.stringify(stored.body));
});

test('a page of another origin cannot bring the view down', async () => {
  const other = await browser.newPage();
  await other.setContent(`<img src="${address}api/stream?mode=%FF"><img src="${address}api/stream?mode=%C0%AF">`);
  await sleep(500);
  await other.close();
  assert.equal(view.exitCode, null, 'the view runs on');
  assert.equal((await fromPage('/')).status, 200);
  await streamDelivers();
});

test('reads answer while a dark is taken, and a second slow action is refused as busy', async () => {
  assert.equal((await fromPage('/api/settings', '{"exposureUs": 2000000, "averaging": 1}')).status, 200);
  const dark = fromPage('/api/dark', '{"device": "all", "action": "take"}');
  await sleep(300);
  let darkDone = false;
  dark.then(() => { darkDone = true; });
  const state = await fromPage('/api/state');
  assert.equal(state.status, 200);
  const second = await fromPage('/api/dark', '{"device": "10001", "action": "take"}');
  assert.equal(darkDone, false, 'the reads did not wait for the dark');
  assert.equal(second.status, 409);
  assert.match(second.body.error, /busy/);
  await streamDelivers();
  assert.equal((await dark).status, 200);
  assert.equal((await fromPage('/api/settings', '{"exposureUs": 10000, "averaging": 1}')).status, 200);
});
