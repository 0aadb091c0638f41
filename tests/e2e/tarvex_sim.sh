# tarvex-sim as a whole program, with the virtual D2XX library: units started in
# the background, their status, ctl commands and their effect on a D2XX client
# (d2xx_probe, which binds the library as the loader does), two units on two
# slots, the ccTalk peripherals' status and ctl commands, and quitting. Under Wine the programs meet on loopback TCP.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
PROBE=$(program d2xx_probe)
FWIMAGE=$(program fwimage)
for exe in "$SIM" "$PROBE" "$FWIMAGE"; do
  [ -f "$exe" ] || { echo "FAIL: no program at $exe" >&2; exit 1; }
done
if [ -n "$EMULATOR" ]; then
  ENDPOINT0=$TARVEX_SIM_ENDPOINT
  ENDPOINT1=$((TARVEX_SIM_ENDPOINT + 1))
else
  ENDPOINT0=$TARVEX_SIM_ENDPOINT/unit0.sock
  ENDPOINT1=$TARVEX_SIM_ENDPOINT/unit1.sock
fi

serial_a="E2EA$RANDOM"
serial_b="E2EB$RANDOM"
block_a="QMXZELTI mapped file$serial_a"

# ------------------------------------------------------------- before any unit
run "$SIM" --help
check "--help: exit code" 0 "$RC"
check "--help: usage line" 1 "$(grep -c '^usage: tarvex-sim \[OPTIONS\]' <<<"${OUT//$'\r'/}")"
check "--help names every ctl command" 6 \
  "$(grep -c -E '^  (fail CALL|clear-faults|short-writes N|unplug \[MS\]|replug|quit) ' <<<"${OUT//$'\r'/}")"

run "$SIM" status
check "status with no unit: exit code" 1 "$RC"
check "status with no unit: message" 1 "$(grep -c 'no unit is running' <<<"$ERR")"
run "$SIM" ctl frobnicate
check "unknown ctl command: exit code" 2 "$RC"
run "$SIM" ctl fail bogus
check "unknown call: exit code" 2 "$RC"
run "$SIM" --slot 99
check "slot out of range: exit code" 2 "$RC"
run "$PROBE" --index 0
check "probe with no unit: open answers no device" "open: 2" "$(tr -d '\r' <<<"$OUT")"
check "probe with no unit: exit code" 1 "$RC"

# ------------------------------------------------------------- one unit
(cd "$WORK" && run "$FWIMAGE" make --version 2.3.4 --kernel-version 1.2.3.4 \
  --date "Jan  2 2024" --time 01:02:03 -o unit.a37)
[ -s "$WORK/unit.a37" ] || { echo "FAIL: fwimage made no image" >&2; exit 1; }

start_unit a --serial "$serial_a" --firmware "$WORK/unit.a37" --level 4
pid_a=$UNIT_PID
check "unit a: its line" "tarvex-sim: unit $serial_a on slot 0" "$UNIT_LINE"

run "$SIM" status --slot 0
check "status: exit code" 0 "$RC"
check "status: firmware" "Full Release 2.3.4" "$(value firmware)"
check "status: kernel" "1.2.3.4" "$(value kernel)"
check "status: serial" "$serial_a" "$(value serial)"
check "status: level" "4" "$(value level)"
check "status: driver-state" "0" "$(value driver-state)"
check "status: programmed-blocks" "0" "$(value programmed-blocks)"
check "status: plugged" "yes" "$(value plugged)"
check "status: open" "no" "$(value open)"
check "status: compile-date" "Jan  2 2024" "$(value compile-date)"
check "status: endpoint" "$ENDPOINT0" "$(value endpoint)"
checksum=$(value checksum)
check "status: checksum format" 1 "$(grep -c -E '^0x[0-9a-f]{8}$' <<<"$checksum")"

if [ -z "$EMULATOR" ]; then
  # The unit's side of the shared block: format, compile date and time, driver area.
  shm="/dev/shm/$block_a"
  check "block: created" yes "$([ -f "$shm" ] && echo yes || echo no)"
  check "block: BlockFormat 1" "01000000" "$(od -An -tx1 -j4 -N4 "$shm" | tr -d ' \n')"
  check "block: CompileDate" "Jan  2 2024" "$(dd if="$shm" bs=1 skip=48 count=16 2>/dev/null | tr -d '\0')"
  check "block: CompileTime" "01:02:03" "$(dd if="$shm" bs=1 skip=64 count=16 2>/dev/null | tr -d '\0')"
  check "block: DriverAreaMagic" "8c4a8daa" "$(od -An -tx1 -j8192 -N4 "$shm" | tr -d ' \n')"
fi

# The enquiry burst through the library: FillerRecord, then ExtendedCommand (E003)
# 100, 109, 102, 111, 101; back come the EnquiryReply records (E000 + number * 4).
le32() { printf '%02x %02x %02x %02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
run "$PROBE" --index 0 --write "FFFFFFFFFFFF 03E064000000 03E06D000000 03E066000000 03E06F000000 03E065000000" --read 30
check "probe: exit code" 0 "$RC"
check "probe: open" "0" "$(value open)"
check "probe: product-id" "0xde50" "$(value product-id)"
check "probe: serial" "$serial_a" "$(value serial)"
check "probe: written" "36" "$(value written)"
check "probe: enquiry replies" \
  "90 e1 01 00 00 00 b4 e1 $(le32 "$checksum") 98 e1 01 00 00 00 bc e1 04 03 02 01 94 e1 04 03 02 04" \
  "$(value read)"
check "probe: close" "0" "$(value close)"

# ------------------------------------------------------------- ctl and its effect
run "$SIM" ctl --serial "$serial_a" unplug
check "ctl unplug: exit code" 0 "$RC"
check_output "ctl unplug: answer" $'unplugged\n'
# await_status SERIAL KEY VALUE: status shows it within 5 s (the block follows a tick later).
await_status() {
  local i
  for i in $(seq 50); do
    run "$SIM" status --serial "$1"
    [ "$(value "$2")" == "$3" ] && return 0
    sleep 0.1
  done
  return 1
}
await_status "$serial_a" driver-state 5 || true
check "unplugged: status plugged" "no" "$(value plugged)"
check "unplugged: the block says not connected" "5 no" "$(value driver-state) $(value serving)"
run "$PROBE" --index 0
check "unplugged: probe finds no device" "open: 2" "$(tr -d '\r' <<<"$OUT")"
run "$SIM" ctl --slot 0 replug
check_output "ctl replug: answer" $'plugged in\n'
run "$PROBE" --index 0
check "replugged: probe opens" "0" "$(value open)"
await_status "$serial_a" serving yes || true
check "replugged: the block is served again" "0 yes" "$(value driver-state) $(value serving)"

run "$SIM" ctl --slot 0 fail ee-read --status 9
check "ctl fail: exit code" 0 "$RC"
check_output "ctl fail: answer" $'the next ee-read call fails with status 9\n'
run "$PROBE" --index 0
check "fail ee-read: probe sees the status" "status 9" "$(value ee-read)"
check "fail ee-read: probe exit code" 1 "$RC"
run "$PROBE" --index 0
check "fault was once: probe reads the EEPROM" "$serial_a" "$(value serial)"

run "$SIM" ctl --slot 0 fail write --persistent
run "$SIM" ctl --slot 0 short-writes 4
check_output "ctl short-writes: answer" $'writes take at most 4 bytes\n'
run "$PROBE" --index 0 --write FFFFFFFFFFFFFFFFFFFFFFFF
check "persistent write fault" "status 4" "$(value write)"
run "$SIM" ctl --slot 0 clear-faults
check_output "ctl clear-faults: answer" $'faults cleared\n'
run "$PROBE" --index 0 --write FFFFFFFFFFFFFFFFFFFFFFFF
check "short write" "4" "$(value written)"
run "$SIM" ctl --slot 0 short-writes 0

run "$SIM" ctl --slot 0 fail sideways
check "ctl with a bad call: exit code" 2 "$RC"
run "$SIM" ctl --serial NOSUCHSERIAL replug
check "ctl for a serial nobody has: exit code" 1 "$RC"

# One open handle at a time: a second client is turned away while one holds it.
if [ -n "$EMULATOR" ]; then
  "$EMULATOR" "$PROBE" --index 0 --hold 4000 >"$WORK/hold.out" 2>&1 &
else
  "$PROBE" --index 0 --hold 4000 >"$WORK/hold.out" 2>&1 &
fi
holder=$!
for _ in $(seq 200); do grep -q '^serial' "$WORK/hold.out" && break; sleep 0.1; done
run "$SIM" status --slot 0
check "held: status open" "yes" "$(value open)"
run "$PROBE" --index 0
check "held: a second open is refused" "open: 3" "$(tr -d '\r' <<<"$OUT")"
wait "$holder" || true
run "$SIM" status --slot 0
check "released: status open" "no" "$(value open)"

# ------------------------------------------------------------- a second unit
start_unit b --serial "$serial_b" --no-block
pid_b=$UNIT_PID
check "unit b: next free slot" "tarvex-sim: unit $serial_b on slot 1" "$UNIT_LINE"
run "$SIM" status --serial "$serial_b"
check "unit b: status by serial" "$serial_b" "$(value serial)"
check "unit b: its endpoint" "$ENDPOINT1" "$(value endpoint)"
check "unit b: no block" "none" "$(value driver-state)"
run "$PROBE" --index 1
check "unit b: index 1" "$serial_b" "$(value serial)"
run "$SIM" --slot 1 --no-block --exit-after 5
check "a taken slot: exit code" 1 "$RC"
check "a taken slot: message" 1 "$(grep -c 'slot 1 is taken' <<<"$ERR")"

# ------------------------------------------------------------- quitting
run "$SIM" ctl --serial "$serial_b" quit
check_output "ctl quit: answer" $'quitting\n'
rc=0
for _ in $(seq 100); do kill -0 "$pid_b" 2>/dev/null || break; sleep 0.1; done
wait "$pid_b" || rc=$?
check "unit b: ended with 0" 0 "$rc"
run "$SIM" status --slot 1
check "after quit: no unit on slot 1" 1 "$RC"
run "$PROBE" --index 1
check "after quit: no device at index 1" "open: 2" "$(tr -d '\r' <<<"$OUT")"

run "$SIM" ctl --slot 0 quit
rc=0
for _ in $(seq 100); do kill -0 "$pid_a" 2>/dev/null || break; sleep 0.1; done
wait "$pid_a" || rc=$?
check "unit a: ended with 0" 0 "$rc"
if [ -z "$EMULATOR" ]; then
  check "unit a: its block went with it" no "$([ -e "/dev/shm/$block_a" ] && echo yes || echo no)"
fi

# ------------------------------------------------------------- the shared block
# The unit's side of its block: ctl commands, their answers, the status lines and
# (on Linux, where the block is a file under /dev/shm) the words themselves.
serial_c="E2EC$RANDOM"
block_c="/dev/shm/QMXZELTI mapped file$serial_c"
run "$SIM" --help
check "--help names every block command" 9 \
  "$(grep -c -E '^  (insert-coin VALUE|insert-note VALUE|post-event CODE|press-switch N|fail-payout CODE|set-level N|inhibit-open on.off|driver-state N|stop-serving-mid-update)' <<<"${OUT//$'\r'/}")"

start_unit c --serial "$serial_c" --firmware "$WORK/unit.a37" --level 5 --unit-serial 777 \
  --payout-base 1000 --pay-rate 0
pid_c=$UNIT_PID
# One process per block: a second unit with the same serial is refused.
run "$SIM" --serial "$serial_c" --no-kernel --exit-after 5
check "same serial again: exit code" 1 "$RC"
check "same serial again: message" 1 \
  "$(grep -c "serial number $serial_c is already served by another tarvex-sim" <<<"$ERR")"
run "$SIM" status --serial "$serial_c"
check "block status: level" 5 "$(value level)"
check "block status: driver-state" 0 "$(value driver-state)"
check "block status: serving" yes "$(value serving)"
check "block status: current-value" 0 "$(value current-value)"
check "block status: paid-total" 0 "$(value paid-total)"
check "block status: pay-status" 1 "$(value pay-status)"
check "block status: interface-enabled" 0 "$(value interface-enabled)"
check "block status: host-open" 0 "$(value host-open)"
check "block status: attach-count" 0 "$(value attach-count)"
check "block status: the unit's own open line still reads" no "$(value open)"

run "$SIM" ctl --serial "$serial_c" insert-coin 50
check "ctl insert-coin: exit code" 0 "$RC"
check_output "ctl insert-coin: answer" $'coin 50 accepted by acceptor 0\n'
run "$SIM" ctl --serial "$serial_c" insert-note 1000
check_output "ctl insert-note: answer" $'note 1000 accepted by acceptor 1\n'
run "$SIM" status --serial "$serial_c"
check "after inserts: current-value" 1050 "$(value current-value)"
run "$SIM" ctl --serial "$serial_c" insert-coin 7
check "ctl insert-coin of an unknown value: exit code" 2 "$RC"
check "ctl insert-coin of an unknown value: reason" 1 \
  "$(grep -c 'no coin acceptor takes the value 7' <<<"$ERR")"
run "$SIM" ctl --serial "$serial_c" post-event 0x81020007
check_output "ctl post-event: answer" $'event 0x81020007 queued (1 waiting)\n'
run "$SIM" ctl --serial "$serial_c" press-switch 64
check "ctl press-switch 64: exit code" 2 "$RC"
run "$SIM" ctl --serial "$serial_c" fail-payout 1
check "ctl fail-payout 1: exit code" 2 "$RC"
run "$SIM" ctl --serial "$serial_c" set-level 7
check_output "ctl set-level: answer" $'level 7\n'
run "$SIM" ctl --serial "$serial_c" inhibit-open on
check_output "ctl inhibit-open: answer" $'OpenInhibit 1\n'
run "$SIM" status --serial "$serial_c"
check "after set-level: level" 7 "$(value level)"

if [ -z "$EMULATOR" ]; then
  u32_at() { od -An -tu4 -j"$1" -N4 "$block_c" | tr -d ' \n'; }
  # One word, written whole (the unit only reads the host's area between its counts).
  put_u32() {
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($2 & 255)) $(($2 >> 8 & 255)) \
      $(($2 >> 16 & 255)) $(($2 >> 24 & 255)))" |
      dd of="$block_c" bs=4 seek=$(($1 / 4)) conv=notrunc status=none
  }
  # A host's bracketed change: start count, the word, end count.
  host_write() {
    local count=$(($(u32_at $((ca + 0))) + 1))
    put_u32 $((ca + 0)) "$count"
    put_u32 "$1" "$2"
    put_u32 $((ca + 4)) "$count"
  }
  await_value() {  # await_value KEY VALUE: status shows it within 5 s
    local i
    for i in $(seq 50); do
      run "$SIM" status --serial "$serial_c"
      [ "$(value "$1")" == "$2" ] && return 0
      sleep 0.1
    done
    return 1
  }
  check "block: BlockMagic" $((0xAA8D4A8C)) "$(u32_at 0)"
  check "block: BlockFormat" 1 "$(u32_at 4)"
  check "block: FirmwareLevel" 7 "$(u32_at 8)"
  check "block: FirmwareVersionWord of Full Release 2.3.4" $((0x04020304)) "$(u32_at 12)"
  check "block: UnitSerialNumber" 777 "$(u32_at 36)"
  check "block: PayoutBase" 1000 "$(u32_at 44)"
  sa=$(u32_at 16)
  ca=$(u32_at 20)
  check "block: StatusArea inside the block" yes "$([ "$sa" -ge 80 ] && [ $((sa + 952)) -le 8192 ] && echo yes || echo no)"
  check "block: CommandArea inside the block" yes "$([ "$ca" -ge 80 ] && [ $((ca + 1428)) -le 8192 ] && echo yes || echo no)"
  check "block: OpenInhibit" 1 "$(u32_at $((sa + 8)))"
  check "block: CurrentValueWord" 1050 "$(u32_at $((sa + 848)))"
  check "block: EventWord" $((0x81020007)) "$(u32_at $((sa + 892)))"
  check "block: EventSequence" 1 "$(u32_at $((sa + 888)))"

  # A level-7 payout of 100: PayoutTarget, then BasedPayoutTarget = 100 + PayoutBase.
  host_write $((ca + 596)) 100
  host_write $((ca + 1412)) 1100
  await_value paid-total 100 || true
  check "payout: paid-total" 100 "$(value paid-total)"
  check "payout: pay-status" 1 "$(value pay-status)"
  check "payout: PaidTotal" 100 "$(u32_at $((sa + 852)))"
  run "$SIM" ctl --serial "$serial_c" fail-payout 9
  check_output "ctl fail-payout: answer" $'the next payout fails with code 9\n'
  host_write $((ca + 596)) 300
  host_write $((ca + 1412)) 1300
  await_value pay-status 9 || true
  check "failed payout: pay-status" 9 "$(value pay-status)"
  check "failed payout: stopped halfway" 200 "$(value paid-total)"
  host_write $((ca + 336)) 1
  run "$SIM" status --serial "$serial_c"
  check "host's InterfaceEnabled shows" 1 "$(value interface-enabled)"
fi

# Flashwright's state: not served, commands wait, then served again.
run "$SIM" ctl --serial "$serial_c" driver-state 2
check_output "ctl driver-state 2: answer" $'DriverState 2\n'
for _ in $(seq 50); do
  run "$SIM" status --serial "$serial_c"
  [ "$(value serving)" == no ] && break
  sleep 0.1
done
check "driver-state 2: not serving" no "$(value serving)"
check "driver-state 2: status shows it" 2 "$(value driver-state)"
if [ -z "$EMULATOR" ]; then check "driver-state 2: BlockMagic cleared" 0 "$(u32_at 0)"; fi
run "$SIM" ctl --serial "$serial_c" insert-coin 100
check_output "insert-coin while held: queued" $'queued: the block is not being served now\n'
run "$SIM" ctl --serial "$serial_c" driver-state 0
for _ in $(seq 50); do
  run "$SIM" status --serial "$serial_c"
  [ "$(value current-value)" == 1150 ] && break
  sleep 0.1
done
check "driver-state 0: serving again" yes "$(value serving)"
check "driver-state 0: the queued coin came in" 1150 "$(value current-value)"
if [ -z "$EMULATOR" ]; then check "driver-state 0: BlockMagic back" $((0xAA8D4A8C)) "$(u32_at 0)"; fi

run "$SIM" ctl --serial "$serial_c" stop-serving-mid-update
check "ctl stop-serving-mid-update: exit code" 0 "$RC"
run "$SIM" status --serial "$serial_c"
check "stopped mid-update: status" "stopped mid-update" "$(value serving)"
if [ -z "$EMULATOR" ]; then
  check "stopped mid-update: start count ahead" 1 $(($(u32_at "$sa") - $(u32_at $((sa + 4)))))
fi

# USBDriverExit's state 4 ends the process.
run "$SIM" ctl --serial "$serial_c" driver-state 4
rc=0
for _ in $(seq 100); do kill -0 "$pid_c" 2>/dev/null || break; sleep 0.1; done
wait "$pid_c" || rc=$?
check "driver-state 4: unit c ended with 0" 0 "$rc"
# Its claim went with it: the serial can be served again at once.
start_unit c2 --serial "$serial_c" --level 5
check "the serial served again" "tarvex-sim: unit $serial_c on slot 0" "$UNIT_LINE"
run "$SIM" ctl --serial "$serial_c" quit

# ------------------------------------------------------------- the ccTalk peripherals
# What the peripherals behind the raw port hold and count, the bus's options, and the
# ctl commands that fail messages or change the key. (What they answer on the bus is
# tested in process, through the download library.)
serial_d="E2ED$RANDOM"
run "$SIM" --help
check "--help names the ccTalk options and commands" 4 \
  "$(grep -c -E '^  (--reply-ms MS|--key-serial DIGITS|peripheral ADDRESS|key-serial DIGITS) ' <<<"${OUT//$'\r'/}")"
check "--help names the pace options" 4 \
  "$(grep -c -E '^  (--bus-baud BAUD|--raw-answer-ms MS|--usb-frame-ms MS|--field-timing) ' <<<"${OUT//$'\r'/}")"
run "$SIM" --key-serial 49072 --exit-after 5
check "--key-serial of five digits: exit code" 2 "$RC"
run "$SIM" --key-serial 49072g --exit-after 5
check "--key-serial with a non-hex digit: exit code" 2 "$RC"

start_unit d --serial "$serial_d" --level 5 --reply-ms 20 --key-serial 12aB56 --bus-address 9
run "$SIM" status --serial "$serial_d"
check "ccTalk status: key" 12ab56 "$(value cctalk-key)"
check "ccTalk status: reply time" 20 "$(value cctalk-reply-ms)"
empty_cksum=$(printf '' | cksum | cut -d' ' -f1)
check "ccTalk status: the SR5 holds an empty coin file" \
  "sr5 size 32 cksum $(head -c 32 /dev/zero | cksum | cut -d' ' -f1) messages 0 rejected 0 naks 0 resets 0" \
  "$(value peripheral-2)"
check "ccTalk status: the acknowledger at --bus-address" \
  "acknowledger size 0 cksum $empty_cksum messages 0 rejected 0 naks 0 resets 0" "$(value peripheral-9)"
check "ccTalk status: the Elite" \
  "elite size 0 cksum $empty_cksum messages 0 rejected 0 naks 0 resets 0 finished no" \
  "$(value peripheral-40)"
check "ccTalk status: the Lumina" \
  "lumina size 0 cksum $empty_cksum messages 0 rejected 0 naks 0 resets 0 finished no" \
  "$(value peripheral-41)"

run "$SIM" ctl --serial "$serial_d" peripheral 40 nak --header 144 --nth 3 --always
check_output "ctl peripheral nak: answer" \
  $'elite at 40: message 3 from now with header 144 is NAKed, and every one after it\n'
run "$SIM" ctl --serial "$serial_d" peripheral 2 silent
check_output "ctl peripheral silent: answer" $'sr5 at 2: the next message goes unanswered\n'
run "$SIM" ctl --serial "$serial_d" peripheral 7 nak
check "ctl peripheral at an empty address: exit code" 2 "$RC"
check "ctl peripheral at an empty address: reason" 1 "$(grep -c 'no peripheral at address 7' <<<"$ERR")"
for bad in "peripheral 2" "peripheral 2 drop" "peripheral 256 nak" "peripheral 2 nak --nth 0" \
  "peripheral 2 nak --header 300" "key-serial 1234567"; do
  # shellcheck disable=SC2086
  run "$SIM" ctl --serial "$serial_d" $bad
  check "ctl $bad: usage error" 2 "$RC"
done
run "$SIM" ctl --serial "$serial_d" key-serial 490728
check_output "ctl key-serial: answer" $'key digits 490728\n'
run "$SIM" status --serial "$serial_d"
check "ctl key-serial: status shows the new key" 490728 "$(value cctalk-key)"
check "pace: off by default" "0 0 0" \
  "$(value cctalk-baud) $(value raw-answer-ms) $(value usb-frame-ms)"
run "$SIM" ctl --serial "$serial_d" quit

# ------------------------------------------------------------- the field's pace
# Each pace option's last value accepted and first refused; --field-timing sets all
# three, and an option given anywhere on the line wins over it.
for bad in "--bus-baud 1" "--bus-baud 299" "--bus-baud 115201" "--bus-baud 9k6" \
  "--raw-answer-ms 5001" "--raw-answer-ms -1" "--usb-frame-ms 17"; do
  # shellcheck disable=SC2086
  run "$SIM" $bad --exit-after 5
  check "$bad: usage error" 2 "$RC"
  check "$bad: reason" 1 "$(grep -c "bad value: $bad" <<<"$ERR")"
done
serial_e="E2EE$RANDOM"
start_unit e --serial "$serial_e" --bus-baud 115200 --raw-answer-ms 5000 --usb-frame-ms 16
run "$SIM" status --serial "$serial_e"
check "pace: the highest values" "115200 5000 16" \
  "$(value cctalk-baud) $(value raw-answer-ms) $(value usb-frame-ms)"
run "$SIM" ctl --serial "$serial_e" quit
serial_f="E2EF$RANDOM"
start_unit f --serial "$serial_f" --usb-frame-ms 0 --field-timing --bus-baud 300
run "$SIM" status --serial "$serial_f"
check "pace: --field-timing with overrides before and after it" "300 30 0" \
  "$(value cctalk-baud) $(value raw-answer-ms) $(value usb-frame-ms)"
run "$SIM" ctl --serial "$serial_f" quit

finish
