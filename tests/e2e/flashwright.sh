# Flashwright as a whole program: help text, and a console run with no unit.
source "$(dirname "$0")/lib.sh"
FLASHWRIGHT=$(program flashwright)

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
Error: No Tarvex found (Serial No. $serial)

"
check "/n /s with no unit: exit code" 1 "$RC"

run "$FLASHWRIGHT" /nogui "/s=${serial}x"
check_output "/nogui /s= with no unit" "QMX Firmware Reprogramming System
Error: No Tarvex found (Serial No. ${serial}x)

"
check "/nogui /s= exit code" 1 "$RC"

run "$FLASHWRIGHT" /n
check_output "/n with no unit" 'QMX Firmware Reprogramming System
Error: No Tarvex found

'
check "/n exit code" 1 "$RC"

run "$FLASHWRIGHT" /n /s=ABCDEFGHIJKL
check_output "over-long serial" 'QMX Firmware Reprogramming System
Error: Serial number <ABCDEFGHIJKL> is too long: a serial number has at most 11 characters

'
check "over-long serial exit code" 1 "$RC"

# The exit path closes the link, which traces "Device Closed": a trace catcher
# started beforehand receives it as the last line.
export SNAGVIEW_SOCKET=$WORK/snagview.sock
SNAGVIEW=$(program snagview)
if [ -n "$EMULATOR" ]; then
  "$EMULATOR" "$SNAGVIEW" --hidden --count 1 --timeout 60 >"$WORK/trace" 2>"$WORK/trace.err" &
else
  "$SNAGVIEW" --count 1 --timeout 60 >"$WORK/trace" 2>"$WORK/trace.err" &
fi
catcher=$!
for _ in $(seq 300); do grep -q listening "$WORK/trace.err" && break; sleep 0.1; done
run "$FLASHWRIGHT" /n /s "$serial"
check "run traced to the catcher: exit code" 1 "$RC"
rc=0; wait "$catcher" || rc=$?
check "trace catcher got one line" 0 "$rc"
check "trace line" "Device Closed" "$(tr -d '\r' <"$WORK/trace")"

finish
