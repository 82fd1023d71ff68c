#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build/fuzz and runs each one briefly against
# its corpus, which grows across runs in build/fuzz/fuzz/corpus. Exits non-zero
# on the first finding and names the input that caused it.
# Usage: bash fuzz/run-smoke.sh [seconds per fuzzer, default 20]
set -euo pipefail
VELMOR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$VELMOR_ROOT/scripts/common.sh"
install_packages clang libclang-rt-14-dev

seconds="${1:-20}"
build="$VELMOR_ROOT/build/fuzz"
fuzzers="$build/fuzz"
corpus="$fuzzers/corpus"
runs="$fuzzers/runs"

echo "=== building the fuzzers ==="
cmake -S "$VELMOR_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVELMOR_SANITIZE=address -DVELMOR_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target velmor_fuzzers --parallel "$(nproc)"

mkdir -p "$corpus"/{byteconverter,replies,slow_replies} "$corpus"/seeds/{replies,slow_replies} "$runs"
"$fuzzers/fuzz_seeds" "$corpus/seeds/replies" "$corpus/seeds/slow_replies"

# run_fuzzer <fuzzer> <corpus dir...> -- <extra libFuzzer options...>
run_fuzzer() {
  local name="$1"
  shift
  local dirs=()
  while [ "$1" != "--" ]; do dirs+=("$1"); shift; done
  shift
  local log="$runs/$name.log"
  echo "=== $name: ${seconds} s ==="
  if ! "$fuzzers/$name" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
       -artifact_prefix="$runs/$name-" "$@" "${dirs[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name: FINDING (log: $log; the input is the file named in 'Test unit written to')" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log"
}

# Per-input leak checks are off for the reply fuzzers: the virtual bus's own
# thread allocates during every input, which would make libFuzzer scan the
# heap after each one (four times slower); they look for bad accesses.
reply_options=(-max_len=16493 -len_control=0 -detect_leaks=0)
run_fuzzer fuzz_byteconverter "$corpus/byteconverter" --
run_fuzzer fuzz_replies "$corpus/replies" "$corpus/seeds/replies" -- "${reply_options[@]}"
run_fuzzer fuzz_slow_replies "$corpus/slow_replies" "$corpus/seeds/slow_replies" -- "${reply_options[@]}"
echo "fuzz smoke run: no findings"
