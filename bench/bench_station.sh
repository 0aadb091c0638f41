#!/bin/bash
# fwstation programming one unit and then eight at once with a full-size image (the
# kernel kept, --force: 1792 blocks each), against units acknowledging at their
# default time: the wall time of eight against one (the jobs should not queue behind
# each other), and the station's CPU time as a share of one core. Then eight units
# in the field's timing: USB in 1 ms frames and a 15.6 ms system timer.
#   bench_station.sh BIN_DIR [RUNS [FIELD_RUNS]]
set -euo pipefail
bin=$(cd "${1:?usage: bench_station.sh BIN_DIR [RUNS [FIELD_RUNS]]}" && pwd)
runs=${2:-5}
field_runs=${3:-1}
source "$(dirname "$0")/programming_lib.sh"
carrying fwstation

start_units() {  # PREFIX COUNT ARGS...: units PREFIX1..PREFIXCOUNT
  local prefix=$1 count=$2 i
  shift 2
  for i in $(seq "$count"); do start_unit "$prefix$i" "$@"; done
}

# bench LABEL RUNS SERIALS [-- VAR=VALUE...]: RUNS station runs over the units named,
# each of which must come out programmed with every block; sets WALL and SHARE
# (medians: seconds, and CPU time as % of one core) and prints the spread.
bench() {
  local label=$1 n=$2 serials=($3) walls=() shares=() run wall cpu share bad
  shift 3
  [ "${1:-}" = -- ] && shift
  for run in $(seq "$n"); do
    rm -f record.jsonl
    /usr/bin/time -f "%e %U %S" -o time.txt env "$@" ./fwstation-full --force \
      --record record.jsonl "${serials[@]}" >out.txt || { cat out.txt; exit 1; }
    # Every unit named has its line: programmed, every block sent.
    bad=$(jq -r --argjson n "$blocks" \
      'select(.result != "programmed" or .blocks != $n or .blocks_total != $n) | .serial' record.jsonl)
    [ -z "$bad" ] && [ "$(jq -s length record.jsonl)" -eq "${#serials[@]}" ] ||
      { echo "$label: not every unit was programmed:"; cat out.txt record.jsonl; exit 1; }
    read_time
    echo "$label run $run: wall ${wall} s, cpu ${cpu} s (${share}% of one core)"
  done
  WALL=$(median "${walls[@]}")
  SHARE=$(median "${shares[@]}")
  echo "$label: median wall ${WALL} s (runs $(spread "${walls[@]}")), median CPU ${SHARE}% of one core (runs $(spread "${shares[@]}"))"
}

start_units BENCH 8
echo "image: $blocks blocks a unit; targets: eight units <= 1.25 x one unit's wall, station CPU <= 10% of one core"
bench "one unit" "$runs" BENCH1
one=$WALL
bench "eight units" "$runs" "$(echo BENCH{1..8})"
ratio=$(awk -v e="$WALL" -v o="$one" 'BEGIN { printf "%.2f", e / o }')
echo "eight units against one: ${ratio} x the wall time"
awk -v r="$ratio" 'BEGIN { exit !(r <= 1.25) }' &&
  echo "eight units, wall: within target" || echo "eight units, wall: OUTSIDE TARGET"
awk -v s="$SHARE" 'BEGIN { exit !(s <= 10) }' &&
  echo "eight units, station CPU: within target" || echo "eight units, station CPU: OUTSIDE TARGET"
stop_sims

[ "$field_runs" -gt 0 ] || exit 0
# The field: USB frames of 1 ms (and the bus pace of --field-timing), every sleep of
# the station rounded up to whole 15.6 ms ticks unless it holds a fine timer.
start_units FIELD 8 --field-timing
bench "field timing, eight units" "$field_runs" "$(echo FIELD{1..8})" -- TARVEX_TIMER_TICK_MS=15.6
echo "field timing, eight units: ${WALL} s against ${one} s for one unit at the default pace"
