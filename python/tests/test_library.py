"""Finding the library, its lines in logging, and a clean interpreter exit."""

from __future__ import annotations

import logging
import os
import subprocess
import sys
import textwrap

import velmor
from conftest import Stopwatch


def run_python(code: str, **environment: str) -> subprocess.CompletedProcess:
    """A fresh interpreter (in this velmor-sim session) running `code`."""
    env = {**os.environ, **environment}
    for name, value in environment.items():
        if value is None:
            del env[name]
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=60)


def test_a_missing_library_is_reported_with_every_place_tried():
    result = run_python("""
        import velmor
        try:
            velmor.Spectrometers()
        except velmor.LibraryNotFoundError as error:
            print(error)
        """, VELMOR_LIBRARY="/nowhere/libvelmor.so")
    assert "cannot load the velmor library; tried:" in result.stdout
    assert "$VELMOR_LIBRARY: /nowhere/libvelmor.so (no such file)" in result.stdout
    # A library that was asked for is not replaced by another copy.
    assert "system loader" not in result.stdout


def test_an_explicit_path_comes_before_the_environment():
    result = run_python(f"""
        import velmor
        library = velmor.load_library({os.environ["VELMOR_LIBRARY"]!r})
        print(library._name)
        print(velmor.library_version())
        """, VELMOR_LIBRARY="/nowhere/libvelmor.so")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == os.environ["VELMOR_LIBRARY"]
    assert "C interface" in result.stdout


def test_without_any_hint_the_system_loader_is_asked_last():
    result = run_python("""
        import velmor
        try:
            velmor.load_library()
        except velmor.LibraryNotFoundError as error:
            print(error)
        """, VELMOR_LIBRARY=None, LD_LIBRARY_PATH="")
    lines = result.stdout.splitlines()
    tried = [line.split(":")[0].strip() for line in lines[1:] if line.startswith("  ")]
    assert tried and tried[-1] == "system loader" and "in the package directory" in tried


def test_library_lines_go_to_logging_not_to_the_terminal(simulator, caplog, capfd):
    with caplog.at_level(logging.DEBUG, logger="velmor"):
        with velmor.Spectrometers() as bench:
            list(bench.measure(exposure_us=10000, count=1))
    captured = capfd.readouterr()
    assert "[VLP]" not in captured.out and "[VLP]" not in captured.err
    messages = [record.getMessage() for record in caplog.records if record.name == "velmor"]
    assert "开始查找设备..." in messages
    assert any(message.startswith("[VLP] callback onDataReceived") for message in messages)


def test_the_interpreter_exits_promptly_with_a_measurement_running():
    clock = Stopwatch()
    result = run_python("""
        import velmor
        bench = velmor.Spectrometers()
        running = bench.measure(exposure_us=10000, queue_size=1)
        next(running)
        print("leaving")
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "leaving"
    assert "[VLP]" not in result.stdout + result.stderr
    assert clock.elapsed() < 20
