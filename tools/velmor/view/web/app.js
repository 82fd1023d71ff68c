import { getState, getWavelengths, openStream } from './api.js';
import { SpectraChart } from './chart.js';
import { Controls } from './controls.js';
import { saveCsv, saveJcamp, savePng } from './save.js';
import { DeviceTable } from './status.js';

const $ = (id) => document.getElementById(id);
const STATE_REFRESH_MS = 2000; // settings changed from another tab show up this late

let state = null;
let wavelengths = {}; // serial -> nm per pixel, fixed while the view runs
let mode = $('mode').value;
let stream = null;
let lastFrame = null;
const latest = new Map(); // serial -> { values, receivedAt }, what the chart shows
let pending = false;
const draws = [];

const chart = new SpectraChart($('chart'));
const table = new DeviceTable(document.querySelector('#devices tbody'), {
  dark: (serial) => controls.dark(serial, 'take'),
  reference: (serial) => controls.reference(serial),
});
const controls = new Controls({ onState: showState, onMessage: (text) => { $('message').textContent = text; } });

function showState(next) {
  const devicesChanged = !state || state.devices.map((d) => d.serial).join() !== next.devices.map((d) => d.serial).join();
  state = next;
  state.devices.forEach((device) => { device.wavelengths = wavelengths[device.serial] ?? []; });
  if (devicesChanged) {
    chart.setDevices(state.devices, mode);
  }
  table.render(state, lastFrame?.devices);
}

// Frames arrive as fast as the server sends them; the chart is drawn at
// most once per display frame, with the newest values.
function onFrame(frame) {
  if (frame.mode !== mode || !state) {
    return;
  }
  lastFrame = frame;
  for (const [serial, values] of Object.entries(frame.values)) {
    const index = state.devices.findIndex((device) => device.serial === serial);
    const device = frame.devices.find((d) => d.serial === serial);
    if (index >= 0) {
      chart.setValues(index, values);
      latest.set(serial, { values, receivedAt: device?.receivedAt ?? Date.now() });
    }
  }
  if (!pending) {
    pending = true;
    requestAnimationFrame(draw);
  }
}

function draw() {
  pending = false;
  chart.draw();
  table.render(state, lastFrame.devices);
  const now = performance.now();
  draws.push(now);
  while (draws.length && draws[0] < now - 2000) {
    draws.shift();
  }
  $('display-rate').textContent = `${(draws.length / 2).toFixed(0)} chart updates/s`;
}

function connect() {
  stream?.close();
  latest.clear();
  stream = openStream(mode, {
    onFrame,
    onOpen: () => { $('connection').textContent = 'live'; $('connection').className = 'badge live'; },
    onLost: () => { $('connection').textContent = 'connection lost, retrying…'; $('connection').className = 'badge lost'; },
  });
}

$('mode').addEventListener('change', () => {
  mode = $('mode').value;
  chart.setMode(mode);
  connect();
});
$('reset-zoom').addEventListener('click', () => chart.resetZoom());
$('save-csv').addEventListener('click', () => saveCsv(state.devices, latest, mode));
$('save-jcamp').addEventListener('click', () => saveJcamp(state, latest, mode));
$('save-png').addEventListener('click', () => savePng(chart.canvas(), mode));
window.addEventListener('keydown', (event) => {
  if (event.target.tagName !== 'INPUT' && (event.key === 'ArrowLeft' || event.key === 'ArrowRight')) {
    chart.pan(event.key === 'ArrowLeft' ? -1 : 1);
  }
});

// For tests and the curious: what the page shows, read-only.
window.velmorView = {
  values: (serial) => latest.get(serial)?.values ?? null,
  drawsPerSecond: () => draws.length / 2,
  series: () => chart.serials.slice(),
};

async function refreshState() {
  try {
    controls.show(await getState());
  } catch (error) {
    $('message').textContent = `state: ${error.message}`;
  }
}

try {
  wavelengths = await getWavelengths();
} catch (error) {
  $('message').textContent = `wavelengths: ${error.message}`;
}
await refreshState();
connect();
setInterval(refreshState, STATE_REFRESH_MS);
