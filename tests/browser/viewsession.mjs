// What the browser tests share: waiting, and a 'velmor view' under the
// simulator that they start and stop as a person would.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function eventually(what, condition, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) {
      return value;
    }
    if (Date.now() > end) {
      assert.fail(`timed out waiting for ${what}`);
    }
    await sleep(200);
  }
}

// Runs `command` (which starts the view) in a process group of its own;
// resolves to the process and the page address the view prints.
export async function startView(command, args) {
  const view = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'], detached: true });
  const address = await new Promise((resolve, reject) => {
    let text = '';
    view.stdout.on('data', (chunk) => {
      text += chunk;
      const line = text.split('\n').find((l) => l.startsWith('http://'));
      if (line) {
        resolve(line.trim());
      }
    });
    view.on('exit', (code) => reject(new Error(`velmor view ended with ${code}`)));
  });
  return { view, address };
}

export async function stopView(view) {
  if (view && view.exitCode === null) {
    const ended = new Promise((resolve) => view.on('exit', resolve));
    // Ctrl-C, as a person would give it: to the whole process group.
    process.kill(-view.pid, 'SIGINT');
    const code = await Promise.race([ended, sleep(15000).then(() => 'still running')]);
    if (code === 'still running') {
      process.kill(-view.pid, 'SIGKILL');
    }
    assert.equal(code, 0, 'velmor view stops cleanly on Ctrl-C');
  }
  view?.stdout.destroy();
}
