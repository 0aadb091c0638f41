# Flashwright as a whole program: help text, and a console run with no unit.
source "$(dirname "$0")/lib.sh"
FLASHWRIGHT=$(program flashwright)

# The virtual D2XX library with no simulated unit running: a machine without any
# FTDI device, where the search ends after 5 seconds.
if [ -n "$EMULATOR" ]; then
  export FLASHWRIGHT_D2XX=$(cd "$BIN" && pwd)/FTD2XX.dll
  export TARVEX_SIM_ENDPOINT=$((30000 + RANDOM % 20000))
else
  export FLASHWRIGHT_D2XX=$(cd "$BIN" && pwd)/libftd2xx.so
  export TARVEX_SIM_ENDPOINT=$WORK/no-units
fi

HELP='QMX Firmware Reprogramming System
  /n   NoGui:  Reprogram without starting the windows interface
  /f   Force:  Force the download of the program regardless of what'"'"'s
               already programmed
  /k   Kernel: Force the download of the Kernel - not recommended as
               Kernel update is automatic
  /c   Check:  Update if different. If versions match then exit.

  Other parameters treated as /c 

'

run "$FLASHWRIGHT" /?
check_output "/? output" "$HELP"
check "/? exit code" 0 "$RC"

run "$FLASHWRIGHT" /N /f /?
check_output "/? after options" "$HELP"
check "/? after options exit code" 0 "$RC"

serial="E2E$((RANDOM))"
run "$FLASHWRIGHT" /n /s "$serial"
check_output "/n /s with no unit" "QMX Firmware Reprogramming System
Error: Valdren not found (Serial No. $serial)

"
check "/n /s with no unit: exit code" 1 "$RC"

run "$FLASHWRIGHT" /nogui "/s=${serial}x"
check_output "/nogui /s= with no unit" "QMX Firmware Reprogramming System
Error: Valdren not found (Serial No. ${serial}x)

"
check "/nogui /s= exit code" 1 "$RC"

run "$FLASHWRIGHT" /n
check_output "/n with no unit" 'QMX Firmware Reprogramming System
Error: Valdren not found

'
check "/n exit code" 1 "$RC"

run "$FLASHWRIGHT" /n /s=ABCDEFGHIJKL
check_output "over-long serial" 'QMX Firmware Reprogramming System
Error: Serial number <ABCDEFGHIJKL> is too long: a serial number has at most 11 characters

'
check "over-long serial exit code" 1 "$RC"

run "$FLASHWRIGHT" /n /s
check_output "/s without a serial number" 'QMX Firmware Reprogramming System
Error: No serial number after /s: give /s SERIAL or /s=SERIAL

'
check "/s without a serial number: exit code" 1 "$RC"

# A Qt platform that cannot start would end the program on the spot: the window
# mode asks first, and ends with an error, never an abort, before any unit is taken.
if [ -z "$EMULATOR" ]; then
  for platform in xcb wayland; do
    (unset DISPLAY WAYLAND_DISPLAY; QT_QPA_PLATFORM=$platform XDG_RUNTIME_DIR=$WORK \
      run "$FLASHWRIGHT" /s "$serial"; echo "$RC" >"$WORK/rc"; echo "$ERR" >"$WORK/err.$platform")
    check "QT_QPA_PLATFORM=$platform without its display: exit code" 1 "$(cat "$WORK/rc")"
    check "QT_QPA_PLATFORM=$platform without its display: the error" \
      "Programming Error: Cannot open the display: use /n to run Flashwright in the console (Serial No. $serial)" \
      "$(cat "$WORK/err.$platform")"
  done
fi

missing=$WORK/no-such-library
FLASHWRIGHT_D2XX=$missing run "$FLASHWRIGHT" /n /s "$serial"
check "missing D2XX library: exit code" 1 "$RC"
check "missing D2XX library is named" 1 \
  "$(tr -d '\r' <<<"$OUT" | grep -c -F "Error: Cannot load the FTDI library $missing")"

# The exit path closes the link, which traces "Device Closed": a trace catcher
# started beforehand receives it as the last line (the search's lines before it).
export SNAGVIEW_SOCKET=$WORK/snagview.sock
SNAGVIEW=$(program snagview)
if [ -n "$EMULATOR" ]; then
  "$EMULATOR" "$SNAGVIEW" --hidden --timeout 30 >"$WORK/trace" 2>"$WORK/trace.err" &
else
  "$SNAGVIEW" --timeout 30 >"$WORK/trace" 2>"$WORK/trace.err" &
fi
catcher=$!
for _ in $(seq 300); do grep -q listening "$WORK/trace.err" && break; sleep 0.1; done
run "$FLASHWRIGHT" /n /s "$serial"
check "run traced to the catcher: exit code" 1 "$RC"
for _ in $(seq 100); do grep -q 'Device Closed' "$WORK/trace" && break; sleep 0.1; done
kill "$catcher" 2>/dev/null || true
wait "$catcher" 2>/dev/null || true
trace=$(tr -d '\r' <"$WORK/trace")
check "the search traced the missing device" 1 "$(grep -c -x -m1 'Valdren not found' <<<"$trace")"
check "last trace line" "Device Closed" "$(tail -n1 <<<"$trace")"

finish
