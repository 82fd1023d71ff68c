// Watches a running 'velmor view' in one headless tab and prints the chart's
// update rate: node rate.mjs <address> [seconds]
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launchChromium } from './chromium.mjs';

const [address, seconds = '10'] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'velmor-view-rate-'));
const browser = await launchChromium(profile);
try {
  const page = await browser.newPage();
  await page.goto(address);
  await new Promise((resolve) => setTimeout(resolve, 3000));
  const samples = [];
  for (let i = 0; i < Number(seconds); i++) {
    await new Promise((resolve) => setTimeout(resolve, 1000));
    samples.push(await page.evaluate(() => window.velmorView.drawsPerSecond()));
  }
  const rates = await page.$$eval('#devices td.rate', (cells) => cells.map((c) => c.textContent));
  console.log(`chart updates/s: ${(samples.reduce((a, b) => a + b, 0) / samples.length).toFixed(1)}` +
    ` (min ${Math.min(...samples)}, max ${Math.max(...samples)}); spectra/s per device: ${rates.join(' ')}`);
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
