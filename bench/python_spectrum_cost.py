#!/usr/bin/env python3
"""The Python package's cost per delivered spectrum, as a ratio to the same
loop in C++ (velmor_spectrum_loop), and how long its ways of stopping take.

Run inside velmor-sim with the package and this build's library:

    VELMOR_LIBRARY=build/bench/velmor/libvelmor.so PYTHONPATH=python \\
    velmor-sim --devices 2 --time-scale 100 -- \\
        /usr/bin/python3 bench/python_spectrum_cost.py build/bench/bench/velmor_spectrum_loop

Both loops run a continuous measurement of every device (exposure 1 ms,
run 100 times faster by the simulator) until every spectrum arrived, and
stop it; both copy each spectrum once. Wall and process CPU time are taken
around start .. stop, alternately, and the medians compared.
"""

from __future__ import annotations

import argparse
import os
import signal
import statistics
import subprocess
import threading
import time

import velmor


def python_loop(per_device: int, exposure_us: int):
    with velmor.Spectrometers() as bench:
        wall, cpu = time.perf_counter(), time.process_time()
        delivered = sum(1 for _ in bench.measure(exposure_us=exposure_us, count=per_device))
        return delivered, time.perf_counter() - wall, time.process_time() - cpu


def cpp_loop(program: str, per_device: int, exposure_us: int):
    output = subprocess.run([program, str(per_device), str(exposure_us)], check=True, capture_output=True,
                            text=True).stdout
    fields = dict(field.split("=") for field in output.split())
    return int(fields["spectra"]), float(fields["wall_s"]), float(fields["cpu_s"])


def stop_latency(way: str, exposure_us: int) -> float:
    """Seconds from the request to stop until every worker is joined."""
    with velmor.Spectrometers() as bench:
        if way == "ctrl-c":
            return ctrl_c_latency(bench)
        measurement = bench.measure(exposure_us=exposure_us, queue_size=1)
        for _ in range(4):
            next(measurement)
        time.sleep(0.05)  # the queue fills; a worker waits for room
        start = time.perf_counter()
        if way == "close":
            measurement.close()
        else:  # the last reference dropped
            del measurement
        return time.perf_counter() - start


def ctrl_c_latency(bench: velmor.Spectrometers) -> float:
    """SIGINT while the loop waits for a spectrum (exposure 1 s in the simulator)."""
    measurement = bench.measure(exposure_us=100_000_000)
    sent = []

    def interrupt() -> None:
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.2, interrupt)
    timer.start()
    try:
        while True:  # a spectrum left over from an earlier run may come first
            next(measurement)
    except KeyboardInterrupt:
        caught = time.perf_counter()
    timer.join()
    return caught - sent[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("reference", help="path of velmor_spectrum_loop")
    parser.add_argument("--spectra", type=int, default=300, help="spectra per device and run (default 300)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each loop (default 5)")
    parser.add_argument("--exposure-us", type=int, default=1000)
    arguments = parser.parse_args()

    results = {"python": [], "c++": []}
    for _ in range(arguments.runs):
        results["python"].append(python_loop(arguments.spectra, arguments.exposure_us))
        results["c++"].append(cpp_loop(arguments.reference, arguments.spectra, arguments.exposure_us))
    per_spectrum = {}
    for name, runs in results.items():
        wall = statistics.median(w / n for n, w, _ in runs)
        cpu = statistics.median(c / n for n, _, c in runs)
        per_spectrum[name] = (wall, cpu)
        print(f"{name:7s} {runs[0][0]} spectra/run: wall {wall * 1e6:8.0f} us/spectrum, "
              f"CPU {cpu * 1e6:8.0f} us/spectrum (medians of {len(runs)} runs)")
    (py_wall, py_cpu), (cpp_wall, cpp_cpu) = per_spectrum["python"], per_spectrum["c++"]
    print(f"ratio python/c++: wall {py_wall / cpp_wall:.2f}, CPU {py_cpu / cpp_cpu:.2f}; "
          f"the package adds {(py_cpu - cpp_cpu) * 1e6:.0f} us CPU per spectrum")

    for way in ("close", "drop", "ctrl-c"):
        latencies = [stop_latency(way, arguments.exposure_us) for _ in range(arguments.runs)]
        print(f"stop by {way:9s}: median {statistics.median(latencies) * 1e3:6.1f} ms, "
              f"max {max(latencies) * 1e3:6.1f} ms")


if __name__ == "__main__":
    main()
