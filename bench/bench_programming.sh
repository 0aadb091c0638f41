#!/bin/bash
# Reprograms a simulated unit with a full-size image, as a technician would with
# `flashwright /n`, and reports wall time and the CPU time the Flashwright process
# used: against a unit acknowledging at its default time (2 ms after a block), and
# against a slow unit (ack delay 150 ms), compared there with the original pace of
# one look per 100 ms (each block costs its acknowledgement time rounded up to 100 ms);
# and in the field's timing: USB in 1 ms frames and a system timer of 15.6 ms ticks
# (Windows' default, modelled by the clock), with the fine timer the worker holds and
# without it.
#   bench_programming.sh BIN_DIR [RUNS [SLOW_RUNS [FIELD_RUNS]]]
set -euo pipefail
bin=$(cd "${1:?usage: bench_programming.sh BIN_DIR [RUNS [SLOW_RUNS]]}" && pwd)
runs=${2:-5}
slow_runs=${3:-1}
field_runs=${4:-3}
source "$(dirname "$0")/programming_lib.sh"
carrying flashwright

# bench LABEL SERIAL RUNS [VAR=VALUE...]: RUNS programmings, Flashwright run with
# those variables; sets WALL and SHARE (medians).
bench() {
  local label=$1 serial=$2 n=$3 walls=() shares=() run wall cpu share
  shift 3
  for run in $(seq "$n"); do
    /usr/bin/time -f "%e %U %S" -o time.txt env "$@" ./flashwright-full /n /f /s "$serial" >out.txt
    grep -q '^Programming complete' out.txt || { cat out.txt; exit 1; }
    read_time
    echo "$label run $run: wall ${wall} s, cpu ${cpu} s (${share}% of wall)"
  done
  WALL=$(median "${walls[@]}")
  SHARE=$(median "${shares[@]}")
  echo "$label: median wall ${WALL} s (runs $(spread "${walls[@]}")), median CPU ${SHARE}% of wall"
}

start_unit BENCH1
echo "image: $blocks blocks; target: wall <= 10 s, CPU <= 10% of wall"
bench "default unit" BENCH1 "$runs"
awk -v w="$WALL" -v s="$SHARE" 'BEGIN { exit !(w <= 10 && s <= 10) }' &&
  echo "default unit: within target" || echo "default unit: OUTSIDE TARGET"

if [ "$slow_runs" -gt 0 ]; then
  # The original pace: a block acknowledged 152 ms after it was sent is seen at the
  # second look, 200 ms after.
  start_unit BENCH2 --ack-delay 150
  pace=$(awk -v b="$blocks" 'BEGIN { printf "%.1f", b * 0.2 }')
  echo "slow unit (ack delay 150 ms): original pace ${pace} s; target: no slower"
  bench "slow unit" BENCH2 "$slow_runs"
  awk -v w="$WALL" -v p="$pace" 'BEGIN { exit !(w <= p) }' &&
    echo "slow unit: within target" || echo "slow unit: OUTSIDE TARGET"
fi

[ "$field_runs" -gt 0 ] || exit 0
# The field: USB frames of 1 ms, and every sleep of Flashwright rounded up to whole
# 15.6 ms ticks unless it holds a fine timer. The original pace there: one look per
# 100 ms lasts 7 ticks (109.2 ms), and each block's acknowledgement is seen at the
# first look.
start_unit BENCH3 --usb-frame-ms 1
pace=$(awk -v b="$blocks" 'BEGIN { printf "%.1f", b * 0.1092 }')
echo "field timing (USB frames of 1 ms, 15.6 ms system timer): original pace ${pace} s;" \
  "target <= 10 s with the fine timer"
bench "field, fine timer held" BENCH3 "$field_runs" TARVEX_TIMER_TICK_MS=15.6
awk -v w="$WALL" -v s="$SHARE" 'BEGIN { exit !(w <= 10 && s <= 10) }' &&
  echo "field, fine timer held: within target" || echo "field, fine timer held: OUTSIDE TARGET"
bench "field, fine timer left out" BENCH3 1 TARVEX_TIMER_TICK_MS=15.6 TARVEX_FINE_TIMING=off
echo "field, fine timer left out: ${WALL} s, what the fine timer saves"
