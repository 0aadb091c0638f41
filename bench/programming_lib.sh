# Shared by the benches that reprogram simulated units (bench_programming.sh,
# bench_station.sh): a scratch folder, the full-size image, units started and stopped
# however the script ends, and the sums over the runs. Sourced with $bin the folder
# of the programs.
work=$(mktemp -d)
sim_pids=()
stop_sims() {
  local p
  for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${sim_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  sim_pids=()
}
trap 'stop_sims; rm -rf "$work"' EXIT
cd "$work"
export TARVEX_SIM_ENDPOINT=$work/units FLASHWRIGHT_D2XX=$bin/libftd2xx.so

# Kernel 0x8000, application to 0x38000, kernel copy to 0x40000: the unit keeps its
# kernel, so blocks 0x8000..0x40000 are sent: 1792 blocks, none empty.
"$bin/fwimage" make --release full --version 3.0.0 --kernel-size 0x8000 --app-size 0x30000 \
  --seed 5 -o full.a37 >/dev/null
blocks=1792

# carrying PROGRAM: the program of the build with full.a37 packed in, as ./PROGRAM-full.
carrying() {
  cp "$bin/$1" plain
  "$bin/fwimage" pack plain full.a37 -o "$1-full" >/dev/null
}

start_unit() {  # SERIAL ARGS...
  local serial=$1
  shift
  "$bin/tarvex-sim" --serial "$serial" --firmware full.a37 --no-block --exit-after 3600 "$@" \
    2>"$serial.err" &
  sim_pids+=($!)
  for _ in $(seq 100); do grep -q 'on slot' "$serial.err" 2>/dev/null && return; sleep 0.1; done
  echo "unit $serial did not start" >&2
  exit 1
}

# read_time: what /usr/bin/time -f "%e %U %S" left in time.txt: the wall time in
# $wall, the CPU time (user and system) in $cpu and that as % of the wall in $share;
# the wall time and the share are added to the caller's $walls and $shares.
read_time() {
  local user sys
  read -r wall user sys <time.txt
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  share=$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "%.2f", 100 * c / w }')
  walls+=("$wall"); shares+=("$share")
}
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%s..%s", lo, hi }'; }
