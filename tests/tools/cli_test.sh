#!/usr/bin/env bash
# The velmor tool end to end, against simulated spectrometers. One case per
# run, in a fresh directory:
#   cli_test.sh <case> <path to velmor-sim> <path to velmor>
set -euo pipefail

case_name="$1"
sim="$(realpath "$2")"
velmor="$(realpath "$3")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
  echo "FAIL ($case_name): $*" >&2
  for file in out.txt err.txt velmor.log; do
    [[ -f $file ]] && { echo "--- $file" >&2; tail -n 40 "$file" >&2; }
  done
  exit 1
}

# expect_status <status> <command...>: runs it with stdout in out.txt and
# stderr in err.txt.
expect_status() {
  local want="$1" got=0
  shift
  "$@" >out.txt 2>err.txt || got=$?
  [[ $got == "$want" ]] || fail "'$*' exited with $got, expected $want"
}

# expect_usage_error <command...>: CLI11's exit statuses for a bad command
# line start at 100.
expect_usage_error() {
  local got=0
  "$@" >out.txt 2>err.txt || got=$?
  ((got >= 100)) || fail "'$*' exited with $got, expected a usage error"
}

expect_in() {
  grep -qE -- "$1" "$2" || fail "/$1/ not found in $2"
}

expect_not_in() {
  ! grep -qE -- "$1" "$2" || fail "/$1/ unexpectedly found in $2"
}

# Two devices with known serial numbers and different shapes.
run_sim() {
  "$sim" --device serial=20001 --device serial=20002,pixels=1024,firmware=4.0.7.1 --devices 2 -- "$@"
}

# csv_check <file> <serial> <spectra> <pixels>: header, labels and shape.
csv_check() {
  local file="$1" serial="$2" spectra="$3" pixels="$4"
  [[ -f $file ]] || fail "$file missing"
  local stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}'
  head -n 1 "$file" | tr ',' '\n' >header.txt
  [[ $(head -n 1 header.txt) == wavelength_nm ]] || fail "$file: first column is not wavelength_nm"
  [[ $(tail -n +2 header.txt | grep -cE "^$serial@$stamp(#[0-9]+)?$") == "$spectra" ]] ||
    fail "$file: expected $spectra columns labelled $serial@<time>: $(head -n 1 "$file" | cut -c1-200)"
  [[ $(wc -l <"$file") == $((pixels + 1)) ]] || fail "$file: expected $pixels pixel rows"
  awk -F, -v n="$((spectra + 1))" 'NR > 1 && NF != n { exit 1 }' "$file" || fail "$file: ragged rows"
}

# Mean of the first spectrum column of a CSV file.
first_spectrum_mean() {
  awk -F, 'NR > 1 { sum += $2; n++ } END { printf "%d\n", sum / n }' "$1"
}

# The USB location velmor-sim gives a serial number, as "bus/address".
sim_location() {
  grep -oE "serial $1 bus [0-9]+ address [0-9]+" "$2" | awk '{ print $4 "/" $6 }'
}

# The serial number at a pool index in the output of 'velmor list'.
serial_at() {
  awk -v index_="$1" '$1 == index_ { print $2 }' "$2"
}

# timed_wait: shell text that waits for $pid, writes how long the run took
# since $start_ns to elapsed_ms, and exits with the run's status.
timed_wait() {
  echo 'status=0; wait $pid || status=$?; echo $(( ($(date +%s%N) - start_ns) / 1000000 )) >elapsed_ms; exit $status'
}

# expect_ended_within <ms>: the timed run took less than that.
expect_ended_within() {
  local elapsed
  elapsed=$(cat elapsed_ms)
  ((elapsed < $1)) || fail "the run took $elapsed ms, expected less than $1"
}

# expect_what_arrived <command> <csv> <serial> <planned> <pixels>: a device
# that fell short is named with its count and reason, and its CSV holds
# exactly what it delivered. When the library reported the failure, the tool
# ended soon after the unplug, and a failed batch still handed over what it
# had collected.
expect_what_arrived() {
  local command="$1" file="$2" serial="$3" planned="$4" pixels="$5" delivered
  delivered=$(grep -oE "^$command: $serial delivered [0-9]+ of $planned" err.txt | awk '{ print $4 }')
  [[ -n $delivered ]] || fail "no shortfall reported for $serial"
  ((delivered < planned)) || fail "$serial reported short with all $planned spectra"
  if ((delivered > 0)); then
    csv_check "$file" "$serial" "$delivered" "$pixels"
  else
    [[ ! -e $file ]] || fail "$file written without spectra"
  fi
  expect_not_in 'uevent_sender_send' err.txt
  if grep -qE "^$command: $serial delivered [0-9]+ of $planned spectra: the library reported" err.txt; then
    ((delivered > 0)) || fail "the library reported the failure but delivered nothing of what it had collected"
    expect_ended_within 8000
  fi
}

export sim velmor here

case "$case_name" in
list)
  expect_status 0 run_sim bash -c '"$sim" ctl list >sim-list.txt && "$velmor" list'
  expect_in '^index +serial +bus/address +pixels \(count\) +wavelength nm +firmware$' out.txt
  expect_in '^[01] +20001 +[0-9]+/[0-9]+ +0-2047 \(2048\) +[0-9.]+-[0-9.]+ +4\.1\.7\.0$' out.txt
  expect_in '^[01] +20002 +[0-9]+/[0-9]+ +0-1023 \(1024\) +[0-9.]+-[0-9.]+ +4\.0\.7\.1$' out.txt
  [[ $(tail -n +2 out.txt | cut -d' ' -f1 | sort | tr '\n' ' ') == "0 1 " ]] || fail "expected indices 0 and 1"
  for serial in 20001 20002; do
    expect_in "^[01] +$serial +$(sim_location $serial sim-list.txt) " out.txt
  done
  # The library's lines go to the log, not to the console.
  expect_in '正在初始化设备 1' velmor.log
  expect_not_in '设备' out.txt
  expect_not_in '设备' err.txt
  expect_status 0 run_sim "$velmor" --verbose --log unused.log list
  expect_in '正在初始化设备 1' out.txt
  [[ ! -e unused.log ]] || fail "--verbose still wrote a log file"
  ;;
list_after_failed_device)
  # The device enumerated first fails initialization, so the other one moves
  # to pool index 0 and must be shown with its own bus/address.
  expect_status 0 run_sim bash -c '
    "$velmor" list >first-list.txt && "$sim" ctl list >sim-list.txt &&
    first=$(awk '\''$1 == "0" { print $2 }'\'' first-list.txt) &&
    "$sim" ctl fault $(( first == 20001 ? 0 : 1 )) any error 0x0500 forever >/dev/null &&
    "$velmor" list'
  failed=$(serial_at 0 first-list.txt)
  other=$((failed == 20001 ? 20002 : 20001))
  [[ $(wc -l <out.txt) == 2 ]] || fail "expected a header and one device"
  expect_in "^0 +$other +$(sim_location $other sim-list.txt) " out.txt
  expect_in '^设备 0 初始化失败' velmor.log
  ;;
no_device)
  expect_status 2 run_sim sh -c "'$sim' ctl unplug 0 >/dev/null && '$sim' ctl unplug 1 >/dev/null && '$velmor' list"
  expect_in '^list: no spectrometer found$' err.txt
  ;;
bad_options)
  expect_usage_error "$velmor" measure --exposure-us -5 --averaging 1 --count 3
  expect_in '^--exposure-us: expected a whole number from 1 to 2147483647, got .-5.$' err.txt
  expect_usage_error "$velmor" batch --collections 0 --exposure-us 1000 --averaging 1
  expect_in '^--collections: ' err.txt
  expect_usage_error "$velmor" dark --averaging 2
  expect_in 'exposure-us' err.txt
  expect_status 1 run_sim "$velmor" dark --off --device 2
  expect_in '^dark: --device 2: no such spectrometer \(2 connected' err.txt
  expect_status 0 "$velmor" measure --help
  expect_in 'Examples:' out.txt
  expect_usage_error "$velmor" batch --collections 2147483647 --exposure-us 2147483647 --averaging 2147483647
  expect_in '^--collections: \(exposure x averaging \+ delay\) x collections comes to more than the tool can wait' err.txt
  expect_status 1 "$sim" --device serial=1,time-scale=inf -- true
  expect_in "^velmor-sim: device option time-scale: not a finite number: 'inf'$" err.txt
  expect_usage_error "$sim" --time-scale nan -- true
  expect_in "^--time-scale: expected a finite number greater than 0, got 'nan'$" err.txt
  ;;
measure)
  expect_status 0 run_sim "$velmor" measure --exposure-us 20000 --averaging 2 --count 5 --output data \
    --plot data/chart.svg
  csv_check data/measure-20001.csv 20001 5 2048
  csv_check data/measure-20002.csv 20002 5 1024
  expect_in '^measure: 5/5 spectra from 2000[12], 5/5 from 2000[12] ' err.txt
  expect_in '^measure: wrote data/measure-20001.csv \(5 spectra of 2048 pixels from 20001\)$' err.txt
  expect_in '^measure: wrote chart data/chart.svg$' err.txt
  expect_in '>20001 \(mean of 5 spectra\)<' data/chart.svg
  expect_in '>20002 \(mean of 5 spectra\)<' data/chart.svg
  expect_not_in '.' out.txt
  ;;
batch)
  expect_status 0 run_sim "$velmor" batch --collections 20 --exposure-us 5000 --averaging 1
  csv_check batch-20001.csv 20001 20 2048
  csv_check batch-20002.csv 20002 20 1024
  head -n 1 batch-20002.csv | grep -qE ',20002@[^,]+#20$' || fail "batch columns are not numbered"
  expect_in '^batch: 2000[12] done, 2000[12] done ' err.txt
  ;;
dark)
  measure_into() {
    "$velmor" measure --exposure-us 20000 --averaging 1 --count 1 --output "$1" 2>>err.txt
  }
  export -f measure_into
  expect_status 0 run_sim bash -c '
    "$velmor" list >list.txt && measure_into before &&
    "$velmor" dark --exposure-us 20000 --averaging 1 && measure_into dark &&
    "$velmor" dark --off --device 1 && measure_into off'
  switched_off=$(serial_at 1 list.txt)
  kept=$(serial_at 0 list.txt)
  expect_in "^dark: $kept: dark spectrum taken \(20000 us x 1\), subtraction on$" err.txt
  expect_in "^dark: $switched_off: subtraction off$" err.txt
  expect_not_in "^dark: $kept: subtraction off$" err.txt
  before=$(first_spectrum_mean before/measure-$switched_off.csv)
  dark=$(first_spectrum_mean dark/measure-$switched_off.csv)
  off=$(first_spectrum_mean off/measure-$switched_off.csv)
  ((dark < before)) || fail "dark subtraction did not lower the spectrum ($before -> $dark)"
  ((off > dark)) || fail "--off did not switch subtraction off ($dark -> $off)"
  still=$(first_spectrum_mean off/measure-$kept.csv)
  ((still < $(first_spectrum_mean before/measure-$kept.csv))) || fail "--device 1 also switched device 0 off"
  ;;
trigger)
  expect_status 0 run_sim sh -c "'$velmor' trigger external && '$velmor' trigger software"
  expect_in '^trigger: 20001: external \(hardware trigger, rising edge\)$' err.txt
  expect_in '^trigger: 20002: external' err.txt
  expect_in '^trigger: 20002: software' err.txt
  ;;
unplug_during_measure)
  # The device's measurement ends on the unplug; the library reports it
  # through onError, and the tool stops waiting for that device at once
  # (without that report, its silence timer gives up on it some seconds
  # later). Either way well before the tool's deadline of 22 s.
  expect_status 1 run_sim sh -c "
    start_ns=\$(date +%s%N); '$velmor' measure --exposure-us 50000 --averaging 1 --count 40 --output data & pid=\$!
    sleep 2; '$sim' ctl unplug 1 >/dev/null; $(timed_wait)"
  expect_in '^measure: 20002 delivered [0-9]+ of 40 spectra: (the library reported ".+"|it went silent)' err.txt
  expect_not_in '20001 delivered' err.txt
  expect_in 'the library.s messages are in velmor.log' err.txt
  csv_check data/measure-20001.csv 20001 40 2048
  expect_what_arrived measure data/measure-20002.csv 20002 40 1024
  expect_ended_within 18000
  ;;
unplug_during_batch)
  # The failed batch hands over what it had collected, then its error.
  expect_status 1 run_sim sh -c "
    start_ns=\$(date +%s%N); '$velmor' batch --collections 60 --exposure-us 50000 --averaging 1 & pid=\$!
    sleep 2; '$sim' ctl unplug 0 >/dev/null; $(timed_wait)"
  expect_in '^batch: 20001 delivered [0-9]+ of 60 spectra: (the library reported ".+"|it went silent)' err.txt
  expect_in '^batch: .*20002 done' err.txt
  csv_check batch-20002.csv 20002 60 1024
  expect_what_arrived batch batch-20001.csv 20001 60 2048
  expect_ended_within 25000
  ;;
record)
  expect_status 0 run_sim "$velmor" record rec.h5 --exposure-us 10000 --averaging 1 --count 20
  expect_in '^record: 20001: 20 spectra written, 0 lost$' err.txt
  expect_in '^record: 20002: 20 spectra written, 0 lost$' err.txt
  expect_in '^record: wrote rec.h5 \([0-9.]+ MB\)$' err.txt
  /usr/bin/python3 "$here/recording_check.py" layout rec.h5 20001:2048:4.1.7.0:20 20002:1024:4.0.7.1:20 ||
    fail "rec.h5 does not hold what was recorded"
  ;;
record_crash)
  # A reader follows the file while it grows; then the recorder is killed
  # (-9, as a crash or a power cut would end it). The file opens and holds
  # at least what the reader had seen flushed.
  expect_status 0 run_sim bash -c '
    "$velmor" record rec.h5 --exposure-us 10000 --averaging 1 & pid=$!
    for _ in $(seq 50); do [[ -s rec.h5 ]] && break; sleep 0.1; done
    sleep 0.5
    /usr/bin/python3 "$here/recording_check.py" follow rec.h5 2.5 >seen.txt; status=$?
    kill -9 $pid; wait $pid; exit $status'
  /usr/bin/python3 "$here/recording_check.py" holds rec.h5 "$(cat seen.txt)" || fail "the killed recording lost flushed spectra"
  h5clear -s rec.h5 && h5dump -H rec.h5 >/dev/null || fail "h5dump cannot read the file after h5clear -s"
  ;;
record_disk_full)
  # A file size limit stands in for a full disk: the recording ends cleanly
  # before a write fails, and the file is whole and says when it ended.
  expect_status 1 run_sim bash -c 'ulimit -f 6000; exec "$velmor" record rec.h5 --exposure-us 10000 --averaging 1 --duration 20'
  expect_in '^record: rec.h5 has reached the file size limit of the process \(6000 KiB, ulimit -f\)$' err.txt
  expect_in '^record: the devices were stopped; rec.h5 keeps what was written before: 2000[12] [0-9]+ spectra' err.txt
  written=$(grep 'keeps what was written before' err.txt | grep -oE '20001 [0-9]+' | grep -oE '[0-9]+$')
  /usr/bin/python3 - "$written" <<'PY' || fail "rec.h5 is not whole after the recording ran out of room"
import sys, h5py
with h5py.File("rec.h5", "r") as f:
    assert f["entry"].attrs["end_time"], "no end time"
    g = f["entry/20001"]
    assert g["counts"].shape[0] == g.attrs["spectra_written"] == int(sys.argv[1]) > 0
PY
  ;;
measure_jcamp)
  # Read back by an independent parser ($JCAMP_READER): the labelled fields,
  # every wavelength exactly as the CSV of the same devices has it, and the
  # mean spectrum close to that of a CSV run under the same light.
  expect_status 0 run_sim bash -c '
    "$velmor" measure --exposure-us 20000 --averaging 2 --count 3 --format jcamp --output jdx &&
    "$velmor" measure --exposure-us 20000 --averaging 2 --count 3 --output csv'
  for serial in 20001 20002; do
    expect_in "^measure: wrote jdx/measure-$serial.jdx \\(mean of 3 spectra from $serial\\)$" err.txt
    node "$JCAMP_READER" jdx/measure-$serial.jdx >read.json || fail "the reader refused jdx/measure-$serial.jdx"
    /usr/bin/python3 - "$serial" csv/measure-$serial.csv <<'PY' || fail "jdx/measure-$serial.jdx does not read back"
import csv, json, sys
serial, csv_path = sys.argv[1], sys.argv[2]
jdx = json.load(open("read.json"))
rows = list(csv.reader(open(csv_path)))[1:]
wavelengths = [float(row[0]) for row in rows]
mean = [sum(map(float, row[1:])) / (len(row) - 1) for row in rows]
info, meta = jdx["info"], jdx["meta"]
assert info["JCAMPDX"] == 5.01 and info["XUNITS"] == "NANOMETERS" and info["NPOINTS"] == len(rows), info
assert str(meta["SERIAL NUMBER"]) == serial and meta["EXPOSURE TIME US"] == 20000, meta
assert meta["AVERAGING"] == 2 and meta["SPECTRA AVERAGED"] == 3, meta
assert jdx["x"] == wavelengths, "wavelengths differ"
assert all(abs(a - b) <= 0.05 * abs(b) + 50 for a, b in zip(jdx["y"], mean)), "values differ"
PY
  done
  ;;
outputs_refused)
  # Refused at once, before any device starts, naming the path and why.
  touch notadir
  unwritable=/proc/velmor-out
  if [[ $(id -u) != 0 ]]; then
    mkdir locked && chmod 555 locked && unwritable=locked/out
  fi
  while IFS='|' read -r what reason command; do
    rm -f velmor.log
    expect_status 1 run_sim bash -c "$command"
    expect_in "^[a-z]+: cannot write to [^ ]*$what[^ ]*: .*$reason" err.txt
    expect_not_in 'spectra from|done|waiting' err.txt
    expect_not_in 'VLP' velmor.log
  done <<EOF
notadir/sub|Not a directory|"$velmor" measure --exposure-us 1000 --averaging 1 --count 1 --output notadir/sub
$unwritable|.|"$velmor" batch --collections 2 --exposure-us 1000 --averaging 1 --output $unwritable
notadir/chart.svg|Not a directory|"$velmor" measure --exposure-us 1000 --averaging 1 --count 1 --plot notadir/chart.svg
notadir/rec.h5|Not a directory|"$velmor" record notadir/rec.h5 --exposure-us 1000 --averaging 1 --count 1
notadir|the file already exists|"$velmor" record notadir --exposure-us 1000 --averaging 1 --count 1
EOF
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "ok ($case_name)"
