# A unit that stops answering mid-programming, as a technician meets it in the field:
# frozen (its process stopped) and then back, or gone from the bus for a moment.
# Flashwright must end within its bound with exit 2, or finish the job, never hang;
# and a frozen unit must be programmable again once it runs.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
FWIMAGE=$(program fwimage)
EXE=""; [ -n "$EMULATOR" ] && EXE=.exe
cd "$WORK"

fwimage() { run "$FWIMAGE" "$@"; [ "$RC" -eq 0 ] || { echo "fwimage $*: $OUT $ERR" >&2; exit 1; }; }
# 0x4000 bytes of application with its copy: 256 blocks; the units take 20 ms a
# block, so that the faults below land mid-programming.
SIZES=(--kernel-size 0x1400 --app-size 0x4000 --kernel-version 1.0.0.7)
fwimage make --release beta --version 1.2.3 "${SIZES[@]}" --seed 1 -o old.a37
fwimage make --release full --version 2.0.1 "${SIZES[@]}" --seed 2 -o new.a37
cp "$(program flashwright)" "flashwright-plain$EXE"
fwimage pack "flashwright-plain$EXE" new.a37 -o "flashwright-new$EXE"
FLASHWRIGHT=$WORK/flashwright-new$EXE

flashwright_in_background() {  # OUTPUT-FILE ARGS...
  local output=$1
  shift
  ${EMULATOR:+"$EMULATOR"} "$FLASHWRIGHT" "$@" >"$output" 2>&1 &
  RUNNER=$!
}
# Waits for the background run at most SECONDS; its exit code goes to $RC, or 124
# when it had to be killed (a hang).
wait_for_runner() {
  local seconds=$1 i
  for i in $(seq $((seconds * 10))); do
    kill -0 "$RUNNER" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$RUNNER" 2>/dev/null; then
    kill "$RUNNER" 2>/dev/null || true
    wait "$RUNNER" 2>/dev/null || true
    RC=124
    return
  fi
  RC=0; wait "$RUNNER" || RC=$?
}
last_line() { tr -d '\r' <"$1" | sed '/^$/d' | tail -n1; }

# Frozen for 60 s: the acknowledgement bound (10 s) plus one recovery ladder
# (whose calls each wait out the library's 5 s) ends the run well before the unit
# wakes: 40 s is the hang guard, not a measure.
serial="FRZ$RANDOM"
start_unit frozen --serial "$serial" --firmware old.a37 --ack-delay 20
frozen_pid=$UNIT_PID
flashwright_in_background frozen.out /n /s "$serial"
wait_for_programming "$serial" 5
kill -STOP "$frozen_pid"
started=$SECONDS
wait_for_runner 40
took=$((SECONDS - started))
kill -CONT "$frozen_pid"
echo "frozen unit: Flashwright ended after ${took} s"
check "frozen: exit code" 2 "$RC"
check "frozen: the timeout is the warning" 1 \
  "$(tr -d '\r' <frozen.out | grep -c '^Warning: Timeout: no acknowledgement for block 0x')"
check "frozen: the last line says the job is not done" "Programming did not complete" \
  "$(last_line frozen.out)"

# Awake again, the unit gives up on the abandoned programming after a few seconds
# of silence and answers from its kernel: a new run programs it to a healthy unit.
run "$FLASHWRIGHT" /n /s "$serial"
check "after the freeze: exit code" 0 "$RC"
check "after the freeze: programming complete" "Programming complete" "$(last_line "$WORK/out")"
run "$SIM" status --serial "$serial"
check "after the freeze: the unit runs the new firmware" "Full Release 2.0.1" "$(value firmware)"
check "after the freeze: healthy" 1 "$(value status)"

# Off the bus for 300 ms: the block in flight, or its acknowledgement, is lost with
# the link; once recovered the block is sent again and the run completes.
serial="DRP$RANDOM"
start_unit dropping --serial "$serial" --firmware old.a37 --ack-delay 20
flashwright_in_background dropped.out /n /s "$serial"
wait_for_programming "$serial" 5
run "$SIM" ctl --serial "$serial" unplug 300
wait_for_runner 60
check "a dropped block: exit code" 0 "$RC"
check "a dropped block: programming complete" "Programming complete" "$(last_line dropped.out)"
run "$SIM" status --serial "$serial"
check "a dropped block: healthy" 1 "$(value status)"
check "a dropped block: the new firmware" "Full Release 2.0.1" "$(value firmware)"
finish
