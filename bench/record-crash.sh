#!/usr/bin/env bash
# Kills 'velmor record' with SIGKILL at random moments and checks what the
# file kept: every file must open (HDF5's SWMR read mode, as a crashed
# writer leaves it), and the newest spectrum in it must be younger than the
# flush interval (0.5 s) plus one spectrum at the kill: nothing older is lost.
# Usage: bash bench/record-crash.sh <build dir> [trials] [devices] [exposure-us]
set -euo pipefail
build="$(cd "$1" && pwd)"
trials="${2:-20}"
devices="${3:-2}"
exposure="${4:-10000}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VELMOR="$build/tools/velmor/velmor" WORK="$work" EXPOSURE="$exposure"

echo "velmor record killed with SIGKILL: $trials trials, $devices devices at $exposure us"
echo "trial  run_s  spectra_in_file  newest_spectrum_age_at_kill_s"
for trial in $(seq "$trials"); do
  rm -f "$work/rec.h5"
  # 1 to 6 s into the recording, at a random point of the flush cycle.
  export RUN_MS=$(( 1000 + RANDOM % 5000 ))
  "$build/tools/velmor-sim/velmor-sim" --devices "$devices" -- bash -c '
    "$VELMOR" record "$WORK/rec.h5" --exposure-us "$EXPOSURE" --averaging 1 --log "$WORK/log" 2>"$WORK/err" &
    pid=$!
    sleep "$(awk -v ms="$RUN_MS" "BEGIN { print ms / 1000 }")"
    kill -9 $pid 2>/dev/null; date +%s.%N >"$WORK/killed_at"; wait $pid 2>/dev/null || true' 2>/dev/null
  if ! [[ -f $work/rec.h5 ]]; then
    echo "$trial: the recorder ended before the kill: $(tail -n 3 "$work/err" | tr '\n' ' ')"
    continue
  fi
  /usr/bin/python3 - "$work/rec.h5" "$(cat "$work/killed_at")" "$trial" "$RUN_MS" <<'PY'
import sys, h5py
path, killed_at, trial, run_ms = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4])
with h5py.File(path, "r", swmr=True) as f:
    groups = list(f["entry"].values())
    spectra = sum(g["counts"].shape[0] for g in groups)
    newest = max((g["host_time"][-1] for g in groups if g["host_time"].shape[0]), default=float("nan"))
print(f"{trial:>5}  {run_ms / 1000:5.2f}  {spectra:>15}  {killed_at - newest:.3f}")
PY
done
