// The system's Chromium, headless, as root in a container needs it: no
// sandbox, no GPU, no traffic of its own, a fresh profile.
import puppeteer from 'puppeteer-core';

export function launchChromium(profileDirectory) {
  return puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    userDataDir: profileDirectory,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    defaultViewport: { width: 1280, height: 900 },
  });
}
