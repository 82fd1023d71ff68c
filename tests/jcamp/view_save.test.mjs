// The live view's JCAMP-DX download, read back by the independent parser.
// Usage: node --test view_save.test.mjs, with VIEW_SAVE_JS=<path of the
// page's save.js>.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { readJcamp } from './reader.mjs';

const { jcampText } = await import(pathToFileURL(process.env.VIEW_SAVE_JS).href);

test('every shown value reads back at its measured wavelength, with the settings', () => {
  const wavelengths = [200, 200.41998, 200.83994, 201.3, 650.125];
  const device = { serial: '20001\n##END=', firmware: '4.1.7.0', darkSubtraction: true, wavelengths };
  const settings = { exposureUs: 20000, averaging: 4 };
  const cases = [
    { mode: 'counts', values: [1010.25, -3.5e-7, 65535, 12, 1e6], scale: 1, units: 'ARBITRARY UNITS' },
    { mode: 'transmission', values: [50, 100, 0.5, 12.25, 99.5], scale: 0.01, units: 'TRANSMITTANCE' },
  ];
  for (const { mode, values, scale, units } of cases) {
    const read = readJcamp(jcampText(device, values, Date.UTC(2026, 11, 8, 17, 0, 0, 5), mode, settings));
    assert.deepEqual(read.x, wavelengths);
    assert.deepEqual(read.y, values.map((value) => value * scale));
    assert.equal(read.info.JCAMPDX, 5.01);
    assert.equal(read.info.NPOINTS, wavelengths.length);
    assert.equal(read.info.YUNITS, units);
    assert.equal(read.info.LONGDATE, '2026/12/08 17:00:00.005 +0000');
    assert.equal(read.meta['EXPOSURE TIME US'], 20000);
    assert.equal(read.meta.AVERAGING, 4);
    assert.equal(read.meta['DARK SUBTRACTION'], 'on');
    // A device's text cannot end the file early.
    assert.equal(read.meta['SERIAL NUMBER'], '20001 # END=');
  }
});
