// Reads a JCAMP-DX file with jcampconverter, a parser independent of the
// writers under test, and prints what it found as JSON: the labelled fields
// (info: standard labels, meta: ##$ labels) and the data (x, y).
// Usage: node read.mjs <file.jdx>
import { readFileSync } from 'node:fs';
import { convert } from 'jcampconverter';

let text = readFileSync(process.argv[2], 'utf8');
// jcampconverter has no reader for ##XYPOINTS=(XY..XY), the form for
// unevenly spaced x. Its pairs have the syntax of ##PEAK TABLE=(XY..XY),
// which it reads, so the data are handed to it under that label.
text = text.replace(/^##XYPOINTS=\(XY\.\.XY\)/m, '##PEAK TABLE=(XY..XY)');
const entry = convert(text, { keepRecordsRegExp: /.*/ }).flatten[0];
const data = entry?.spectra?.[0]?.data ?? { x: [], y: [] };
process.stdout.write(JSON.stringify({
  info: entry?.info ?? {}, meta: entry?.meta ?? {}, x: Array.from(data.x), y: Array.from(data.y),
}) + '\n');
