#!/bin/bash
# Definition downloads end to end, as a technician would run them: the real defload
# against tarvex-sim's peripherals, a 4 KiB coin file (16 coins of 254 bytes and the
# table) into the SR5 and a 64 KiB bill table into the Elite. Reports the median wall
# time and the CPU share of the defload process against a budget: the download's
# fixed waits, plus per message the peripheral's reply time and 10 ms of overhead. The
# original pace, one look per 100 ms, is shown beside it.
#   bench_download.sh BIN_DIR [RUNS [REPLY_MS]]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:?usage: bench_download.sh BIN_DIR [RUNS [REPLY_MS]]}" && pwd)
runs=${2:-3}
reply_ms=${3:-20}
work=$(mktemp -d)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
export TARVEX_SIM_ENDPOINT=$work/units
serial=BENCHDL

coins=16 coin_bytes=254 bill_bytes=65536
lengths=()
for _ in $(seq $coins); do lengths+=("$coin_bytes"); done
bash "$here/../tools/sample_definitions.sh" coins coins.bin "${lengths[@]}"
bash "$here/../tools/sample_definitions.sh" bills bills.bin $bill_bytes

"$bin/tarvex-sim" --serial $serial --reply-ms "$reply_ms" --exit-after 3600 2>sim.err &
sim_pid=$!
for _ in $(seq 100); do grep -q 'on slot' sim.err 2>/dev/null && break; sleep 0.1; done
grep -q 'on slot' sim.err || { echo "unit $serial did not start: $(cat sim.err)" >&2; exit 1; }

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s..%s", lo, hi }'; }
# held ADDRESS KEY: a number from the peripheral's status line ("... KEY N ...").
held() {
  "$bin/tarvex-sim" status --serial $serial |
    sed -n "s/^peripheral-$1: .* $2 \([0-9]*\).*/\1/p"
}

# bench LABEL KIND FILE ADDRESS MESSAGES FIXED_MS
bench() {
  local label=$1 kind=$2 file=$3 address=$4 messages=$5 fixed=$6
  local walls=() shares=() run wall user sys cpu share before seen
  local budget=$((fixed + (reply_ms + 10) * messages)) old=$((fixed + 100 * messages))
  echo "$label: $messages messages, fixed waits $((fixed)) ms; budget $budget ms" \
    "(fixed + ${reply_ms} ms reply + 10 ms per message), old pace $old ms (fixed + 100 ms per message)"
  for run in $(seq "$runs"); do
    before=$(held "$address" messages)
    /usr/bin/time -f "%e %U %S" -o time.txt "$bin/defload" "$kind" "$file" --address "$address" \
      --unit $serial >out.txt || { cat out.txt; exit 1; }
    seen=$(($(held "$address" messages) - before))
    [ "$(held "$address" cksum)" = "$(cksum <"$file" | awk '{ print $1 }')" ] ||
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

# SR5: poll, erase, then per coin begin, its data packets and end, then the reset.
# Waits: 1 s after the bus is handed over, 250 ms after the erase and after each
# coin, 1 s settling, 2 s after the release and 2 s after the return of control.
packets=$(((coin_bytes + 127) / 128))
bench "SR5 coins (4 KiB)" coins coins.bin 2 $((2 + coins * (packets + 2) + 1)) \
  $((1000 + 250 + 250 * coins + 1000 + 2000 + 2000))
# Elite: poll, begin, upload header, a block message per 128 bytes, finish.
# Waits: 1 s after the hand-over, 3 s settling, 10 s after the release, 2 s after the return.
bench "Elite bill table (64 KiB)" elite bills.bin 40 $((3 + (bill_bytes + 127) / 128 + 1)) \
  $((1000 + 3000 + 10000 + 2000))
