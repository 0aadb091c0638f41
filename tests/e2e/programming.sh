# Flashwright reprograms simulated units end to end: the real program, carrying a
# packed image, binds the virtual D2XX library and talks to tarvex-sim processes.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
cd "$WORK"

# 40 kernel blocks and 24 application blocks: with the kernel copy the unit gets 64
# blocks, a progress mark every second one.
SIZES=(--kernel-size 0x1400 --app-size 0xC00 --kernel-version 1.0.0.7)
fwimage make --release beta --version 1.2.3 "${SIZES[@]}" --date "Nov  2 2026" --time "08:00:00" \
  --seed 1 -o old.a37
fwimage make --release full --version 2.0.1 "${SIZES[@]}" --date "Dec  1 2026" --time "10:20:30" \
  --seed 2 -o new.a37
cp "$(program flashwright)" "flashwright-plain$EXE"
fwimage pack "flashwright-plain$EXE" new.a37 -o "flashwright-new$EXE"
FLASHWRIGHT=$WORK/flashwright-new$EXE
MARKS=$(printf 'X%.0s' $(seq 32))
# 24 application blocks and no kernel copy, for the cases that only need a run.
fwimage make --release full --version 3.0.0 --kernel-size 0x1080 --app-size 0xC00 \
  --kernel-version 1.0.0.7 --seed 3 -o small.a37
fwimage pack "flashwright-plain$EXE" small.a37 -o "flashwright-small$EXE"
SMALL=$WORK/flashwright-small$EXE

# Device indexes count the units that are there: one on slot 1 with slot 0 empty is
# index 0 (the scan ends at the first index not found).
slot1="SL1$RANDOM"
start_unit slot1 --slot 1 --serial "$slot1" --firmware old.a37
run "$SMALL" /n /s "$slot1"
check "slot 0 empty: exit code" 0 "$RC"
run "$SIM" status --slot 1
check "slot 0 empty: the unit on slot 1 was programmed" "Full Release 3.0.0" "$(value firmware)"
check "slot 0 empty: healthy" 1 "$(value status)"

serial="PRG$RANDOM"
start_unit a --serial "$serial" --firmware old.a37

run "$FLASHWRIGHT" /n /s "$serial"
check_output "programming a newer image" "QMX Firmware Reprogramming System
Kernel Present
Kernel Copy present
Loaded Firmware: Beta Test  1.2.3
        Compiled on Nov  2 2026 at 08:00:00
New Firmware:    Full Release  2.0.1
        Compiled on Dec  1 2026 at 10:20:30
Programming...$MARKS
Programming complete
"
check "programming: exit code" 0 "$RC"
run "$SIM" status --serial "$serial"
check "the unit runs the new firmware" "Full Release 2.0.1" "$(value firmware)"
check "the unit is healthy" 1 "$(value status)"
check "application and kernel copy were programmed" 64 "$(value programmed-blocks)"
check "Flashwright gave the block back" 0 "$(value driver-state)"

run "$FLASHWRIGHT" /n /c /s "$serial"
check_output "/c with the same image" "QMX Firmware Reprogramming System
Kernel Present
Kernel Copy present
Images match
"
check "/c: exit code" 0 "$RC"

run "$FLASHWRIGHT" /n /s "$serial"
check "up to date" 1 "$(tr -d '\r' <<<"$OUT" | grep -c -x 'Card firmware is up to date')"

run "$FLASHWRIGHT" /n /f /s "$serial"
check "/f reprograms a matching image" 1 \
  "$(tr -d '\r' <<<"$OUT" | grep -c -x "Re-programming only because of /Force flag")"
check "/f: exit code" 0 "$RC"

run "$FLASHWRIGHT" /n /f /k /s "$serial"
check "/k: exit code" 0 "$RC"
run "$SIM" status --serial "$serial"
# From address 0: the kernel's 40 blocks, the page-start zeros of the gap below the
# application (blocks at 0x2000..0x7000), application and copy.
check "/k programs from address 0" 110 "$(value programmed-blocks)"
check "/k: healthy" 1 "$(value status)"

# Link faults in the middle of programming are recovered.
for fault in "queue-status --nth 300" "read --nth 20" "write --nth 15" "get-status --nth 25"; do
  # shellcheck disable=SC2086
  run "$SIM" ctl --serial "$serial" fail $fault
done
run "$SIM" ctl --serial "$serial" short-writes 100
run "$FLASHWRIGHT" /n /f /s "$serial"
check "recovered from link faults: exit code" 0 "$RC"
check "recovered: programming complete" 1 "$(tr -d '\r' <<<"$OUT" | grep -c -x 'Programming complete')"
run "$SIM" status --serial "$serial"
check "recovered: healthy" 1 "$(value status)"
run "$SIM" ctl --serial "$serial" clear-faults
run "$SIM" ctl --serial "$serial" short-writes 0

# Without a serial number the unit at the lowest index is taken: the first unit,
# which runs the image, not the second, which could not be reprogrammed at all.
lite="LITE$RANDOM"
start_unit lite --serial "$lite" --firmware old.a37 --cannot-reprogram
run "$FLASHWRIGHT" /n /c
check "the lower index is taken" 1 "$(tr -d '\r' <<<"$OUT" | grep -c -x 'Images match')"
check "the lower index: exit code" 0 "$RC"
run "$FLASHWRIGHT" /n /s "$lite"
check_output "a unit that cannot be reprogrammed" "QMX Firmware Reprogramming System
Error: Tarvex Lite cannot be re-programmed (Serial No. $lite)

"
check "cannot be reprogrammed: exit code" 1 "$RC"

# Unplugged for longer than recovery lasts: a warning and exit 2, never a hang. At
# the original pace (one look per 100 ms, set through the environment) the run lasts
# long enough for the unplug to land mid-programming.
run_in_background() {
  if [ -n "$EMULATOR" ]; then "$EMULATOR" "$@"; else "$@"; fi
}
FLASHWRIGHT_POLL_MS=100 run_in_background "$FLASHWRIGHT" /n /f /s "$serial" >"$WORK/unplug.out" 2>&1 &
runner=$!
wait_for_programming "$serial" 5
run "$SIM" ctl --serial "$serial" unplug
rc=0; wait "$runner" || rc=$?
check "unplugged: exit code" 2 "$rc"
check "unplugged: warning" 1 "$(tr -d '\r' <"$WORK/unplug.out" | grep -c '^Warning: Timeout: no acknowledgement for block 0x')"
check "unplugged: the last line" "Programming did not complete" \
  "$(tr -d '\r' <"$WORK/unplug.out" | sed '/^$/d' | tail -n1)"
run "$SIM" ctl --serial "$serial" replug

# A unit with a self-test error.
selftest="ST$RANDOM"
start_unit selftest --serial "$selftest" --firmware old.a37 --self-test-error 0x2C
run "$FLASHWRIGHT" /n /s "$selftest"
check "self-test error: exit code" 2 "$RC"
check "self-test warning" 1 \
  "$(tr -d '\r' <<<"$OUT" | grep -c -x '  a self test error code of 2c')"
check "self-test warning text" 1 "$(tr -d '\r' <<<"$OUT" | grep -c -x 'Warning: The unit is returning')"

# Flashwright killed mid-programming: once nothing more comes the unit falls back to
# its kernel, soon enough for a run started at once to find it and program it.
killed="KIL$RANDOM"
# Slow to acknowledge (200 ms a block), so that the kill lands mid-programming.
start_unit killed --serial "$killed" --firmware old.a37 --ack-delay 200
# A session of its own, so that the kill reaches the program under the emulator too.
setsid ${EMULATOR:+"$EMULATOR"} "$SMALL" /n /f /s "$killed" >"$WORK/killed.out" 2>&1 &
runner=$!
wait_for_programming "$killed" 1
kill -KILL -- "-$runner" 2>/dev/null || true
wait "$runner" || true
check "killed: it was mid-programming" 0 "$(tr -d '\r' <"$WORK/killed.out" | grep -c -x 'Programming complete' || true)"
# The system lets go of a killed program's device handle as it cleans the program
# up: at once natively, a moment later under Wine (its server closes the handles).
for _ in $(seq 100); do
  run "$SIM" status --serial "$killed"
  [ "$(value open)" = no ] && break
  sleep 0.1
done
check "killed: its handle let go of within 10 s" no "$(value open)"
before=$(tr -d '\r' <<<"$OUT" | grep -E '^(open|programming|status|programmed-blocks):' | tr '\n' ' ')
run "$SMALL" /n /f /s "$killed"
[ "$RC" = 0 ] || printf 'after a killed run, the unit before the new run: %s\noutput:\n%s\n' \
  "$before" "$OUT" >&2
check "after a killed run: exit code and last line" "0 Programming complete" \
  "$RC $(tr -d '\r' <<<"$OUT" | sed '/^$/d' | tail -n1)"
run "$SIM" status --serial "$killed"
check "after a killed run: new firmware" "Full Release 3.0.0" "$(value firmware)"
check "after a killed run: healthy" 1 "$(value status)"

# No unit carries the wanted serial number.
run "$FLASHWRIGHT" /n /s NOSUCH
check_output "a serial number no unit has" "QMX Firmware Reprogramming System
Error: Valdren not found (Serial No. NOSUCH)

"
check "no such serial: exit code" 1 "$RC"
finish
