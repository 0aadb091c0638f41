#!/bin/bash
# Definition downloads end to end, as a technician would run them: the real defload
# against tarvex-sim's peripherals, a 4 KiB coin file (16 coins of 254 bytes and the
# table) into the SR5 and a 64 KiB bill table into the Elite. Reports the median wall
# time and the CPU share of the defload process against a budget: the download's
# fixed waits, plus per message the peripheral's reply time and 10 ms of overhead. The
# original pace, one look per 100 ms, is shown beside it.
# Then in the field's timing (a 9600 baud bus, the unit answering raw port commands 30
# ms late, a 15.6 ms system timer modelled by the clock; a 16 KiB bill table), where
# each message also costs its wire time and its reply's, and the unit's answers to
# the transmit and to the receive that fetches the reply; and once with answers 90 ms
# late, which must finish.
#   bench_download.sh BIN_DIR [RUNS [REPLY_MS [FIELD_RUNS]]]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:?usage: bench_download.sh BIN_DIR [RUNS [REPLY_MS]]}" && pwd)
runs=${2:-3}
reply_ms=${3:-20}
field_runs=${4:-3}
work=$(mktemp -d)
sim_pids=()
trap 'for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
cd "$work"
export TARVEX_SIM_ENDPOINT=$work/units
serial=BENCHDL

coins=16 coin_bytes=254 bill_bytes=65536 field_bill_bytes=16384
lengths=()
for _ in $(seq $coins); do lengths+=("$coin_bytes"); done
bash "$here/../tools/sample_definitions.sh" coins coins.bin "${lengths[@]}"
bash "$here/../tools/sample_definitions.sh" bills bills.bin $bill_bytes
bash "$here/../tools/sample_definitions.sh" bills field-bills.bin $field_bill_bytes

start_unit() {  # SERIAL ARGS...
  local unit=$1
  shift
  "$bin/tarvex-sim" --serial "$unit" --reply-ms "$reply_ms" --exit-after 3600 "$@" 2>"$unit.err" &
  sim_pids+=($!)
  for _ in $(seq 100); do grep -q 'on slot' "$unit.err" 2>/dev/null && return; sleep 0.1; done
  echo "unit $unit did not start: $(cat "$unit.err")" >&2
  exit 1
}
start_unit $serial

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s..%s", lo, hi }'; }
# held UNIT ADDRESS KEY: a number from the peripheral's status line ("... KEY N ...").
held() {
  "$bin/tarvex-sim" status --serial "$1" |
    sed -n "s/^peripheral-$2: .* $3 \([0-9]*\).*/\1/p"
}

# The messages' lengths on the bus, in bytes (N + 5 each).
# SR5: poll, erase, then per coin begin, its data packets (a sub-command byte and up
# to 128 bytes) and end, then the reset.
sr5_messages() {
  local n=$1 bytes=$2 coin left
  echo 5 6
  for coin in $(seq "$n"); do
    echo 6
    for ((left = bytes; left > 0; left -= 128)); do echo $(((left < 128 ? left : 128) + 6)); done
    echo 7
  done
  echo 5
}
# Elite: poll, begin, upload header, a block message per 128 bytes (block, line,
# data), finish.
elite_messages() {
  local bytes=$1 left
  echo 5 5 10
  for ((left = bytes; left > 0; left -= 128)); do echo $(((left < 128 ? left : 128) + 7)); done
  echo 5
}
# cost ANSWER_MS FIXED_MS WHAT LENGTHS...: the budget (WHAT=budget) or the original
# loop's pace (WHAT=old), in ms. A byte is 10 bits on the wire at 9600 baud (none
# without raw-port delay: the default bus); every reply is 5 bytes. The original
# loop: the transmit answered after ANSWER_MS, then one receive request per 100 ms
# tick, each answered ANSWER_MS after it was placed, so the reply is in hand at the
# first tick whose request was taken after it had crossed the wire.
cost() {
  local answer=$1 fixed=$2 what=$3
  shift 3
  printf '%s\n' "$@" | awk -v d="$answer" -v f="$fixed" -v r="$reply_ms" -v what="$what" '
    { byte = d > 0 ? 10000 / 9600 : 0; w = $1 * byte; wr = 5 * byte
      if (what == "budget") total += w + wr + r + 2 * d + 10
      else { late = w + r + wr - d; k = 1 + (late > 0 ? int((late + 99.999) / 100) : 0); total += d + 100 * k } }
    END { printf "%d", f + total + (what == "budget" ? 2 * d : 0) }'
}

# bench LABEL UNIT KIND FILE ADDRESS FIXED_MS ANSWER_MS RUNS MESSAGE_LENGTHS...
# (defload runs with TARVEX_TIMER_TICK_MS=15.6 when ANSWER_MS is not 0)
bench() {
  local label=$1 unit=$2 kind=$3 file=$4 address=$5 fixed=$6 answer=$7 n=$8
  shift 8
  local walls=() shares=() run wall user sys cpu share before seen messages=$#
  local budget old timer=()
  budget=$(cost "$answer" "$fixed" budget "$@")
  old=$(cost "$answer" "$fixed" old "$@")
  [ "$answer" -eq 0 ] || timer=(TARVEX_TIMER_TICK_MS=15.6)
  echo "$label: $messages messages, fixed waits $((fixed)) ms; budget $budget ms" \
    "(fixed + per message wire time, ${reply_ms} ms reply, 2 answers of $answer ms and 10 ms)," \
    "the original loop's pace $old ms"
  for run in $(seq "$n"); do
    before=$(held "$unit" "$address" messages)
    /usr/bin/time -f "%e %U %S" -o time.txt env "${timer[@]}" "$bin/defload" "$kind" "$file" \
      --address "$address" --unit "$unit" --timeout 900 >out.txt || { cat out.txt; exit 1; }
    seen=$(($(held "$unit" "$address" messages) - before))
    [ "$(held "$unit" "$address" cksum)" = "$(cksum <"$file" | awk '{ print $1 }')" ] ||
      { echo "$label: the $kind acceptor does not hold the file" >&2; exit 1; }
    read -r wall user sys <time.txt
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
    share=$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "%.2f", 100 * c / w }')
    echo "$label run $run: wall ${wall} s, cpu ${cpu} s (${share}% of wall)," \
      "$seen messages seen by the acceptor$([ "$seen" -eq "$messages" ] || echo " (NOT $messages)")"
    walls+=("$wall"); shares+=("$share")
  done
  local wall_median share_median verdict
  wall_median=$(median "${walls[@]}")
  share_median=$(median "${shares[@]}")
  verdict=$(awk -v w="$wall_median" -v b="$budget" -v s="$share_median" \
    'BEGIN { print (w * 1000 <= b && s <= 5) ? "PASS" : "FAIL" }')
  echo "$label: median wall ${wall_median} s (runs $(spread "${walls[@]}")) against budget" \
    "$(awk -v b="$budget" 'BEGIN { printf "%.2f", b / 1000 }') s and old pace" \
    "$(awk -v o="$old" 'BEGIN { printf "%.2f", o / 1000 }') s; median CPU ${share_median}% of wall (target <= 5%): $verdict"
}

# Waits, SR5: 1 s after the bus is handed over, 250 ms after the erase and after
# each coin, 1 s settling, 2 s after the release and 2 s after the return of control.
# Elite: 1 s after the hand-over, 3 s settling, 10 s after the release, 2 s after the
# return.
sr5_fixed=$((1000 + 250 + 250 * coins + 1000 + 2000 + 2000))
elite_fixed=$((1000 + 3000 + 10000 + 2000))
mapfile -t sr5 < <(sr5_messages $coins $coin_bytes | tr ' ' '\n')
mapfile -t elite < <(elite_messages $bill_bytes | tr ' ' '\n')
mapfile -t field_elite < <(elite_messages $field_bill_bytes | tr ' ' '\n')
bench "SR5 coins (4 KiB)" $serial coins coins.bin 2 $sr5_fixed 0 "$runs" "${sr5[@]}"
bench "Elite bill table (64 KiB)" $serial elite bills.bin 40 $elite_fixed 0 "$runs" "${elite[@]}"

[ "$field_runs" -gt 0 ] || exit 0
start_unit BENCHF30 --field-timing
start_unit BENCHF90 --field-timing --raw-answer-ms 90
bench "field, 30 ms answers: SR5 coins (4 KiB)" BENCHF30 coins coins.bin 2 $sr5_fixed 30 \
  "$field_runs" "${sr5[@]}"
bench "field, 30 ms answers: Elite bill table (16 KiB)" BENCHF30 elite field-bills.bin 40 \
  $elite_fixed 30 "$field_runs" "${field_elite[@]}"
bench "field, 90 ms answers: SR5 coins (4 KiB)" BENCHF90 coins coins.bin 2 $sr5_fixed 90 1 "${sr5[@]}"
bench "field, 90 ms answers: Elite bill table (16 KiB)" BENCHF90 elite field-bills.bin 40 \
  $elite_fixed 90 1 "${field_elite[@]}"
