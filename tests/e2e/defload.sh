# defload, over the built Defloader and Qmxzelti, against tarvex-sim's ccTalk
# peripherals (an SR5 at address 2, an Elite at 40, a Lumina at 41): usage errors;
# one download of each kind, stored as sent (the peripheral's cksum against the
# file's), the Lumina's with a lost reply retried; the failures that end early (no
# file, an inconsistent coin file, an empty bill table, no unit, the wrong model at an
# address, a unit that keeps its bus, a wrong key, a unit held by the loader or stalled
# mid-update); two downloads at once into one acceptor; one download of each kind in
# the field's timing (slow bus, late unit, coarse timer); a NAK on a coin data packet;
# and a watch that gives up at its bound. Under Wine, defload.exe imports
# Defloader.dll and Qmxzelti.dll.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
DEFLOAD=$(program defload)
SAMPLE=$(cd "$(dirname "$0")/../../tools" && pwd)/sample_definitions.sh
for exe in "$SIM" "$DEFLOAD"; do
  [ -f "$exe" ] || { echo "FAIL: no program at $exe" >&2; exit 1; }
done

serial="D$RANDOM$RANDOM"
serial=${serial:0:10}  # the refusing unit adds a letter: 11 at most
defload() { run "$DEFLOAD" "$@" --unit "$serial"; }
lines() { tr -d '\r' <<<"${OUT%$'\n'}"; }
ctl() { run "$SIM" ctl --serial "$serial" "$@"; }
# stored ADDRESS FILE: the peripheral's "size N cksum C" against the file's cksum.
stored() {
  run "$SIM" status --serial "$serial"
  check "$2 stored at $1" "$(cksum <"$2" | awk '{ print "size " $2 " cksum " $1 }')" \
    "$(value "peripheral-$1" | sed -E 's/.*(size [0-9]+ cksum [0-9]+).*/\1/')"
}
# The stage numbers of defload's log, in the order shown.
stages() { lines | sed -n 's/^stage \([0-9]*\): .*/\1/p' | tr '\n' ' '; }

bash "$SAMPLE" coins "$WORK/coins.bin" 254 300 0 0 128
bash "$SAMPLE" bills "$WORK/bills.bin" 4096
bash "$SAMPLE" bills "$WORK/lumina.bin" 3000
cp "$WORK/coins.bin" "$WORK/long.bin" && printf x >>"$WORK/long.bin"
: >"$WORK/empty.bin"
# A bad argument leaves an existing output as it was.
before=$(cksum <"$WORK/coins.bin")
# A host script: never through the emulator.
rc=0
bash "$SAMPLE" coins "$WORK/coins.bin" 254 65536 >/dev/null 2>&1 || rc=$?
check "sample_definitions.sh, bad length: exit code" 2 "$rc"
check "sample_definitions.sh, bad length: output kept" "$before" "$(cksum <"$WORK/coins.bin")"
# in_background NAME ARGS...: defload into the unit, its output kept in $WORK/NAME.
in_background() {
  local name=$1
  shift
  ${EMULATOR:+"$EMULATOR"} "$DEFLOAD" "$@" --unit "$serial" >"$WORK/$name" 2>&1 &
}

# ------------------------------------------------------------- usage errors
run "$DEFLOAD" --help
check "--help: exit code" 0 "$RC"
check "--help: usage and exit codes" 2 "$(lines | grep -c -E '^usage: defload |^Exit status: ')"
while IFS='|' read -r args fault; do
  # shellcheck disable=SC2086
  run "$DEFLOAD" $args
  check "usage '$args': exit code" 2 "$RC"
  check "usage '$args': nothing started" "" "$OUT"
  check "usage '$args': says why" 1 "$(grep -c -F -e "$fault" <<<"$ERR")"
done <<'EOF'
frob f --address 2|unknown kind 'frob'
coins f|--address N is needed
coins|a kind (coins, elite or lumina) and a FILE are needed
coins f --address 0|is not a ccTalk address
coins f --address 256|is not a ccTalk address
coins f --address 2x|is not a ccTalk address
coins f --address 2 --serial-number 12345|is not six hex digits
coins f --address 2 --serial-number 12345G|is not six hex digits
coins f --address 2 --unit ABCDEFGHIJKL|1 to 11 characters
coins f --address 2 --timeout 0|is not a number of seconds
coins f g --address 2|unexpected 'g'
coins f --address 2 --frob 1|unknown option --frob
coins f --address|--address needs a value
coins f --frob|unknown option --frob
EOF
run "$DEFLOAD"
check "no arguments: exit code" 2 "$RC"
check "no arguments: the usage on stderr" 1 "$(grep -c '^usage: defload ' <<<"$ERR")"

# ------------------------------------------------------------- no unit
defload coins "$WORK/coins.bin" --address 2
check "no unit: exit code (13: no interface)" 13 "$RC"
check "no unit: says which" 1 "$(grep -c "the interface of unit $serial did not open: 31" <<<"$ERR")"

# ------------------------------------------------------------- early ends
start_unit a --serial "$serial"
defload coins "$WORK/none.bin" --address 2
check "no file: exit code" 11 "$RC"
check "no file: result" "result: 1 (the file could not be opened or read, is empty, or is too large)" \
  "$(lines | tail -n1)"
check "no file: left at loading" "1" "$(stages | awk '{ print $NF }')"
defload coins "$WORK/long.bin" --address 2
check "coin file a byte too long: exit code" 12 "$RC"
defload coins "$WORK/coins.bin" --address 40
check "an Elite where an SR5 is named: exit code" 14 "$RC"
check "wrong address: result" "result: 4 (no acceptor of that model at that address)" \
  "$(lines | tail -n1)"
defload lumina "$WORK/lumina.bin" --address 40
check "an Elite where a Lumina is named: exit code" 14 "$RC"
run "$SIM" status --serial "$serial"
elite_before=$(value peripheral-40)
defload elite "$WORK/empty.bin" --address 40
check "empty bill table: exit code" 11 "$RC"
run "$SIM" status --serial "$serial"
check "empty bill table: nothing reached the Elite" "$elite_before" "$(value peripheral-40)"

# ------------------------------------------------------------- one download at a time
# A fault armed for good is gone after clear-faults: the first download completes.
ctl peripheral 2 nak --always
ctl clear-faults
for target in "coins 2 $WORK/coins.bin" "elite 40 $WORK/bills.bin"; do
  read -r kind address file <<<"$target"
  in_background first "$kind" "$file" --address "$address"
  first=$!
  sleep 1
  defload "$kind" "$file" --address "$address"
  check "$kind, a second download at once: refused" 1 "$RC"
  check "$kind, a second download at once: says why" 1 \
    "$(grep -c "another download into unit $serial runs in another process" <<<"$ERR")"
  rc=0
  wait "$first" || rc=$?
  check "$kind, the first download: exit code" 0 "$rc"
  stored "$address" "$file"
done

# ------------------------------------------------------------- downloads
defload coins "$WORK/coins.bin" --address 2
check "coins: exit code" 0 "$RC"
check "coins: result" "result: 0 (download complete)" "$(lines | tail -n1)"
check "coins: first line" "defload: coin definitions into the SR5 at address 2 from $WORK/coins.bin" \
  "$(lines | head -n1)"
# The library passes its stages in order; a short one may fall between two readings.
check "coins: stages rise to 17" "yes 17" \
  "$(stages | awk '{ up = "yes"; for (i = 2; i <= NF; i++) if ($i <= $(i - 1)) up = "no"; print up, $NF }')"
check "coins: the long waits are seen" 3 "$(stages | tr ' ' '\n' | grep -c -x -E '12|15|16')"
stored 2 "$WORK/coins.bin"

# Both note acceptors decrypt with the key they were given: defload's must match.
ctl key-serial 123456
defload elite "$WORK/bills.bin" --address 40 --serial-number 123456
check "elite: exit code" 0 "$RC"
check "elite: all 32 blocks sent" "stage 17: finished (32/32)" "$(lines | grep '^stage' | tail -n1)"
stored 40 "$WORK/bills.bin"
# A lost reply to a line (the fourth upload message: header, lines 0, 1, 2) is
# retried, and the retry reaches the acceptor.
ctl peripheral 41 silent --header 144 --nth 4
defload lumina "$WORK/lumina.bin" --address 41 --serial-number 123456
check "lumina, one reply lost: exit code" 0 "$RC"
# 3000 bytes: a total of 23 whole blocks' worth, and 24 blocks sent.
check "lumina: blocks sent" "stage 17: finished (24/23)" "$(lines | grep '^stage' | tail -n1)"
stored 41 "$WORK/lumina.bin"
defload elite "$WORK/bills.bin" --address 40 --serial-number 654321
check "elite, wrong key: no answer to the poll (15)" 15 "$RC"

# ------------------------------------------------------------- in the field's timing
# A 9600 baud bus, raw port commands answered 30 ms late, USB frames, and a 15.6 ms
# system timer modelled under defload: one download of each kind, each into a unit of
# its own so that all three run at once, every one stored whole.
bash "$SAMPLE" bills "$WORK/field.bin" 1024
kinds=(coins elite lumina) addresses=(2 40 41) files=("$WORK/coins.bin" "$WORK/field.bin" "$WORK/field.bin")
pids=()
for i in 0 1 2; do
  start_unit "field$i" --serial "${serial:0:8}F$i" --field-timing
  TARVEX_TIMER_TICK_MS=15.6 ${EMULATOR:+"$EMULATOR"} "$DEFLOAD" "${kinds[$i]}" "${files[$i]}" \
    --address "${addresses[$i]}" --unit "${serial:0:8}F$i" >"$WORK/field$i.log" 2>&1 &
  pids+=($!)
done
for i in 0 1 2; do
  rc=0
  wait "${pids[$i]}" || rc=$?
  check "field timing, ${kinds[$i]}: exit code" 0 "$rc"
  [ "$rc" -eq 0 ] || cat "$WORK/field$i.log" >&2
  run "$SIM" status --serial "${serial:0:8}F$i"
  check "field timing, ${kinds[$i]}: the unit's pace" "9600 30" "$(value cctalk-baud) $(value raw-answer-ms)"
  check "field timing, ${kinds[$i]}: stored whole" \
    "$(cksum <"${files[$i]}" | awk '{ print "size " $2 " cksum " $1 }')" \
    "$(value "peripheral-${addresses[$i]}" | sed -E 's/.*(size [0-9]+ cksum [0-9]+).*/\1/')"
done

# ------------------------------------------------------------- a NAK mid-download
# The SR5's header-96 messages come as erase, begin coin, then the first data packet.
ctl peripheral 2 nak --header 96 --nth 3
defload coins "$WORK/coins.bin" --address 2
check "NAK on a coin data packet: exit code" 16 "$RC"
check "NAK: result" "result: 6 (a transmission failed)" "$(lines | tail -n1)"
check "NAK: the download still ran to its end" 17 "$(stages | awk '{ print $NF }')"
check "NAK: says the SR5 must be downloaded again" 1 \
  "$(grep -c 'the SR5 now holds an incomplete set of coins' <<<"$ERR")"

# ------------------------------------------------------------- a unit that keeps its bus
start_unit b --serial "${serial}R" --refuse-bus
run "$DEFLOAD" coins "$WORK/coins.bin" --address 2 --unit "${serial}R"
check "bus refused: exit code" 15 "$RC"
check "bus refused: result" 1 "$(lines | grep -c -F 'result: 5 (no response: the unit did not hand the bus over')"

# ------------------------------------------------------------- a unit not served
# Held by the loader (as when an update stopped midway), then stalled mid-update:
# refused before anything is started, and said so.
run "$SIM" ctl --serial "${serial}R" driver-state 2
sleep 0.5
run "$DEFLOAD" coins "$WORK/coins.bin" --address 2 --unit "${serial}R"
check "held by the loader: exit code" 13 "$RC"
check "held by the loader: says so" 1 "$(grep -c 'the firmware loader holds the unit' <<<"$ERR")"
run "$SIM" ctl --serial "${serial}R" driver-state 0
sleep 0.5
run "$SIM" ctl --serial "${serial}R" stop-serving-mid-update
sleep 0.5
run "$DEFLOAD" coins "$WORK/coins.bin" --address 2 --unit "${serial}R"
check "stalled mid-update: exit code" 13 "$RC"
check "stalled mid-update: says so" 1 "$(grep -c 'does not serve its block' <<<"$ERR")"

# ------------------------------------------------------------- the bound
# Last: the download goes on in the library when defload has given up and ended.
defload coins "$WORK/coins.bin" --address 2 --timeout 1
check "bound: exit code" 3 "$RC"
check "bound: says so" 1 "$(grep -c 'the download has not ended after 1 s' <<<"$ERR")"
finish
