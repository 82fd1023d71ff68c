import { colourOf } from './chart.js';

export function clockTime(milliseconds) {
  return milliseconds == null ? '' : new Date(milliseconds).toLocaleTimeString();
}

function cell(row, text, className = '') {
  const td = row.insertCell();
  td.textContent = text;
  td.className = className;
  return td;
}

function button(td, label, onClick) {
  const element = document.createElement('button');
  element.type = 'button';
  element.textContent = label;
  element.addEventListener('click', onClick);
  td.append(element);
}

// A device that stopped delivering without a word (the library reports only
// some failures) is shown as silent once it is overdue.
function silence(state, device) {
  const since = Math.max(device.receivedAt ?? 0, state.runningSince ?? 0);
  if (!state.running || !since || Date.now() - since <= state.stallLimitMs) {
    return '';
  }
  return `no spectrum since ${clockTime(since)}`;
}

// The table of devices: identity from the state, the rest from each frame.
// Rows are built once and then only their texts change, so that a button
// is never replaced under the pointer.
export class DeviceTable {
  constructor(tbody, actions) {
    this.tbody = tbody;
    this.actions = actions;
    this.rows = new Map();
  }

  build(state) {
    this.tbody.replaceChildren();
    this.rows.clear();
    state.devices.forEach((device, index) => {
      const row = this.tbody.insertRow();
      row.dataset.serial = device.serial;
      const serial = cell(row, device.serial);
      const swatch = document.createElement('span');
      swatch.className = 'swatch';
      swatch.style.background = colourOf(index);
      serial.prepend(swatch);
      cell(row, String(device.pixels));
      cell(row, device.firmware);
      const cells = {};
      for (const name of ['rate', 'exposure', 'dark', 'reference', 'signal', 'error']) {
        cells[name] = cell(row, '', name);
      }
      const buttons = row.insertCell();
      button(buttons, 'dark', () => this.actions.dark(device.serial));
      button(buttons, 'reference', () => this.actions.reference(device.serial));
      this.rows.set(device.serial, { row, cells });
    });
  }

  render(state, frameDevices) {
    if (this.rows.size !== state.devices.length || state.devices.some((d) => !this.rows.has(d.serial))) {
      this.build(state);
    }
    const live = new Map((frameDevices ?? []).map((device) => [device.serial, device]));
    for (const device of state.devices) {
      const now = live.get(device.serial) ?? {};
      const { row, cells } = this.rows.get(device.serial);
      row.dataset.received = now.received ?? 0;
      cells.rate.textContent = now.spectraPerSecond == null ? '' : now.spectraPerSecond.toFixed(1);
      cells.exposure.textContent = `${state.exposureUs} µs × ${state.averaging}`;
      cells.dark.textContent = device.darkSubtraction ? `on (dark ${clockTime(device.darkTakenAt)})`
        : device.darkTakenAt ? `off (dark ${clockTime(device.darkTakenAt)})` : 'off, no dark';
      cells.reference.textContent = now.reference
        ? `${clockTime(now.reference.takenAt)}${now.reference.darkSubtracted ? '' : ' (without dark)'}` : 'none';
      cells.signal.textContent = now.saturated ? 'SATURATED' : 'ok';
      cells.signal.classList.toggle('saturated', Boolean(now.saturated));
      cells.error.textContent = now.error ? `${clockTime(now.errorAt)} ${now.error}` : silence(state, now);
    }
  }
}
