#!/usr/bin/env bash
# What the demo does on the simulated spectrometers; run by scripts/demo.sh
# inside velmor-sim, in the output directory.
set -euo pipefail
exposure=4000
averaging=4

section() { printf '\n== %s ==\n' "$*"; }

section "The library in a host program (velmor-demo)"
velmor-demo

section "velmor list"
velmor list

section "velmor measure: 5 spectra per spectrometer, raw"
velmor measure --exposure-us $exposure --averaging $averaging --count 5 --output raw --plot raw/spectra.svg

section "velmor dark: dark spectrum taken and subtracted from now on"
velmor dark --exposure-us $exposure --averaging $averaging

section "velmor batch: 50 spectra per spectrometer, dark-subtracted"
velmor batch --collections 50 --exposure-us $exposure --averaging $averaging --output batch --plot batch/spectra.svg

section "Python (examples/python/measure_and_plot.py): numpy arrays, matplotlib charts"
"$VELMOR_PYTHON" "$VELMOR_ROOT/examples/python/measure_and_plot.py" python

section "Files"
echo "Raw spectra (CSV):        $PWD/raw/"
echo "Dark-subtracted batch:    $PWD/batch/"
echo "Charts (SVG):             $PWD/raw/spectra.svg  $PWD/batch/spectra.svg"
echo "Charts from Python (PNG): $PWD/python/spectra.png  $PWD/python/spectra-dark-subtracted.png"
echo "Library diagnostic logs:  $PWD/velmor.log  $PWD/velmor-demo.log"
