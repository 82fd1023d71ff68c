// Downloads of what is on screen: one CSV per device, in the columns that
// 'velmor measure' writes (wavelength_nm, then <serial>@<local time>), and
// the chart as PNG.

function pad(number, width = 2) {
  return String(number).padStart(width, '0');
}

// The tool's time stamp: local time, milliseconds.
export function localTimestamp(milliseconds) {
  const t = new Date(milliseconds);
  return `${t.getFullYear()}-${pad(t.getMonth() + 1)}-${pad(t.getDate())}T${pad(t.getHours())}:` +
    `${pad(t.getMinutes())}:${pad(t.getSeconds())}.${pad(t.getMilliseconds(), 3)}`;
}

const UNITS = {
  counts: '',
  'dark-subtracted': ' dark-subtracted counts',
  transmission: ' transmission %',
  absorbance: ' absorbance',
};

// The column label names the display mode unless it is plain counts, so
// that a saved file says what its values are.
export function csvText(device, values, receivedAt, mode) {
  const label = `${device.serial}@${localTimestamp(receivedAt)}${UNITS[mode]}`;
  const rows = [`wavelength_nm,${label}`];
  device.wavelengths.forEach((nm, pixel) => {
    const value = values[pixel];
    rows.push(`${nm},${value == null ? '' : value}`);
  });
  return rows.join('\n') + '\n';
}

function download(name, blob) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

export function saveCsv(devices, latest, mode) {
  for (const device of devices) {
    const shown = latest.get(device.serial);
    if (shown) {
      download(`view-${mode}-${device.serial}.csv`,
        new Blob([csvText(device, shown.values, shown.receivedAt, mode)], { type: 'text/csv' }));
    }
  }
}

export function savePng(canvas, mode) {
  canvas.toBlob((blob) => download(`view-${mode}-${localTimestamp(Date.now())}.png`, blob), 'image/png');
}
