// Downloads of what is on screen: one CSV per device, in the columns that
// 'velmor measure' writes (wavelength_nm, then <serial>@<local time>), one
// JCAMP-DX file per device, and the chart as PNG.

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

// JCAMP-DX 5.01 labels and the factor from shown values to the stored unit.
const JCAMP_Y = {
  counts: { units: 'ARBITRARY UNITS', scale: 1 },
  'dark-subtracted': { units: 'ARBITRARY UNITS', scale: 1 },
  transmission: { units: 'TRANSMITTANCE', scale: 0.01 }, // shown in %
  absorbance: { units: 'ABSORBANCE', scale: 1 },
};

function utcLongDate(milliseconds) {
  const t = new Date(milliseconds);
  return `${t.getUTCFullYear()}/${pad(t.getUTCMonth() + 1)}/${pad(t.getUTCDate())} ${pad(t.getUTCHours())}:` +
    `${pad(t.getUTCMinutes())}:${pad(t.getUTCSeconds())}.${pad(t.getUTCMilliseconds(), 3)} +0000`;
}

// A label's value stays on its line and starts no label of its own.
function oneLine(text) {
  return String(text ?? '').replace(/[\x00-\x1f\x7f]/g, ' ').replace(/##/g, '# ');
}

// JCAMP-DX 5.01 of one device's shown spectrum. The pixels are not evenly
// spaced, so every wavelength goes as measured, in (X,Y) pairs; a value the
// page has not got is "?", the mark for a missing one.
export function jcampText(device, values, receivedAt, mode, settings) {
  const y = JCAMP_Y[mode];
  const points = device.wavelengths.map((nm, pixel) => {
    const value = values[pixel];
    return [nm, value == null || !Number.isFinite(value) ? null : value * y.scale];
  });
  const xs = points.map(([nm]) => nm);
  const ys = points.map(([, value]) => value).filter((value) => value !== null);
  const labels = [
    ['TITLE', `${device.serial} ${mode}`],
    ['JCAMP-DX', '5.01'],
    ['DATA TYPE', 'UV/VIS SPECTRUM'],
    ['DATA CLASS', 'XYPOINTS'],
    ['ORIGIN', 'velmor view'],
    ['OWNER', ''],
    ['LONGDATE', utcLongDate(receivedAt)],
    ['SPECTROMETER/DATA SYSTEM', `serial number ${device.serial}, firmware ${device.firmware ?? 'unknown'}`],
    ['$SERIAL NUMBER', device.serial],
    ['$FIRMWARE', device.firmware ?? 'unknown'],
    ['$EXPOSURE TIME US', settings.exposureUs],
    ['$AVERAGING', settings.averaging],
    ['$DARK SUBTRACTION', device.darkSubtraction ? 'on' : 'off'],
    ['$DISPLAY MODE', mode],
    ['$RECEIVED LOCAL TIME', localTimestamp(receivedAt)],
    ['XUNITS', 'NANOMETERS'],
    ['YUNITS', y.units],
    ['XFACTOR', 1],
    ['YFACTOR', 1],
  ];
  if (xs.length) {
    labels.push(['FIRSTX', xs[0]], ['LASTX', xs[xs.length - 1]],
      ['MINX', Math.min(...xs)], ['MAXX', Math.max(...xs)]);
  }
  if (ys.length) {
    labels.push(['MINY', Math.min(...ys)], ['MAXY', Math.max(...ys)]);
  }
  labels.push(['NPOINTS', points.length], ['XYPOINTS', '(XY..XY)']);
  const lines = labels.map(([label, value]) => `##${label}=${oneLine(value)}`);
  for (const [nm, value] of points) {
    lines.push(`${nm}, ${value === null ? '?' : value}`);
  }
  lines.push('##END=');
  return lines.join('\r\n') + '\r\n';
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

export function saveJcamp(state, latest, mode) {
  for (const device of state.devices) {
    const shown = latest.get(device.serial);
    if (shown) {
      download(`view-${mode}-${device.serial}.jdx`,
        new Blob([jcampText(device, shown.values, shown.receivedAt, mode, state)], { type: 'chemical/x-jcamp-dx' }));
    }
  }
}

export function savePng(canvas, mode) {
  canvas.toBlob((blob) => download(`view-${mode}-${localTimestamp(Date.now())}.png`, blob), 'image/png');
}
