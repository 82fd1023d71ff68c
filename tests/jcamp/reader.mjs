// jcampconverter, a JCAMP-DX parser independent of the writers under test:
// the labelled fields (info: standard labels, meta: ##$ labels) and the data.
import { convert } from 'jcampconverter';

export function readJcamp(text) {
  // jcampconverter has no reader for ##XYPOINTS=(XY..XY), the form for
  // unevenly spaced x. Its pairs have the syntax of ##PEAK TABLE=(XY..XY),
  // which it reads, so the data are handed to it under that label.
  const entry = convert(text.replace(/^##XYPOINTS=\(XY\.\.XY\)/m, '##PEAK TABLE=(XY..XY)'),
    { keepRecordsRegExp: /.*/ }).flatten[0];
  const data = entry?.spectra?.[0]?.data ?? { x: [], y: [] };
  return { info: entry?.info ?? {}, meta: entry?.meta ?? {}, x: Array.from(data.x), y: Array.from(data.y) };
}
