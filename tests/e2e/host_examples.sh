# The host examples of docs/examples, in C and in Python, against a simulated unit:
# each opens the unit by its serial number, takes the coin this script inserts and
# pays its value back out, takes the event this script posts, and downloads a coin
# definition file into the SR5. The unit's paid-total and the SR5's cksum against
# the file sent say whether they did. Then each against a unit that is not there.
#   host_examples.sh "" BIN C_EXAMPLE [PYTHON PY_EXAMPLE]
# (without PYTHON, as in the sanitizer builds, only the C example runs).
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
C_EXAMPLE=${3:?the C example program}
PYTHON=${4:-}
PY_EXAMPLE=${5:-}
SAMPLE=$(cd "$(dirname "$0")/../../tools" && pwd)/sample_definitions.sh
[ -x "$C_EXAMPLE" ] || { echo "FAIL: no program at $C_EXAMPLE" >&2; exit 1; }

serial="H$RANDOM$RANDOM"
serial=${serial:0:10}  # the missing unit adds a letter: 11 at most
ctl() { sim ctl --serial "$serial" "$@" >/dev/null; }

# wait_line FILE TEXT PID: until FILE has a line starting with TEXT (30 s at most,
# and no longer than the example runs).
wait_line() {
  local i
  for i in $(seq 600); do
    grep -q "^$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# example NAME COIN EVENT COMMAND...: runs an example, puts in the coin when it waits
# for one and posts the event when it waits for one; $OUT, $ERR and $RC as run's.
example() {
  local name=$1 coin=$2 event=$3
  shift 3
  "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  local pid=$!
  wait_line "$WORK/$name.out" "waiting up to 30 s for a coin" "$pid" && ctl insert-coin "$coin"
  wait_line "$WORK/$name.out" "waiting up to 30 s for an event" "$pid" && ctl post-event "$event"
  RC=0
  wait "$pid" || RC=$?
  OUT=$(cat "$WORK/$name.out")
  ERR=$(cat "$WORK/$name.err")
}

line() { grep "^$1" <<<"$OUT" || true; }

# check_example NAME COIN EVENT_LINE FILE PAID_BEFORE
check_example() {
  local name=$1 coin=$2
  check "$name: exit code" 0 "$RC"
  check "$name: opened" "unit $serial open: firmware 2.4.17 (release type 4) compiled Dec  8 2026 09:30:00" \
    "$(line "unit $serial open")"
  check "$name: the SR5 found" "acceptor 0: unit code 0x02020103 at address 2, 6 entries" \
    "$(line "acceptor 0:")"
  check "$name: the coin seen" "coin: credit $coin" "$(line "coin:")"
  check "$name: paid" "payout complete: paid $coin" "$(line "payout complete")"
  check "$name: the event" "$3" "$(line "event ")"
  check "$name: downloaded" "download result 0: download complete (5 of 5)" "$(line "download result")"
  check "$name: to the end" "done" "$(tail -n1 <<<"$OUT")"
  run "$SIM" status --serial "$serial"
  check "$name: the unit paid the coin" $(($5 + coin)) "$(value paid-total)"
  check "$name: the SR5 holds the file" "$(cksum <"$4" | awk '{ print "size " $2 " cksum " $1 }')" \
    "$(value peripheral-2 | sed -E 's/.*(size [0-9]+ cksum [0-9]+).*/\1/')"
  # Unloaded with the process: the last host's attachment switched the interface off.
  check "$name: detached" "0 0" "$(value attach-count) $(value interface-enabled)"
}

"$(program fwimage)" make --release full --version 2.4.17 --kernel-size 0x1400 --app-size 0x1800 \
  --kernel-version 1.0.3.9 --seed 8 --date "Dec  8 2026" --time "09:30:00" \
  -o "$WORK/firmware.a37" >/dev/null
start_unit unit --serial "$serial" --firmware "$WORK/firmware.a37" --level 7
bash "$SAMPLE" coins "$WORK/c.bin" 254 300 0 0 128
bash "$SAMPLE" coins "$WORK/py.bin" 128 0 300 200 60

run "$SIM" status --serial "$serial"
paid=$(value paid-total)
example c 100 0x00010021 "$C_EXAMPLE" "$serial" "$WORK/c.bin"
check_example "C" 100 "event 33: data1 1, data2 0, flag 0" "$WORK/c.bin" "$paid"

if [ -n "$PYTHON" ]; then
  run "$SIM" status --serial "$serial"
  paid=$(value paid-total)
  example py 50 0x81020022 "$PYTHON" "$PY_EXAMPLE" --library-dir "$BIN" "$serial" "$WORK/py.bin"
  check_example "Python" 50 "event 34: data1 2, data2 1, flag 1" "$WORK/py.bin" "$paid"
fi

# No unit of that serial number: the open's result, named.
run "$C_EXAMPLE" "${serial}X" "$WORK/c.bin"
check "C, no unit: exit code" 1 "$RC"
check "C, no unit: says why" \
  "host_example: unit ${serial}X did not open: 31 (no such unit, or it does not accept a host now)" "$ERR"
run "$C_EXAMPLE" "$serial"
check "C, usage: exit code" 2 "$RC"
if [ -n "$PYTHON" ]; then
  run "$PYTHON" "$PY_EXAMPLE" --library-dir "$BIN" "${serial}X" "$WORK/py.bin"
  check "Python, no unit: exit code" 1 "$RC"
  check "Python, no unit: says why" \
    "host_example.py: unit ${serial}X did not open: 31 (no such unit, or it does not accept a host now)" "$ERR"
fi
finish
