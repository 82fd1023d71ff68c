"""Follows a growing 'velmor record' file as a live reader would (HDF5 SWMR)
and prints how far behind the newest spectrum it runs: the age of the newest
spectrum it can see, sampled every 0.1 s.
Usage: record_follow.py <file> <seconds>"""
import sys
import time

import h5py
import numpy as np

path, seconds = sys.argv[1], float(sys.argv[2])
ages = []
with h5py.File(path, "r", swmr=True) as f:
    groups = list(f["entry"].values())
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for g in groups:
            g["host_time"].refresh()
        newest = max(g["host_time"][-1] for g in groups if g["host_time"].shape[0])
        ages.append(time.time() - newest)
        time.sleep(0.1)
ages = np.array(ages)
print(f"live reader behind the newest spectrum: median {np.median(ages):.2f} s, "
      f"95% {np.percentile(ages, 95):.2f} s, max {ages.max():.2f} s ({len(ages)} samples)")
