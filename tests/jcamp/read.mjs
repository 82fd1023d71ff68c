// Prints what the independent parser reads in a JCAMP-DX file, as JSON.
// Usage: node read.mjs <file.jdx>
import { readFileSync } from 'node:fs';
import { readJcamp } from './reader.mjs';

process.stdout.write(JSON.stringify(readJcamp(readFileSync(process.argv[2], 'utf8'))) + '\n');
