# fwstation programs a bench of simulated units at once: units that freeze or drop
# off mid-way fail alone, the record outlives a killed station, watch mode takes
# units as they come, and two stations on one bench never program one unit twice.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/sim_lib.sh"
STATION=$(program fwstation)
cd "$WORK"

# 128 application blocks (and the kernel's 40 copied, for the image the program
# carries): at 20 ms a block the faults below land mid-programming; a unit at the
# default pace takes under a second.
old_and_new_images fwstation --kernel-size 0x1400 --app-size 0x4000 --kernel-version 1.0.0.7
NEW="Full Release 2.0.1"

# station_in_background NAME ARGS...: the plain station with ARGS, its output in
# NAME.out and NAME.err, its pid in $RUNNER. A session of its own, so that a kill
# of its group reaches the program under the emulator too; SIGINT not ignored, as it
# would be for a background job (the station keeps a signal its parent ignores).
station_in_background() {
  local name=$1
  shift
  setsid env --default-signal=INT ${EMULATOR:+"$EMULATOR"} "$STATION" "$@" \
    >"$name.out" 2>"$name.err" &
  RUNNER=$!
  STATIONS+=("$RUNNER")
}
# A station still running when the script ends (a failed wait) goes with the units.
STATIONS=()
trap 'for pid in "${STATIONS[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  stop_units; rm -rf "$WORK"' EXIT
# wait_for_runner SECONDS: the background station's exit code in $RC, or 124 when it
# had to be killed (a hang).
wait_for_runner() {
  local i
  for i in $(seq $(($1 * 10))); do
    kill -0 "$RUNNER" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$RUNNER" 2>/dev/null; then
    kill -KILL -- "-$RUNNER" 2>/dev/null || true
    { wait "$RUNNER"; } 2>/dev/null || true
    RC=124
    return
  fi
  RC=0; wait "$RUNNER" || RC=$?
}

# records FILE...: each record line as "serial|result|decision|image", or "BAD: ..."
# for a line that does not parse or breaks the record's form.
records() {
  python3 - "$@" <<'EOF'
import json, re, sys
KEYS = set("time station serial before_release before_version before_checksum before_status "
           "image_release image_version image_checksum image decision result text blocks "
           "blocks_total seconds".split())
HEX = r"0x[0-9A-F]{8}"
for name in sys.argv[1:]:
    for line in open(name, encoding="utf-8").read().splitlines():
        try:
            r = json.loads(line)
        except ValueError:
            print("BAD: unparsable:", line)
            continue
        good = set(r) == KEYS and bool(
            re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", r["time"])
            and r["result"] in ("programmed", "up to date", "failed", "not found", "in use", "stopped")
            and r["decision"] in ("update", "forced", "none", "")
            # No decision exactly when the unit was never read.
            and (r["decision"] == "") == (r["before_checksum"] is None)
            and re.fullmatch(HEX, r["image_checksum"])
            and re.fullmatch(HEX, r["before_checksum"] or "0x00000000")
            and (r["result"] != "programmed" or 0 < r["blocks"] == r["blocks_total"])
            and r["seconds"] >= 0)
        print("|".join((r["serial"], r["result"], r["decision"], r["image"])) if good
              else "BAD: form: " + line)
EOF
}
# fields FILE SERIAL KEY...: those keys of SERIAL's last record line.
fields() {
  python3 -c 'import json, sys
r = [r for r in map(json.loads, open(sys.argv[1])) if r["serial"] == sys.argv[2]][-1]
print(*(r[k] for k in sys.argv[3:]))' "$@"
}
# wait_for_record FILE LINES: true once FILE has LINES lines (bounded: 60 s).
wait_for_record() {
  local i
  for i in $(seq 600); do
    [ -f "$1" ] && [ "$(tr -d '\r' <"$1" | grep -c .)" -ge "$2" ] && return 0
    sleep 0.1
  done
  echo "FAIL: $1 never had $2 lines: $(cat "$1" 2>/dev/null)" >&2
  return 1
}
# last_stage FILE SERIAL: the stage and result of the unit's last line above the
# summary.
last_stage() {
  tr -d '\r' <"$1" | sed '/^Summary:/,$d' | awk -v s="$2" '$1 == s { line = $2; for (i = 4; i <= NF; i++) line = line " " $i } END { print line }' |
    sed -E 's/(programmed|up to date|failed|not found|in use|stopped):.*/\1/'
}
firmware() { run "$SIM" status --serial "$1"; value firmware; }
# stop_unit PID: ends a unit of a case that is over (bounded), so that the next
# scan meets only its own units.
stop_unit() {
  local i
  kill "$1" 2>/dev/null || true
  for i in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# ------------------------------------------------------------- bad arguments
run "$STATION" --help
check "--help: exit code, the usage" "0 1" "$RC $(grep -c '^usage: fwstation ' <<<"${OUT//$'\r'/}")"
run "$STATION" --image new.a37 --bogus
check "unknown option: exit code, named" "1 1" "$RC $(grep -c -- '--bogus' <<<"$ERR")"
run "$STATION" --image missing.a37
check "missing image: exit code, named" "1 1" "$RC $(grep -c 'missing.a37' <<<"$ERR")"
echo "not an S-Record file" >bad.a37
run "$STATION" --image bad.a37
check "refused image: exit code, named" "1 1" "$RC $(grep -c 'bad.a37' <<<"$ERR")"
run "$STATION"
check "no image given or carried: exit code" 1 "$RC"
run "$CARRIER" --record nosuchdir/r.jsonl
check "record not writable: exit code, named" "1 1" "$RC $(grep -c 'r.jsonl' <<<"$ERR")"
run "$CARRIER"
check "no unit on the bench: exit code" 1 "$RC"
run "$CARRIER" ABCDEFGHIJKL
check "12-character serial: refused" "1 1" "$RC $(grep -c 'ABCDEFGHIJKL' <<<"$ERR")"
run "$CARRIER" --record nf.jsonl ABCDEFGHIJK
check "11-character serial: taken, not found" "2 done not found" \
  "$RC $(last_stage "$WORK/out" ABCDEFGHIJK)"
check "not found: the record" "ABCDEFGHIJK|not found||carried" "$(records nf.jsonl)"

# ------------------------------------------------------------- watch mode
# A unit programmed as the station starts, a second one plugged in later; the first
# goes off the bus and comes back, and is looked at again (up to date by then).
serial1="W1$RANDOM"; serial2="W2$RANDOM"
start_unit w1 --serial "$serial1" --firmware old.a37
w1=$UNIT_PID
station_in_background watch --watch --record w.jsonl --image new.a37
wait_for_record w.jsonl 1
start_unit w2 --serial "$serial2" --firmware old.a37
w2=$UNIT_PID
wait_for_record w.jsonl 2
run "$SIM" ctl --serial "$serial1" unplug 3500
wait_for_record w.jsonl 3
# Another scan or two: neither unit is taken again while it stays.
sleep 1.5
kill -INT "$RUNNER"
wait_for_runner 30
check "watch: exit code on SIGINT" 0 "$RC"
check "watch: each arrival once" "$serial1|programmed|update|new.a37
$serial2|programmed|update|new.a37
$serial1|up to date|none|new.a37" "$(records w.jsonl)"
check "watch: the request to end, then the summary" "Stopping Summary" \
  "$(tr -d '\r' <watch.out | grep -o -E '^(Stopping|Summary)' | tr '\n' ' ' | sed 's/ $//')"
check "watch: both run the new firmware" "$NEW $NEW" "$(firmware "$serial1") $(firmware "$serial2")"
stop_unit "$w1"; stop_unit "$w2"

# ------------------------------------------------------------- four units, two faults
# Every unit found by the scan; two are programmed, one freezes (its process stopped)
# and one is unplugged mid-programming: both fail within their bounds, the others
# are not held up. Once the two are back, a second run finishes the job.
serials=() pids=()
for i in 1 2 3 4; do
  serials+=("B$i$RANDOM")
  delay=(); [ "$i" -ge 3 ] && delay=(--ack-delay 20)
  start_unit "b$i" --serial "${serials[-1]}" --firmware old.a37 "${delay[@]}"
  pids+=("$UNIT_PID")
done
station_in_background bench --record b.jsonl --image new.a37
# Unplugged first: a frozen unit slows every look-up by serial that passes its slot.
wait_for_programming "${serials[3]}" 5
run "$SIM" ctl --serial "${serials[3]}" unplug
wait_for_programming "${serials[2]}" 5
kill -STOP "${pids[2]}"
started=$SECONDS
wait_for_runner 60
check "bench: exit code" 2 "$RC"
echo "frozen and unplugged units: the station ended $((SECONDS - started)) s after the freeze"
kill -CONT "${pids[2]}"
run "$SIM" ctl --serial "${serials[3]}" replug
check "bench: one line a unit" "${serials[0]}|programmed|update|new.a37
${serials[1]}|programmed|update|new.a37
${serials[2]}|failed|update|new.a37
${serials[3]}|failed|update|new.a37" "$(records b.jsonl | sort)"
results=""
for s in "${serials[@]}"; do results+="$(last_stage bench.out "$s"),"; done
check "bench: each unit's last line" "done programmed,done programmed,done failed,done failed," \
  "$results"
check "bench: the summary" "Summary: 4 units: 2 programmed, 2 failed" \
  "$(tr -d '\r' <bench.out | grep '^Summary:')"
check "bench: the units that failed are listed after it" "0 0 1 1" \
  "$(for s in "${serials[@]}"; do tr -d '\r' <bench.out | sed -n '/^Summary:/,$p' | grep -c "$s"; done | tr '\n' ' ' | sed 's/ $//')"
progress=$(tr -d '\r' <bench.out | awk -v s="${serials[0]}" '$1 == s && $2 == "programming"' | wc -l)
check "bench: progress at most every tenth of the blocks" yes \
  "$([ "$progress" -ge 2 ] && [ "$progress" -le 12 ] && echo yes || echo "no: $progress lines")"
run "$SIM" status --serial "${serials[0]}"
check "bench: the unit before, and the image it runs now" \
  "Beta Test 1.2.3 $(value firmware) $(value checksum | tr a-f A-F)" \
  "$(fields b.jsonl "${serials[0]}" before_release before_version image_release image_version \
    image_checksum)"

# The image carried by the program this time; the record grows.
run "$CARRIER" --record b.jsonl
check "bench again: exit code" 0 "$RC"
check "bench again: the two left are programmed" "${serials[0]}|up to date|none|carried
${serials[1]}|up to date|none|carried
${serials[2]}|programmed|update|carried
${serials[3]}|programmed|update|carried" "$(records b.jsonl | tail -n4 | sort)"
check "bench again: summary" "Summary: 4 units: 2 programmed, 2 up to date" \
  "$(tr -d '\r' <<<"$OUT" | grep '^Summary:')"
for pid in "${pids[@]}"; do stop_unit "$pid"; done

# ------------------------------------------------------------- a killed station
# One unit up to date (its line written at once), one slow to program: the station
# killed mid-programming leaves a record of whole lines. A record cut mid-line by a
# power cut gets its newline before the next line.
fast="K1$RANDOM"; slow="K2$RANDOM"
start_unit fast --serial "$fast" --firmware new.a37
start_unit slow --serial "$slow" --firmware old.a37 --ack-delay 20
station_in_background killed --record k.jsonl --image new.a37 "$fast" "$slow"
wait_for_record k.jsonl 1
wait_for_programming "$slow" 5
kill -KILL -- "-$RUNNER" 2>/dev/null || true
{ wait "$RUNNER"; } 2>/dev/null || true
check "killed: the line written before the kill, whole" "$fast|up to date|none|new.a37" \
  "$(records k.jsonl)"
printf '{"time":"2026-12-10T05:01:02Z","serial":"%s","res' "$slow" >>k.jsonl
run "$STATION" --record k.jsonl --image new.a37 "$slow"
check "killed, again: exit code" 0 "$RC"
check "killed, again: the new line starts clean" "$fast|up to date|none|new.a37
BAD: unparsable: {\"time\":\"2026-12-10T05:01:02Z\",\"serial\":\"$slow\",\"res
$slow|programmed|update|new.a37" "$(records k.jsonl)"
check "killed, again: the new firmware" "$NEW" "$(firmware "$slow")"

# ------------------------------------------------------------- two stations
# Started together over the same three units: each unit is programmed by one of
# them; the other meets it held (in use) or done (up to date).
serials=()
for i in 1 2 3; do
  serials+=("T$i$RANDOM")
  start_unit "t$i" --serial "${serials[-1]}" --firmware old.a37 --ack-delay 5
done
station_in_background two1 --record t1.jsonl --image new.a37 "${serials[@]}"
first=$RUNNER
station_in_background two2 --record t2.jsonl --image new.a37 "${serials[@]}"
wait_for_runner 60; rc2=$RC
RUNNER=$first; wait_for_runner 60; rc1=$RC
for rc in "$rc1:t1.jsonl" "$rc2:t2.jsonl"; do
  held=$(records "${rc#*:}" | grep -c '|in use|' || true)
  check "two stations: ${rc#*:}'s exit code" "$([ "$held" -gt 0 ] && echo 3 || echo 0)" "${rc%%:*}"
done
for s in "${serials[@]}"; do
  lines=$(records t1.jsonl t2.jsonl | grep "^$s|" | cut -d'|' -f2 | sort | tr '\n' ',')
  check "two stations: $s programmed once" yes \
    "$([[ $lines == "in use,programmed," || $lines == "programmed,up to date," ]] && echo yes ||
      echo "no: $lines")"
  check "two stations: $s runs the new firmware" "$NEW" "$(firmware "$s")"
done
finish
