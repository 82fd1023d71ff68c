#!/usr/bin/env bash
# The live view's figures: chart updates per second in one headless Chromium
# tab with N simulated spectrometers, and the CPU the velmor process uses
# with no tab and with that tab watching.
# Usage: bash bench/view-rate.sh <build dir> [devices] [exposure-us]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "$1" && pwd)"
devices="${2:-4}"
exposure="${3:-10000}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$root/tests/browser" && { [ -d node_modules/puppeteer-core ] || npm ci --prefer-offline --no-audit --no-fund; })

"$build/tools/velmor-sim/velmor-sim" --devices "$devices" -- \
  "$build/tools/velmor/velmor" view --port 0 --exposure-us "$exposure" --log "$work/log" > "$work/address" &
for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.2; done
view="$(pgrep -n -f "velmor view --port 0 --exposure-us $exposure --log $work/log")"
ticks() { awk '{ print $14 + $15 }' "/proc/$view/stat"; }
cpu_percent() { # <seconds> <command...>: CPU of the view over that time
  local seconds="$1" before after
  shift
  before="$(ticks)"
  "$@"
  after="$(ticks)"
  echo "$(( (after - before) * 100 / $(getconf CLK_TCK) / seconds ))%"
}
sleep 3
echo "velmor view, $devices devices at $exposure us"
echo "  no tab:  velmor CPU $(cpu_percent 10 sleep 10)"
cpu_percent 13 node "$root/tests/browser/rate.mjs" "$(head -n 1 "$work/address")" 10 > "$work/tab"
echo "  one tab: velmor CPU $(tail -n 1 "$work/tab"); $(head -n 1 "$work/tab")"
kill -INT "$view"
wait
