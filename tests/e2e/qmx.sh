# qmx, a host over the built library, against tarvex-sim serving a unit's block:
# opening in each state the unit can be in, values, lists in both layouts, payouts
# (complete and failed), events, switches, indicators, escrow, the check operation,
# attach counts across host processes, and a unit that stops mid-update. Under
# Wine, qmx.exe loads Qmxzelti.dll by its exported names and tarvex-sim.exe serves
# the mapping in the same Wine session.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
QMX=$(program qmx)
for exe in "$SIM" "$QMX"; do
  [ -f "$exe" ] || { echo "FAIL: no program at $exe" >&2; exit 1; }
done

serial="Q$RANDOM$RANDOM"
serial=${serial:0:11}
qmx() { run "$QMX" --serial "$serial" "$@"; }
sim_status() { run "$SIM" status --serial "$serial"; }
ctl() { run "$SIM" ctl --serial "$serial" "$@"; }
lines() { tr -d '\r' <<<"${OUT%$'\n'}"; }
# wait_for KEY VALUE: polls the unit's status until KEY reads VALUE (the unit
# carries ctl commands out on its next tick).
wait_for() {
  local i
  for i in $(seq 100); do
    sim_status
    [ "$(value "$1")" == "$2" ] && return 0
    sleep 0.05
  done
  return 0
}

# ------------------------------------------------------------- no unit yet
run "$QMX" --help
check "--help: exit code" 0 "$RC"
check "--help: usage" 1 "$(grep -c '^usage: qmx ' <<<"$(lines)")"
qmx frobnicate
check "unknown command: exit code" 2 "$RC"
qmx status
check "no unit: exit code" 1 "$RC"
check "no unit: open result in words" \
  "31 (no unit found, or the unit does not accept a host now)" "$(value open)"
check "no unit: no serial number" 0 "$(value serial-number)"
qmx pay 10
check "no unit: pay refused" 1 "$RC"
check "no unit: pay says why" 1 "$(grep -c 'the interface did not open: 31' <<<"$ERR")"
run "$QMX" --serial ABCDEFGHIJKL status
check "serial too long" "123 (serial number too long (at most 11 characters))" "$(value open)"
run "$QMX" --library "$WORK/none" status
check "missing library: exit code" 3 "$RC"

# ------------------------------------------------------------- a unit at level 7
(cd "$WORK" && run "$(program fwimage)" make --version 3.1.4 --date "Feb  1 2026" \
  --time 10:20:30 -o unit.a37)
[ -s "$WORK/unit.a37" ] || { echo "FAIL: fwimage made no image" >&2; exit 1; }
start_unit a --serial "$serial" --firmware "$WORK/unit.a37" --level 7 --unit-serial 4711 \
  --pay-rate 2000 --coins 10,20,50 --notes 500,1000

qmx status
check "status: exit code" 0 "$RC"
check "status: open" "0 (open)" "$(value open)"
check "status: firmware" "Full Release 3.1.4 (0x04030104)" "$(value firmware)"
check "status: level" 7 "$(value firmware-level)"
check "status: compiled" "Feb  1 2026 10:20:30" "$(value compiled)"
check "status: serial number" 4711 "$(value serial-number)"
check "status: nothing accepted yet" 0 "$(value current-value)"
check "status: pay status" "1 (last payout complete)" "$(value pay-status)"

run "$QMX" --serial "$serial" --version 0x00010003 status
check "version 0x00010003 refused" \
  "13 (version not accepted, or a block format this library does not know)" "$(value open)"

qmx acceptors
check "acceptors with texts" "acceptor 0: coin acceptor, unit code 0x02020103, interface 1, address 2, status 0x0, 3 coins
  description: Coin acceptor
   0: value 10, accepted 0, Coin 10
   1: value 20, accepted 0, Coin 20
   2: value 50, accepted 0, Coin 50
acceptor 1: note acceptor, unit code 0x12020107, interface 1, address 40, status 0x0, 2 notes
  description: Note acceptor
   0: value 500, accepted 0, Note 500
   1: value 1000, accepted 0, Note 1000
acceptor 2: note acceptor, unit code 0x12020105, interface 1, address 41, status 0x0, 2 notes
  description: Second note acceptor
   0: value 500, accepted 0, Note 500
   1: value 1000, accepted 0, Note 1000" "$(lines)"

ctl insert-coin 20
ctl insert-coin 50
ctl insert-note 1000
wait_for current-value 1070
run "$QMX" --serial "$serial" --version 1 acceptors
check "28-byte coin entries: counts, no texts" "acceptor 0: coin acceptor, unit code 0x02020103, interface 1, address 2, status 0x0, 3 coins
   0: value 10, accepted 0
   1: value 20, accepted 1
   2: value 50, accepted 1
acceptor 1: note acceptor, unit code 0x12020107, interface 1, address 40, status 0x0, 2 notes
   0: value 500, accepted 0
   1: value 1000, accepted 1
acceptor 2: note acceptor, unit code 0x12020105, interface 1, address 41, status 0x0, 2 notes
   0: value 500, accepted 0
   1: value 1000, accepted 0" "$(lines)"
qmx status
check "values after coins and a note" 1070 "$(value current-value)"

qmx dispensers
check "two dispensers" 2 "$(grep -c '^dispenser [01]: words ' <<<"$(lines)")"

# ------------------------------------------------------------- payouts
qmx pay 300
check "pay: exit code" 0 "$RC"
check "pay: ends complete" "payout complete: paid 300" "$(lines | tail -n1)"
qmx status
check "pay: paid total" 300 "$(value paid-total)"
ctl fail-payout 7
qmx pay 400
check "failed payout: exit code" 1 "$RC"
check "failed payout: status and what was paid" 1 \
  "$(grep -c -E '^payout failed: status 7, paid [0-9]+ of 400$' <<<"$(lines)")"
qmx status
check "failed payout stays the answer" "7 (the last payout failed)" "$(value pay-status)"
qmx pay 100
check "the next payout counts from what was paid" "payout complete: paid 100" "$(lines | tail -n1)"

# ------------------------------------------------------------- events, switches
ctl post-event 0x81020007
ctl post-event 0x00000305
qmx events --count 2 --timeout 20
check "events: exit code" 0 "$RC"
check "events: one at a time, in order" "event 7: data1 2, data2 1, flag 1
event 773: data1 0, data2 0, flag 0" "$(lines)"
qmx events --count 1 --timeout 1
check "no event: exit code" 1 "$RC"

ctl press-switch 5
ctl press-switch 5
ctl press-switch 63
sleep 0.3
qmx switches
check "switches that moved" "switch 5: closed 2, opened 2
switch 63: closed 1, opened 1" "$(lines)"
qmx switches 64
check "switch out of range: usage" 2 "$RC"

# ------------------------------------------------------------- host words
qmx indicator 3 on
check "indicator: exit code" 0 "$RC"
qmx value-needed 250
sim_status
check "indicator 3 is slot 3 at level 7" 3 "$(value indicator-slots)"
check "value needed" 250 "$(value value-needed)"
check "qmx ended: the interface is off again" 0 "$(value interface-enabled)"
check "qmx ended: no host attached" 0 "$(value attach-count)"
check "qmx ended: host-open cleared" 0 "$(value host-open)"

qmx check 3 4
check "check operation: answer standing before" "check-operation: 0" "$(lines)"
qmx check 1 1
check "check operation: the unit answered the pair" "check-operation: 7" "$(lines)"

# Below level 5 slots 0 to 7 are not indicators: switching on sets them, and
# indicator n is slot n + 8.
ctl set-level 4
sleep 0.3
qmx indicator 3 on
sim_status
check "level 4: slots 0 to 7 set, indicator 3 is slot 11" "0 1 2 3 4 5 6 7 11" \
  "$(value indicator-slots)"
# Features above the unit's level are refused with the reason, not done silently.
qmx check 3 4
check "level 4: no check operation, and why" \
  "1 qmx: check operations need firmware level 7; the unit has level 4" \
  "$RC $(tr -d '\r' <<<"$ERR" | head -n1)"
qmx escrow enable
check "level 4: no escrow, and why" "1 qmx: escrow commands need firmware level 5; the unit has level 4" \
  "$RC $(tr -d '\r' <<<"$ERR" | head -n1)"
ctl set-level 7
sleep 0.3

# ------------------------------------------------------------- escrow
qmx escrow enable
sim_status
check "escrow enabled" 1 "$(value escrow-enabled)"
ctl insert-note 500
sleep 0.3
qmx escrow accept
check "escrow: the note reached escrow" "escrow-throughput: 1" "$(lines)"
wait_for current-value 1570
check "escrow: the accepted note counts" 1570 "$(value current-value)"

# ------------------------------------------------------------- counters, meter, E2Prom
qmx status
check "status: the unit is alive" "alive (updates moving)" "$(value unit)"
qmx counter 3 add 7
qmx counter 3 caption "Coins in"
check "counter: value and caption" 'counter 3: 7 "Coins in"' "$(lines)"
qmx counter 32 add -2
qmx counters
check "counters with a value or caption" 'counter 3: 7 "Coins in"
counter 32: -2 ""' "$(lines)"
wait_for counters "3=7 32=4294967294"
check "the unit took the counters" "3=7 32=4294967294" "$(value counters)"
check "the unit took the caption" '3="Coins in"' "$(value counter-captions)"
qmx meter
check "meter" "meter-status: 1
meter-serial: 100001" "$(lines)"
qmx e2prom write 33 a5b6
check "e2prom: the image as written" "row 1: 00 a5 b6 00" "$(lines | sed -n 2p | cut -c1-18)"
wait_for e2prom-row-writes 1
check "e2prom: the unit wrote the row that changed" 1 "$(value e2prom-row-writes)"
qmx device-key 0x1234ABCD
check "device key: answered" "device-key: the unit answered (4 bytes)" "$(lines)"
sim_status
check "device key: kept by the unit" 0x1234abcd "$(value device-key)"
qmx driver-status
check "driver status" "driver-state: 0 (running)" "$(lines)"

# ------------------------------------------------------------- barcode tickets, printing
qmx barcode enable
ctl present-barcode 123456789012345678
qmx barcode escrow
check "a ticket in escrow" "in-escrow: 123456789012345678" "$(lines | head -n1)"
qmx barcode accept
wait_for barcode-stacked-count 1
qmx barcode stacked
check "the accepted ticket stacked" "stacked: 1, last 123456789012345678" "$(lines | tail -n1)"
qmx print 250 123456789012345678
check "print: exit code" 0 "$RC"
check "print: sent in pieces" 1 "$(grep -c '^print sent' <<<"$(lines)")"
wait_for tickets-printed 1
check "print: the ticket the unit printed" \
  "^C||^^P|250|1|||||12-3456-7890-1234-5678|12-3456-7890-1234-5678||||||123456789012345678|^" \
  "$(value last-ticket)"
ctl printer-busy on
wait_for printer "held busy"
qmx print 10 123456789012345678
check "print refused while the printer is busy" 1 "$RC"
check "print refused: says why" 1 "$(grep -c '^print refused: the printer is not ready' <<<"$(lines)")"
ctl printer-busy off
wait_for printer ready
long=$(printf 'x%.0s' $(seq 1024))
qmx print 10 123456789012345678 "$long" "$long" "$long" "$long"
check "a ticket longer than the printer takes is refused" \
  "1 print refused: the ticket is longer than the printer takes (4096 characters in all)" \
  "$RC $(lines | tail -n1)"
qmx consistency --count 2 --interval 100
check "consistency: coins as counted" "check 1: consistent
check 2: consistent" "$(lines)"

# ------------------------------------------------------------- arguments, a second payout
for bad in "pay 0:pay: amount '0' is not a number of 1 or more" \
  "pay abc:pay: amount 'abc' is not a number of 1 or more" \
  "indicator 1 maybe:indicator 1: 'maybe' is neither on nor off" \
  "indicator 999 on:no indicator 999 (indicators are 0 to 63)" \
  "counter 33 add 1:no counter 33 (counters are 1 to 32)" \
  "e2prom write 250 0102030405060708:e2prom write: 8 bytes from 250 run past the image's 256"; do
  # shellcheck disable=SC2086
  run "$QMX" --serial NOSUCHUNIT ${bad%%:*}
  check "usage fault named before opening: ${bad%%:*}" "2 qmx: ${bad#*:}" \
    "$RC $(tr -d '\r' <<<"$ERR" | head -n1)"
done
run "$QMX" --serial "" status
check "an empty serial is a usage error" 2 "$RC"
host() { if [ -n "$EMULATOR" ]; then "$EMULATOR" "$QMX" "$@"; else "$QMX" "$@"; fi; }
# A second host's attach leaves the first host's payout alone.
host --serial "$serial" pay 4000 >"$WORK/pay1" 2>&1 &
pay1=$!
for i in $(seq 100); do grep -q '^paid ' "$WORK/pay1" && break; sleep 0.05; done
qmx pay 10
check "second payout refused while one runs" 1 "$RC"
check "second payout: says why" 1 "$(grep -c '^pay refused: a payout is still running' <<<"$(lines)")"
wait "$pay1" || true
check "the first payout ends whole" "payout complete: paid 4000" "$(tr -d '\r' <"$WORK/pay1" | tail -n1)"

# Payouts while other hosts attach and detach all the time: every one paid whole.
churn() { for i in $(seq 400); do host --serial "$serial" acceptors >/dev/null 2>&1; done; }
churn & churn1=$!
churn & churn2=$!
sim_status
total_before=$(value paid-total)
paid=0
missed=""  # what each payout that did not end whole said, for the failure's report
for i in $(seq 20); do
  qmx pay 20 --timeout 5
  last=$(lines | tail -n1)
  if [ "$last" == "payout complete: paid 20" ]; then
    paid=$((paid + 1))
  elif [[ $last == "payout stopped: the unit is not updating"* ]]; then
    # The unit's process starved for half a second on a loaded machine (Wine); qmx
    # said so, as it must. Whether the payout was paid whole is the unit's total.
    echo "note: payout $i: $last" >&2
    wait_for paid-total $((total_before + 20 * i))
    [ "$(value paid-total)" == $((total_before + 20 * i)) ] && paid=$((paid + 1))
  else
    missed+=$'\n'"payout $i, exit code $RC: $(lines | tail -n3) $(tr -d '\r' <<<"$ERR")"
  fi
done
kill "$churn1" "$churn2" 2>/dev/null || true  # done already, on a quick machine
wait "$churn1" "$churn2" 2>/dev/null || true
check "payouts beside attaching hosts: all paid" 20 "$paid$missed"
sim_status
check "payouts beside attaching hosts: the unit paid 20 times 20" $((total_before + 400)) \
  "$(value paid-total)"

# The unit's total changed under the host's target: the next payout is not refused.
ctl set-paid-total 200000
qmx pay 10
check "after set-paid-total: the next payout is paid" "payout complete: paid 10" "$(lines | tail -n1)"

# A unit that stops answering mid-payout is reported within a second, not after the
# whole timeout. (Frozen by a signal: the unit's process is Wine's own under Wine.)
if [ -z "$EMULATOR" ]; then
  kill -STOP "$UNIT_PID"
  start=$SECONDS
  qmx pay 10 --timeout 30
  kill -CONT "$UNIT_PID"
  check "frozen unit: payout reported as stopped" \
    "1 payout stopped: the unit is not updating (the update count stood still for 500 ms): paid 0 of 10" \
    "$RC $(lines | tail -n1)"
  check "frozen unit: said in time" 1 "$((SECONDS - start < 10))"
fi

# ------------------------------------------------------------- two host processes if [ -n "$EMULATOR" ]; then "$EMULATOR" "$QMX" "$@"; else "$QMX" "$@"; fi; }
host --serial "$serial" hold 4 >"$WORK/hold1" 2>&1 &
hold1=$!
host --serial "$serial" hold 8 >"$WORK/hold2" 2>&1 &
hold2=$!
for i in $(seq 100); do
  grep -q holding "$WORK/hold1" && grep -q holding "$WORK/hold2" && break
  sleep 0.1
done
sim_status
check "two hosts attached" 2 "$(value attach-count)"
check "two hosts: interface on" 1 "$(value interface-enabled)"
wait "$hold1" || true
sim_status
check "one host left" 1 "$(value attach-count)"
check "one host left: interface still on" 1 "$(value interface-enabled)"
wait "$hold2" || true
sim_status
check "last host gone" 0 "$(value attach-count)"
check "last host gone: interface off" 0 "$(value interface-enabled)"
check "last host gone: host-open cleared" 0 "$(value host-open)"

# Interrupted, a host still unloads the library: the last one switches the interface
# off. (A signal reaches the Windows program under Wine differently: Linux only.)
if [ -z "$EMULATOR" ]; then
  for command in "hold 30" "events --timeout 30" "consistency --interval 200"; do
    # shellcheck disable=SC2086
    "$QMX" --serial "$serial" $command >"$WORK/interrupted" 2>&1 &
    interrupted=$!
    wait_for attach-count 1
    kill -INT "$interrupted"
    rc=0; wait "$interrupted" || rc=$?
    sim_status
    check "interrupted $command: ends" 0 "$rc"
    check "interrupted $command: detached, interface off" "0 0" \
      "$(value attach-count) $(value interface-enabled)"
  done
fi

# ------------------------------------------------------------- the unit's states
for state in "1:21 (the unit's driver is not ready)" \
  "2:170 (the unit is being reprogrammed, or its driver is ending)" \
  "5:1167 (no unit connected to its driver)"; do
  ctl driver-state "${state%%:*}"
  wait_for serving no
  qmx status
  check "driver state ${state%%:*}" "${state#*:}" "$(value open)"
  check "driver state ${state%%:*}: still shown" "${state%%:*}" "$(value driver-state)"
done
ctl driver-state 0
wait_for serving yes
ctl inhibit-open on
sleep 0.3
qmx status
check "open inhibited" "31 (no unit found, or the unit does not accept a host now)" \
  "$(value open)"
ctl inhibit-open off
sleep 0.3
qmx status
check "serving again" "0 (open)" "$(value open)"

# Unplugged: the driver says no unit is connected, and the unit comes back.
ctl unplug 1500
wait_for serving no
qmx status
check "unplugged: not connected" "1167 (no unit connected to its driver)" "$(value open)"
check "unplugged: the driver's state" 5 "$(value driver-state)"
wait_for serving yes
qmx status
check "plugged in again" "0 (open)" "$(value open)"

# A unit that dies mid-update: every read gives up and answers as closed, in time.
ctl stop-serving-mid-update
wait_for serving "stopped mid-update"
start=$SECONDS
qmx status
check "stalled unit: the reads end" 1 "$((SECONDS - start < 30))"
check "stalled unit: value answers as closed" 0 "$(value current-value)"
check "stalled unit: not updating" "not updating (the update count stood still for 500 ms)" \
  "$(value unit)"
check "stalled unit: pay status answers as closed" "-3 (interface not open)" \
  "$(value pay-status)"
qmx acceptors
check "stalled unit: no acceptor read" "no acceptor" "$(lines)"

# A unit whose application fails its checksum (an image cut short, as programming
# that ended unfinished leaves it) is not shown to hosts as open and healthy.
sed '/^S224009/d' "$WORK/unit.a37" >"$WORK/cut.a37"
serial="C$RANDOM$RANDOM"
serial=${serial:0:11}
start_unit cut --serial "$serial" --firmware "$WORK/cut.a37" --level 7 --unit-serial 4712
sim_status
check "cut image: the unit reports the checksum failure" 512 "$(value status)"
qmx status
check "cut image: status exit code" 1 "$RC"
check "cut image: not ready" "21 (the unit's driver is not ready)" "$(value open)"
check "cut image: no firmware named" "none running" "$(value firmware)"
check "cut image: the serial number still read" 4712 "$(value serial-number)"
finish
