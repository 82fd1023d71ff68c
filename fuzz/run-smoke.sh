#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build/fuzz and runs each one for a fixed
# time, starting from the seeds in fuzz/seeds and the corpus grown by earlier
# runs in build/fuzz/fuzz/corpus. Exits non-zero on the first finding and
# names the input that caused it.
# Usage: bash fuzz/run-smoke.sh [seconds per fuzzer, default 15]
#   CI: the default, about a minute of fuzzing in all.
#   For hours: nice -n 19 bash fuzz/run-smoke.sh 3600   (an hour each)
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMOR_ROOT/scripts/common.sh"
install_packages clang libclang-rt-14-dev

seconds="${1:-15}"
build="$VELMOR_ROOT/build/fuzz"
fuzzers="$build/fuzz"
seeds="$VELMOR_ROOT/fuzz/seeds"
corpus="$fuzzers/corpus"
runs="$fuzzers/runs"

echo "=== building the fuzzers ==="
cmake -S "$VELMOR_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVELMOR_SANITIZE=address -DVELMOR_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target velmor_fuzzers --parallel "$(nproc)"

# run_fuzzer <target> <corpus and seed name> <extra libFuzzer options...>
run_fuzzer() {
  local name="$1" set="$2"
  shift 2
  local log="$runs/$name.log"
  local dirs=("$corpus/$set")
  [ -d "$seeds/$set" ] && dirs+=("$seeds/$set")
  mkdir -p "$corpus/$set" "$runs"
  echo "=== $name: ${seconds} s ==="
  if ! "$fuzzers/$name" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
       -artifact_prefix="$runs/$name-" "$@" "${dirs[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name: FINDING (log: $log; the input is the file named in 'Test unit written to')" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log"
}

# -max_len: one case byte and the longest reply one read takes.
# -len_control=0: every length from the start, not grown slowly from the seeds'.
reply_options=(-max_len=16493 -len_control=0)
run_fuzzer fuzz_byteconverter byteconverter
run_fuzzer fuzz_replies replies "${reply_options[@]}"
run_fuzzer fuzz_slow_replies slow_replies "${reply_options[@]}"
run_fuzzer fuzz_measurement measurement -max_len=4096
# A request a little larger than the biggest the view's gate lets through.
run_fuzzer fuzz_view view -max_len=25000 -dict="$VELMOR_ROOT/fuzz/view.dict"
echo "fuzz smoke run: no findings"
