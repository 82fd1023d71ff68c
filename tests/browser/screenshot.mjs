// Saves what a running 'velmor view' shows after a few seconds live.
//   node screenshot.mjs <address> <file.png> [seconds]
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launchChromium } from './chromium.mjs';

const [address, file, seconds = '4'] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'velmor-view-shot-'));
const browser = await launchChromium(profile);
try {
  const page = await browser.newPage();
  await page.goto(address);
  await new Promise((resolve) => setTimeout(resolve, Number(seconds) * 1000));
  console.log(`chart updates per second: ${await page.evaluate(() => window.velmorView.drawsPerSecond())}`);
  await page.screenshot({ path: file });
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
