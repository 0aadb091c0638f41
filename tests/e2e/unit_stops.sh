# A unit that stops answering mid-programming, as a technician meets it in the field:
# frozen (its process stopped) and then back, or gone from the bus for a moment.
# Flashwright must end within its bound with exit 2, or finish the job, never hang;
# and a frozen unit must be programmable again once it runs.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
cd "$WORK"

# 0x4000 bytes of application with its copy: 256 blocks; the units take 20 ms a
# block, so that the faults below land mid-programming.
old_and_new_images flashwright --kernel-size 0x1400 --app-size 0x4000 --kernel-version 1.0.0.7
FLASHWRIGHT=$CARRIER

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

QMX=$(program qmx)
# host_sees SERIAL RESULT: true once a host's open gives RESULT (bounded); the
# last answer stays in $OUT.
host_sees() {
  local i
  for i in $(seq 50); do
    run "$QMX" --serial "$1" status
    [ "$(value open)" = "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# A technician's terminal closing (SIGHUP) or a kill (SIGTERM) mid-programming:
# Flashwright hands the unit back on the way out. Its application is half written,
# so hosts hear "not ready" from the unit's driver, no longer "busy" (170) until
# Flashwright runs again; the next run programs it and hosts open it. Windows has
# console events instead of signals.
if [ -z "$EMULATOR" ]; then
  for signal in TERM HUP; do
    serial="S$signal$RANDOM"
    start_unit "sig$signal" --serial "$serial" --firmware old.a37 --ack-delay 20
    flashwright_in_background "sig$signal.out" /n /s "$serial"
    wait_for_programming "$serial" 5
    kill -s "$signal" "$RUNNER"
    wait_for_runner 10
    check "SIG$signal: ended by the signal" $((128 + $(kill -l "$signal"))) "$RC"
    host_sees "$serial" "21 (the unit's driver is not ready)" || true
    check "SIG$signal: the unit is handed back" "21 (the unit's driver is not ready)" \
      "$(value open)"
    run "$FLASHWRIGHT" /n /s "$serial"
    check "SIG$signal: the next run programs" 0 "$RC"
    run "$SIM" status --serial "$serial"
    check "SIG$signal: the new firmware" "Full Release 2.0.1" "$(value firmware)"
    check "SIG$signal: driver-state" 0 "$(value driver-state)"
    host_sees "$serial" "0 (open)" || true
    check "SIG$signal: a host opens" "0 (open)" "$(value open)"
  done
fi

# Native only: under Wine a SIGKILLed program's device connection can outlive it for
# many seconds (the Wine server keeps its socket), which is no unit's behaviour.
if [ -z "$EMULATOR" ]; then
# A kernel update cut short leaves a kernel that fails its check: a plain run keeps
# it, so it tells the technician to run again with /k, which mends the unit. The
# kernel's blocks from 0x1000 on carry its mark: cut after the mark, before the end.
fwimage make --release full --version 2.0.1 --kernel-size 0x5000 --app-size 0x1000 \
  --kernel-version 1.0.0.7 --seed 4 -o bigkernel.a37
fwimage pack "flashwright-plain$EXE" bigkernel.a37 -o "flashwright-bigkernel$EXE"
BIGKERNEL=$WORK/flashwright-bigkernel$EXE
serial="KRN$RANDOM"
start_unit kernel --serial "$serial" --firmware old.a37 --ack-delay 20
# A session of its own, so that the kill reaches the program under the emulator too.
setsid ${EMULATOR:+"$EMULATOR"} "$BIGKERNEL" /n /f /k /s "$serial" >kernel.out 2>&1 &
RUNNER=$!
wait_for_programming "$serial" 40
kill -KILL -- "-$RUNNER" 2>/dev/null || true
wait "$RUNNER" || true
# The unit has seen the loader go once its device is closed and its wait for the
# loader's next record ran out (under Wine the kill takes a moment to close it).
deadline=$((SECONDS + 20))
while [ "$SECONDS" -lt "$deadline" ]; do
  run "$SIM" status --serial "$serial"
  [ "$(value open)" = no ] && [ "$(value programming)" = no ] && break
  sleep 0.2
done
check "broken kernel: the unit let go of the killed loader" "no no" \
  "$(value open) $(value programming)"
ADVICE="The unit's kernel fails its check and was kept: run again with /k to rewrite it"
run "$BIGKERNEL" /n /s "$serial"
check "broken kernel, plain run: exit code" 2 "$RC"
[ "$RC" -eq 2 ] || echo "$OUT" >&2
check "broken kernel, plain run: the advice, then the warning" "$ADVICE
Warning: The reprogramming has failed!!" \
  "$(tr -d '\r' <<<"$OUT" | grep -A1 -F "$ADVICE")"
run "$BIGKERNEL" /n /k /s "$serial"
check "broken kernel, /k: exit code" 0 "$RC"
check "broken kernel, /k: no advice" 0 "$(tr -d '\r' <<<"$OUT" | grep -c -F "$ADVICE" || true)"
run "$SIM" status --serial "$serial"
check "broken kernel, /k: healthy" 1 "$(value status)"
fi
finish
