#!/bin/bash
# Reprograms a simulated unit with a full-size image, as a technician would with
# `flashwright /n`, and reports wall time against the protocol's floor (B blocks x
# 100 ms) and the CPU time the Flashwright process used.
#   bench_programming.sh BIN_DIR [RUNS]
set -euo pipefail
bin=$(cd "${1:?usage: bench_programming.sh BIN_DIR [RUNS]}" && pwd)
runs=${2:-3}
work=$(mktemp -d)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
export TARVEX_SIM_ENDPOINT=$work/units FLASHWRIGHT_D2XX=$bin/libftd2xx.so

# Kernel 0x8000, application to 0x38000, kernel copy to 0x40000: the unit keeps its
# kernel, so blocks 0x8000..0x40000 are sent: 1792 blocks, none empty.
"$bin/fwimage" make --release full --version 3.0.0 --kernel-size 0x8000 --app-size 0x30000 \
  --seed 5 -o full.a37 >/dev/null
cp "$bin/flashwright" plain
"$bin/fwimage" pack plain full.a37 -o flashwright-full >/dev/null
blocks=1792

"$bin/tarvex-sim" --serial BENCH1 --firmware full.a37 --exit-after 3600 2>sim.err &
sim_pid=$!
for _ in $(seq 100); do grep -q 'on slot' sim.err 2>/dev/null && break; sleep 0.1; done

floor=$(awk -v b="$blocks" 'BEGIN { printf "%.1f", b * 0.1 }')
echo "image: $blocks blocks; protocol floor ${floor} s; target wall <= floor x 1.02 + 1 s, CPU < 5% of wall"
walls=() ; cpus=()
for run in $(seq "$runs"); do
  /usr/bin/time -f "%e %U %S" -o time.txt ./flashwright-full /n /f /s BENCH1 >out.txt
  grep -q '^Programming complete' out.txt || { cat out.txt; exit 1; }
  read -r wall user sys <time.txt
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  share=$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "%.2f", 100 * c / w }')
  echo "run $run: wall ${wall} s, cpu ${cpu} s (${share}% of wall)"
  walls+=("$wall"); cpus+=("$share")
done
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
wall=$(median "${walls[@]}")
echo "median wall ${wall} s = floor + $(awk -v w="$wall" -v f="$floor" 'BEGIN { printf "%.2f s (%.2f%% over)", w - f, 100 * (w - f) / f }')"
echo "median CPU share $(median "${cpus[@]}")% of wall"
