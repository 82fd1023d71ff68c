#!/usr/bin/env python3
"""Measures every attached spectrometer and saves two charts as PNG files:
the raw spectra, and the spectra with the dark spectrum subtracted.

    python3 examples/python/measure_and_plot.py [output directory]

Try it without hardware:

    velmor-sim --devices 2 -- /usr/bin/python3 examples/python/measure_and_plot.py out
"""

import logging
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402

import velmor  # noqa: E402

EXPOSURE_US = 4000
AVERAGING = 4


def plot(spectra, title, path):
    """One line per device: the mean of its spectra over wavelength."""
    figure, axes = plt.subplots(figsize=(9, 4.5), layout="constrained")
    for serial, group in sorted(spectra.items()):
        mean = sum(s.counts for s in group) / len(group)
        axes.plot(group[0].wavelengths, mean, linewidth=0.8, label=f"{serial} ({len(group)} spectra)")
    axes.set(title=title, xlabel="wavelength (nm)", ylabel="counts")
    axes.legend()
    axes.grid(alpha=0.3)
    figure.savefig(path, dpi=120)
    plt.close(figure)
    print(f"wrote {path}")


def measure(bench, count):
    spectra = {device.serial: [] for device in bench}
    for spectrum in bench.measure(exposure_us=EXPOSURE_US, averaging=AVERAGING, count=count):
        spectra[spectrum.serial].append(spectrum)
    return spectra


def main():
    output = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    output.mkdir(parents=True, exist_ok=True)
    # The library's own lines go to a file, not the terminal.
    logging.basicConfig(filename=output / "velmor-python.log", level=logging.DEBUG)

    with velmor.Spectrometers() as bench:
        for device in bench:
            print(f"{device.serial}: {device.pixel_count} pixels, "
                  f"{device.wavelengths[0]:.1f}-{device.wavelengths[-1]:.1f} nm, firmware {device.firmware}")
        bench.trigger_mode = "software"
        bench.subtract_dark = False
        plot(measure(bench, 5), "Raw spectra", output / "spectra.png")

        bench.take_dark(exposure_us=EXPOSURE_US, averaging=AVERAGING)
        bench.subtract_dark = True
        plot(measure(bench, 5), "Dark-subtracted spectra", output / "spectra-dark-subtracted.png")


if __name__ == "__main__":
    main()
