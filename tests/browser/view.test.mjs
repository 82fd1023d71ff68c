// 'velmor view' in a real browser: the system's headless Chromium, driven by
// puppeteer-core, against two simulated spectrometers.
//
//   VELMOR_SIM=.../velmor-sim VELMOR=.../velmor OUT=dir node --test view.test.mjs

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { launchChromium } from './chromium.mjs';
import { eventually, sleep, startView, stopView } from './viewsession.mjs';

const SIM = process.env.VELMOR_SIM;
const VELMOR = process.env.VELMOR;
const OUT = process.env.OUT ?? '.';
const work = mkdtempSync(join(tmpdir(), 'velmor-view-test-'));
const controlFile = join(work, 'control');

let view;
let browser;
let page;
let address;

async function simulator(...words) {
  const socket = readFileSync(controlFile, 'utf8').trim();
  const { stdout } = await promisify(execFile)(SIM, ['ctl', '--socket', socket, ...words]);
  return stdout.trim();
}

// The page's rows: serial -> { received, error }.
function rows() {
  return page.$$eval('#devices tbody tr', (trs) => Object.fromEntries(trs.map((tr) => [tr.dataset.serial, {
    received: Number(tr.dataset.received),
    error: tr.querySelector('td.error').textContent,
  }])));
}

function shownValues(serial) {
  return page.evaluate((s) => window.velmorView.values(s), serial);
}

// The 5th percentile of a spectrum: its baseline, clear of the lamp's lines.
function baseline(values) {
  const sorted = values.filter((v) => v != null).sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length * 0.05)];
}

async function showMode(mode) {
  await page.select('#mode', mode);
  await eventually(`values in ${mode}`, async () => (await shownValues('10001'))?.some((v) => v != null));
}

before(async () => {
  // The control socket's path is known only inside the session.
  ({ view, address } = await startView(SIM, ['--devices', '2', '--', 'sh', '-c',
    `printf '%s\\n' "$VELMOR_SIM_CONTROL" > '${controlFile}' && exec '${VELMOR}' view --port 0 --log '${join(work, 'velmor.log')}'`]));
  browser = await launchChromium(join(work, 'profile'));
  page = await browser.newPage();
  page.on('pageerror', (error) => console.error('page error:', error.message));
  await page.goto(address);
});

after(async () => {
  await browser?.close();
  await stopView(view);
  rmSync(work, { recursive: true, force: true });
});

test('the page shows both serials and two traces that change over time', async () => {
  await eventually('two devices', async () => Object.keys(await rows()).length === 2);
  assert.deepEqual(Object.keys(await rows()).sort(), ['10001', '10002']);
  assert.deepEqual((await page.evaluate(() => window.velmorView.series())).sort(), ['10001', '10002']);
  const first = { 10001: await eventually('10001', () => shownValues('10001')),
    10002: await eventually('10002', () => shownValues('10002')) };
  const seen = await rows();
  await eventually('new spectra', async () => {
    const now = await rows();
    return now['10001'].received > seen['10001'].received + 2 && now['10002'].received > seen['10002'].received + 2;
  });
  for (const serial of ['10001', '10002']) {
    assert.notDeepEqual(await shownValues(serial), first[serial], `the trace of ${serial} moves`);
  }
  await page.screenshot({ path: join(OUT, 'view-two-devices.png') });
});

test('a new exposure reaches the devices', async () => {
  // As a person does it: select what is there and type over it (the page
  // refreshes the field from the server only while it has no focus).
  await page.click('#exposure', { clickCount: 3 });
  await page.keyboard.type('50000');
  await page.click('#apply');
  for (const index of ['0', '1']) {
    await eventually(`device ${index} at 50000 us`,
      async () => (await simulator('settings', index)).includes('exposure-us 50000'));
  }
  assert.equal(await page.$eval('#message', (p) => p.textContent), '');
  // At 50 ms the simulated lamp drives the detector to its top count.
  await eventually('the saturation warning', () =>
    page.$$eval('#devices td.signal', (cells) => cells.some((cell) => cell.textContent === 'SATURATED')));
});

test('take dark brings the dark-subtracted baseline down to about zero', async () => {
  await showMode('counts');
  const before = baseline(await shownValues('10001'));
  assert.ok(before > 200, `the dark level shows before subtraction (${before})`);
  await page.click('#dark-take');
  await eventually('subtraction on', async () => (await simulator('settings', '0')).includes('subtract-dark on'));
  await showMode('dark-subtracted');
  await sleep(1000); // let a spectrum taken after the dark arrive
  const after = baseline(await shownValues('10001'));
  assert.ok(Math.abs(after) < 0.1 * before, `baseline ${after} after the dark, ${before} before`);
  await showMode('counts');
});

test('save downloads the spectra on screen as CSV and JCAMP-DX, saying their display mode', async () => {
  const downloads = join(work, 'downloads');
  const session = await page.createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  await showMode('dark-subtracted');
  await page.click('#save-csv');
  const file = join(downloads, 'view-dark-subtracted-10001.csv');
  await eventually('the CSV file', () => existsSync(file));
  const lines = await eventually('the whole file', () => {
    const text = readFileSync(file, 'utf8').trim().split('\n');
    return text.length === 2049 && text;
  });
  assert.match(lines[0], /^wavelength_nm,10001@\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} dark-subtracted counts$/);
  assert.match(lines[1], /^\d+(\.\d+)?,-?\d/);
  await page.click('#save-jcamp');
  const jcamp = join(downloads, 'view-dark-subtracted-10001.jdx');
  const text = await eventually('the whole JCAMP-DX file', () => existsSync(jcamp) &&
    readFileSync(jcamp, 'utf8').endsWith('##END=\r\n') && readFileSync(jcamp, 'utf8'));
  assert.match(text, /^##TITLE=10001 dark-subtracted\r\n##JCAMP-DX=5.01\r\n/);
  assert.match(text, /\r\n##NPOINTS=2048\r\n##XYPOINTS=\(XY\.\.XY\)\r\n/);
  await showMode('counts');
});

test('an unplugged device shows its error while the other keeps updating', async () => {
  assert.match(await simulator('unplug', '0'), /^ok/);
  // Device index 0 of the simulator is the one whose serial comes first on the bus.
  const unplugged = (await simulator('list')).match(/0: serial (\d+)/)[1];
  const other = unplugged === '10001' ? '10002' : '10001';
  const error = await eventually('an error for the unplugged device', async () => (await rows())[unplugged].error, 30000);
  console.log(`shown for ${unplugged}: ${error}`);
  const seen = (await rows())[other].received;
  await eventually(`${other} still updating`, async () => (await rows())[other].received > seen + 2);
  assert.equal((await rows())[other].error, '');
  await page.screenshot({ path: join(OUT, 'view-unplugged.png') });
});
