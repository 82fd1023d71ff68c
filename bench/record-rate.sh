#!/usr/bin/env bash
# 'velmor record' under load: N simulated devices streaming for a while;
# spectra written against the spectra the devices made (the simulator's
# counters, and the highest sequence number + 1: lost spectra use up numbers), the recorder's CPU, the write
# rate and bytes per spectrum, and how far a reader following the file live
# (HDF5 SWMR) runs behind the newest spectrum.
# Usage: bash bench/record-rate.sh <build dir> [devices] [seconds] [exposure-us]
set -euo pipefail
build="$(cd "$1" && pwd)"
devices="${2:-4}"
seconds="${3:-180}"
exposure="${4:-10000}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VELMOR="$build/tools/velmor/velmor" WORK="$work" EXPOSURE="$exposure" SECONDS_="$seconds"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export HERE="$here" SIM="$build/tools/velmor-sim/velmor-sim"

echo "velmor record: $devices devices at $exposure us for $seconds s"
"$build/tools/velmor-sim/velmor-sim" --devices "$devices" -- bash -c '
  "$VELMOR" record "$WORK/rec.h5" --exposure-us "$EXPOSURE" --averaging 1 --duration "$SECONDS_" \
    --log "$WORK/log" 2>"$WORK/err" & pid=$!
  for _ in $(seq 100); do [[ -s "$WORK/rec.h5" ]] && break; sleep 0.1; done
  sleep 2
  /usr/bin/python3 "$HERE/record_follow.py" "$WORK/rec.h5" $((SECONDS_ - 5)) >"$WORK/lag" &
  reader=$!
  ticks() { awk "{ print \$14 + \$15 }" /proc/$pid/stat; }
  start_ticks=$(ticks); start_s=$(date +%s.%N)
  sleep $((SECONDS_ - 4))
  end_ticks=$(ticks); end_s=$(date +%s.%N)
  echo "$start_ticks $end_ticks $start_s $end_s" >"$WORK/cpu"
  wait $reader; wait $pid
  "$SIM" ctl counters >"$WORK/counters"'
tail -n "$((devices + 1))" "$work/err"
read -r t0 t1 s0 s1 <"$work/cpu"
awk -v t0="$t0" -v t1="$t1" -v s0="$s0" -v s1="$s1" -v hz="$(getconf CLK_TCK)" \
  'BEGIN { printf "recorder CPU: %.1f%% of one core\n", (t1 - t0) / hz / (s1 - s0) * 100 }'
cat "$work/lag"
echo "simulator: $(cat "$work/counters")"
/usr/bin/python3 - "$work/rec.h5" "$seconds" <<'PY'
import os, sys, h5py
path, seconds = sys.argv[1], float(sys.argv[2])
with h5py.File(path, "r") as f:
    total = 0
    for serial, g in f["entry"].items():
        written = g["counts"].shape[0]
        made = int(g["sequence"][-1]) + 1 if written else 0
        lost = int(g["lost"][:, 1].sum()) if g["lost"].shape[0] else 0
        total += written
        print(f"{serial}: {written} written, {made} made by the device, {lost} recorded as lost")
size = os.path.getsize(path)
print(f"file: {size / 1e6:.1f} MB, {size / total:.0f} bytes per spectrum (raw: {4 * 2048 + 37}), "
      f"{size / seconds / 1e6:.2f} MB/s, {total / seconds:.0f} spectra/s")
PY
