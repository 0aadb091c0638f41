# The built library in a host process: host_probe makes the block, loads the
# library at run time, opens, switches on and unloads (natively, or under Wine).
#   bash host_probe.sh "<emulator or empty>" BIN_DIR LIBRARY [default]
# With "default" the probe also opens the default block, which it names without a
# serial (the test then must hold the default block's lock).
source "$(dirname "$0")/../e2e/lib.sh"
LIBRARY=${3:?library}
PROBE=$(program host_probe)
serial="P$(printf '%010d' $((RANDOM * 32768 + RANDOM)))"

# A valid block, opened by its serial: the load found no block of ours to count.
run "$PROBE" "$LIBRARY" 0x00010005 --serial "$serial"
check "host_probe exit status" "0" "$RC"
check_output "open by serial" "attach-count after load: 0
open: 0
attach-count: 1
host-open: 1
interface-enabled: 1
attach-count after unload: 0
host-open after unload: 0
interface-enabled after unload: 0
"

# Flashwright holds the unit: busy, and the block is left as it was.
run "$PROBE" "$LIBRARY" 0x00010002 --serial "$serial" --no-magic --driver-state 2
check_output "busy while the unit is reprogrammed" "attach-count after load: 0
open: 170
attach-count: 0
host-open: 0
interface-enabled: 0
attach-count after unload: 0
host-open after unload: 0
interface-enabled after unload: 0
"

run "$PROBE" "$LIBRARY" 0x00010003 --serial "$serial"
check_output "a version that is not accepted" "attach-count after load: 0
open: 13
attach-count: 0
host-open: 0
interface-enabled: 0
attach-count after unload: 0
host-open after unload: 0
interface-enabled after unload: 0
"

# Hostile blocks: every reading export comes back, with a defined answer, and
# nothing is written past the caller's records.
run "$PROBE" "$LIBRARY" 0x00010005 --serial "$serial" --hostile areas
check "areas past the end: exit status" "0" "$RC"
check_output "areas past the end: no valid block, every answer closed" "attach-count after load: 0
open: 31
attach-count: 0
host-open: 0
interface-enabled: 0
current-value: 0
last-pay-status: -3
next-event: 0
acceptors-read: 0
dispensers-read: 0
reply-length: -4
records-kept-in-bounds: 1
attach-count after unload: 0
host-open after unload: 0
interface-enabled after unload: 0
"

run "$PROBE" "$LIBRARY" 0x00010005 --serial "$serial" --hostile lists
check "circles and huge counts: exit status" "0" "$RC"
check_output "circles and huge counts: bounded walks, texts, reply" "attach-count after load: 0
open: 0
attach-count: 1
host-open: 1
interface-enabled: 1
current-value: 0
last-pay-status: 0
next-event: 0
acceptors-read: 4
coin-count: 256
acceptor-text: 
coin-text-empty: 1
dispensers-read: 1
reply-length: 316
records-kept-in-bounds: 1
attach-count after unload: 0
host-open after unload: 0
interface-enabled after unload: 0
"

run "$PROBE" "$LIBRARY" 0x00010005 --serial "$serial" --hostile unsettled
check "counts that never settle: exit status" "0" "$RC"
check_output "counts that never settle: reads end and answer as closed" "attach-count after load: 0
open: 0
attach-count: 1
host-open: 1
interface-enabled: 1
current-value: 0
last-pay-status: -3
next-event: 0
acceptors-read: 0
dispensers-read: 0
reply-length: -4
records-kept-in-bounds: 1
attach-count after unload: 0
host-open after unload: 0
interface-enabled after unload: 0
"

if [ "${4:-}" = default ]; then
  # The default block exists before the library loads: loading attaches to it.
  run "$PROBE" "$LIBRARY" 0x00010005
  check_output "open the default block" "attach-count after load: 1
open: 0
attach-count: 1
host-open: 1
interface-enabled: 1
attach-count after unload: 0
host-open after unload: 0
interface-enabled after unload: 0
"
fi
finish
