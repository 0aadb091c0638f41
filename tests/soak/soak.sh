# The fault soak: the real Linux programs against simulated units, in real time.
#   bash tests/soak/soak.sh "" BIN_DIR          (./run soak builds and calls it)
# Each case has a unit (serial number) and an endpoint folder of its own, so cases
# cannot meet each other's units nor those of tests running beside the soak. Every
# program runs under timeout: a hang is a failure, never a wait. One line per case
# (PASS name (time) / FAIL name: why), then a summary; exit 1 when a case failed.
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/../e2e/sim_lib.sh"
FWIMAGE=$(program fwimage)
QMX=$(program qmx)
DEFLOAD=$(program defload)
CHURN=$(program attach_churn)
LIBRARY=$BIN/libqmxzelti.so
SAMPLE=$(cd "$(dirname "$0")/../../tools" && pwd)/sample_definitions.sh

# Trace lines and settings stay in our folder, away from anyone's trace catcher.
export SNAGVIEW_SOCKET=$WORK/snagview XDG_CONFIG_HOME=$WORK/config
export XDG_CONFIG_DIRS=$WORK/config-machine
TAG=$(printf '%04X' $((RANDOM % 65536)))
STARTED=$SECONDS
PASSES=0
FAILS=0
HOST_PIDS=()  # timeout's pids: each leads a process group of its own
SERIALS=()    # whose blocks a killed unit leaves behind

cleanup() {
  local pid serial
  for pid in "${HOST_PIDS[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  for pid in "${UNIT_PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait || true
  for serial in "${SERIALS[@]}"; do rm -f "/dev/shm/QMXZELTI mapped file$serial"; done
  rm -rf "$WORK"
}
trap 'cleanup 2>/dev/null' EXIT  # quietly: no job notices for what it stops
trap 'echo "soak: interrupted" >&2; exit 130' INT TERM

# ---------------------------------------------------------------- helpers
# new_case NAME: a fresh folder, endpoint and serial number for the case.
new_case() {
  CASE_DIR=$WORK/$1
  mkdir -p "$CASE_DIR"
  export TARVEX_SIM_ENDPOINT=$CASE_DIR/units
  SERIAL="SK$1$TAG"
  CASE_START=$SECONDS
}

report() {  # report NAME WHY (empty: passed)
  if [ -z "$2" ]; then
    PASSES=$((PASSES + 1))
    echo "PASS $1 ($((SECONDS - CASE_START)) s)"
  else
    FAILS=$((FAILS + 1))
    echo "FAIL $1: $2"
  fi
}

ctl() { timeout 10 "$SIM" ctl --serial "$SERIAL" "$@" >>"$CASE_DIR/ctl.log" 2>&1; }
unit_status() { timeout 10 "$SIM" status --serial "$SERIAL" 2>/dev/null || true; }
key() { sed -n "s/^$1: //p" <<<"$2"; }  # key KEY STATUS-TEXT
last_line() { sed '/^$/d' "$1" | tail -n1; }

# unit_up ARGS...: the case's unit, listening before this returns; false (WHY set)
# when it does not come up.
unit_up() {
  # A session of its own, as the hosts under timeout have: Ctrl-C reaches only the
  # soak, whose trap stops everything, instead of failing a case on its way out.
  setsid "$SIM" --serial "$SERIAL" --exit-after 600 "$@" >"$CASE_DIR/unit.out" \
    2>"$CASE_DIR/unit.err" &
  UNIT_PID=$!
  UNIT_PIDS+=("$UNIT_PID")
  SERIALS+=("$SERIAL")
  local i
  for i in $(seq 100); do
    grep -q 'on slot' "$CASE_DIR/unit.err" && return 0
    kill -0 "$UNIT_PID" 2>/dev/null || break
    sleep 0.1
  done
  WHY="the unit did not come up: $(last_line "$CASE_DIR/unit.err")"
  return 1
}

unit_down() {
  ctl quit || true
  local i
  for i in $(seq 50); do kill -0 "$UNIT_PID" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$UNIT_PID" 2>/dev/null || true
  wait "$UNIT_PID" 2>/dev/null || true
}

# start SECONDS OUTPUT PROGRAM ARGS...: the program in the background under timeout
# (KILL 5 s after TERM); its pid in BG.
start() {
  local seconds=$1 output=$2
  shift 2
  timeout -k 5 "$seconds" "$@" </dev/null >"$output" 2>&1 &
  BG=$!
  HOST_PIDS+=("$BG")
}
# finish PID: waits for it (a trapped signal ends the wait); its status in RC.
finish() { RC=0; wait "$1" || RC=$?; }
hung() { [ "$1" -eq 124 ] || [ "$1" -eq 137 ]; }
# bounded SECONDS OUTPUT PROGRAM ARGS...: runs and waits.
bounded() { start "$@"; finish "$BG"; }
any_alive() {  # any_alive PID...
  local pid
  for pid in "$@"; do kill -0 "$pid" 2>/dev/null && return 0; done
  return 1
}

# ---------------------------------------------------------------- programming
# Two images, so that every run that ends well visibly changed the firmware.
# 48 application blocks and their copy, a 20 ms acknowledgement each: about two
# seconds a run, long enough for a fault to land mid-programming.
make_images() {
  local sizes=(--kernel-size 0x1400 --app-size 0x1800 --kernel-version 1.0.0.7) i
  "$FWIMAGE" make --release beta --version 1.2.3 "${sizes[@]}" --seed 1 -o "$WORK/a.a37"
  "$FWIMAGE" make --release full --version 2.0.1 "${sizes[@]}" --seed 2 -o "$WORK/b.a37"
  cp "$(program flashwright)" "$WORK/flashwright"
  for i in a b; do
    "$FWIMAGE" pack "$WORK/flashwright" "$WORK/$i.a37" -o "$WORK/flashwright-$i"
  done
} >/dev/null
firmware_of() { [ "$1" = a ] && echo "Beta Test 1.2.3" || echo "Full Release 2.0.1"; }
TARGET=b  # the image the unit does not run

# flashwright_start: a forced run toward TARGET in the background (BG); one run
# searches 5 s, and recovers for about 5 s at a time: 60 s is the hang guard.
flashwright_start() {
  start 60 "$CASE_DIR/run.out" "$WORK/flashwright-$TARGET" /n /f /s "$SERIAL"
}

# programmed: the unit is sound and runs TARGET; else WHY says what it shows.
programmed() {
  local text expected
  text=$(unit_status)
  expected=$(firmware_of "$TARGET")
  if [ "$(key status "$text")" = 1 ] && [ "$(key firmware "$text")" = "$expected" ]; then
    TARGET=$([ "$TARGET" = a ] && echo b || echo a)
    return 0
  fi
  WHY="unit at status $(key status "$text") running '$(key firmware "$text")', not '$expected'"
  return 1
}

# mid_programming: waits until the run has had five blocks taken; false when it
# ended or never got there.
mid_programming() {
  local i text
  for i in $(seq 300); do
    text=$(unit_status)
    [ "$(key programming "$text")" = yes ] &&
      [ "$(key programmed-blocks "$text")" -ge 5 ] 2>/dev/null && return 0
    kill -0 "$BG" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# clean_rerun: faults gone and the unit back on the bus, a plain run must program it.
clean_rerun() {
  ctl clear-faults
  ctl short-writes 0
  local i
  for i in $(seq 200); do
    [ "$(key plugged "$(unit_status)")" = yes ] && break
    sleep 0.1
  done
  flashwright_start
  finish "$BG"
  if hung "$RC"; then
    WHY="the clean rerun hung"
  elif [ "$RC" -ne 0 ]; then
    WHY="the unit could not be programmed again: exit $RC, '$(last_line "$CASE_DIR/run.out")'"
  else
    programmed && return 0
    WHY="after the clean rerun: $WHY"
  fi
  return 1
}

arm() {  # arm 'CTL COMMAND; CTL COMMAND; ...'
  local commands command
  IFS=';' read -ra commands <<<"$1"
  for command in "${commands[@]}"; do
    # shellcheck disable=SC2086
    [ -n "${command// /}" ] && ctl $command
  done
  return 0
}

# schedule NAME MUST PRE MID: one run under a fault schedule. PRE is armed before
# the run, MID once it is programming. MUST "recover": the run must program the
# unit; "either": it may instead end non-zero with an Error or Warning line, and a
# clean run after it must program the unit (always done after a lasting fault).
schedule() {
  local name="programming, $1" must=$2 pre=$3 mid=$4
  CASE_START=$SECONDS
  WHY=""
  ctl clear-faults
  ctl short-writes 0
  arm "$pre"
  flashwright_start
  if [ -n "$mid" ]; then
    if mid_programming; then arm "$mid"; else WHY="the run never reached programming"; fi
  fi
  finish "$BG"
  local rc=$RC output=$CASE_DIR/run.out
  cp "$output" "$CASE_DIR/schedule.out"
  if [ -n "$WHY" ]; then
    WHY="$WHY (exit $rc: '$(last_line "$output")')"
  elif hung "$rc"; then
    WHY="hung (stopped after 60 s): '$(last_line "$output")'"
  elif [ "$rc" -eq 0 ]; then
    programmed || WHY="exit 0 but $WHY"
  elif [ "$must" = recover ]; then
    WHY="not recovered: exit $rc, '$(last_line "$output")'"
  elif ! grep -qE '^(Error|Warning): ' "$output"; then
    WHY="exit $rc without an Error or Warning line: '$(last_line "$output")'"
  fi
  if [ -z "$WHY" ] && { [ "$rc" -ne 0 ] || [ "$must" = either ]; }; then
    clean_rerun || true
  fi
  report "$name" "$WHY"
}

case_programming() {
  new_case P
  make_images
  TARGET=b
  if ! unit_up --firmware "$WORK/a.a37" --ack-delay 20; then
    report "programming: unit" "$WHY"
    return
  fi
  local kind when mode persistent trigger
  for when in "at the start" "mid-run"; do
    for kind in open close read write reset queue-status get-status latency ee-read; do
      for mode in once "from then on"; do
        persistent=""; [ "$mode" = once ] || persistent=--persistent
        if [ "$when" = "at the start" ]; then
          schedule "$kind fails $mode, $when" \
            "$([ "$mode" = once ] && echo recover || echo either)" "fail $kind $persistent" ""
          continue
        fi
        # Mid-run, the calls made only to open or recover the link are reached
        # through the recovery ladder: a failed read starts it, a failed reset
        # takes it on to close and reopen.
        case $kind in
          reset) trigger="; fail read" ;;
          open | close | latency | ee-read) trigger="; fail read; fail reset" ;;
          *) trigger="" ;;
        esac
        schedule "$kind fails $mode, $when" \
          "$([ "$mode" = once ] && echo recover || echo either)" "" "fail $kind $persistent$trigger"
      done
    done
  done
  schedule "writes 1 byte at a time" recover "short-writes 1" ""
  schedule "short writes (100 bytes) from mid-run" recover "" "short-writes 100"
  # The loader's recovery ladder tries to reopen for about five seconds.
  schedule "unplugged for 2 s mid-run" recover "" "unplug 2000"
  schedule "unplugged for 12 s mid-run" either "" "unplug 12000"
  unit_down
}

# ---------------------------------------------------------------- attach churn
case_attach_churn() {
  new_case A
  local name="8 hosts attach and detach 1000 times each"
  WHY=""
  if ! unit_up --level 7; then report "$name" "$WHY"; return; fi
  # One host stays attached throughout: with the count off zero a lost update shows
  # (a lost increment would let the count fall to its floor at zero unseen).
  : >"$CASE_DIR/hold"
  start 300 "$CASE_DIR/holder.out" "$CHURN" "$LIBRARY" "$SERIAL" --hold-while "$CASE_DIR/hold"
  local holder=$BG i count pids=() lowest=99 highest=0 rc
  for i in $(seq 100); do [ "$(key attach-count "$(unit_status)")" = 1 ] && break; sleep 0.1; done
  count=$(key attach-count "$(unit_status)")
  [ "$count" = 1 ] || WHY="the holding host left attach-count at '$count', not 1"
  if [ -z "$WHY" ]; then
    for i in $(seq 8); do
      start 120 "$CASE_DIR/churn$i.out" "$CHURN" "$LIBRARY" "$SERIAL" 1000
      pids+=("$BG")
    done
    # Meanwhile the count stays between the holder alone and all nine.
    while any_alive "${pids[@]}"; do
      count=$(key attach-count "$(unit_status)")
      [ -n "$count" ] && [ "$count" -lt "$lowest" ] && lowest=$count
      [ -n "$count" ] && [ "$count" -gt "$highest" ] && highest=$count
      sleep 0.2
    done
    for i in "${!pids[@]}"; do
      finish "${pids[$i]}"
      rc=$RC
      [ -z "$WHY" ] || continue
      if hung "$rc"; then
        WHY="host $((i + 1)) hung"
      elif [ "$rc" -ne 0 ] || [ "$(last_line "$CASE_DIR/churn$((i + 1)).out")" != "rounds: 1000" ]; then
        WHY="host $((i + 1)): exit $rc, '$(last_line "$CASE_DIR/churn$((i + 1)).out")'"
      fi
    done
    count=$(key attach-count "$(unit_status)")
    if [ -z "$WHY" ] && [ "$count" != 1 ]; then
      WHY="attach-count $count after 8000 attach/detach rounds, not 1 (the holder's)"
    elif [ -z "$WHY" ] && { [ "$lowest" -lt 1 ] || [ "$highest" -gt 9 ]; }; then
      WHY="attach-count went to $lowest..$highest meanwhile, outside 1..9"
    fi
  fi
  rm -f "$CASE_DIR/hold"
  finish "$holder"
  local text
  text=$(unit_status)
  if [ -z "$WHY" ] && { [ "$RC" -ne 0 ] || [ "$(key attach-count "$text")" != 0 ] ||
    [ "$(key host-open "$text")" != 0 ]; }; then
    WHY="after the last host: exit $RC, attach-count $(key attach-count "$text"), host-open $(key host-open "$text")"
  fi
  unit_down
  report "$name" "$WHY"
}

# ---------------------------------------------------------------- the unit side dies
# Hosts paying, waiting for events, checking consistency and holding the interface
# when tarvex-sim is killed (-9); with "mid-update" it first stops half-way through
# an update, its counter pair apart for good. Every host must end by its own bound
# with its failure (or, holding, with success), and hosts started after the death
# must too: a message to the unit, and a status that says it stopped.
unit_dies() {
  local name="the unit dies$1 while 6 hosts use it" how=$2
  WHY=""
  if ! unit_up --level 7 --pay-rate 1000; then report "$name" "$WHY"; return; fi
  local q=("$QMX" --serial "$SERIAL") d=$CASE_DIR
  ctl post-event 0x00010021
  start 40 "$d/pay.out" "${q[@]}" pay 100000 --timeout 8
  local pay=$BG
  start 40 "$d/events.out" "${q[@]}" events --count 1000 --timeout 8
  local events=$BG
  start 40 "$d/consistency.out" "${q[@]}" consistency --interval 100 --count 20
  local consistency=$BG
  start 40 "$d/hold.out" "${q[@]}" hold 4
  local hold=$BG
  sleep 1.5
  [ "$how" = mid-update ] && ctl stop-serving-mid-update
  kill -KILL "$UNIT_PID"
  wait "$UNIT_PID" 2>/dev/null || true
  start 40 "$d/e2prom.out" "${q[@]}" e2prom reset 1
  local e2prom=$BG
  start 40 "$d/status.out" "${q[@]}" status
  local status=$BG
  # host PID OUTPUT EXITS PATTERN: ended with one of the exit statuses EXITS (a
  # pattern) and a line matching PATTERN.
  host() {
    finish "$1"
    [ -z "$WHY" ] || return 0
    if hung "$RC"; then
      WHY="$(basename "$2" .out) hung: '$(last_line "$2")'"
    elif ! grep -qxE "$3" <<<"$RC" || ! grep -qE "$4" "$2"; then
      WHY="$(basename "$2" .out): exit $RC, '$(last_line "$2")'"
    fi
  }
  host "$pay" "$d/pay.out" 1 '^payout (failed|not finished|stopped)'
  host "$events" "$d/events.out" 1 '^[0-9]+ of 1000 events after 8 s$'
  # Killed outright, the unit may still have been half-way through an update.
  host "$consistency" "$d/consistency.out" "$([ "$how" = mid-update ] && echo 1 || echo '0|1')" \
    '^check 20: '
  host "$hold" "$d/hold.out" 0 '^holding the interface for 4 s$'
  host "$e2prom" "$d/e2prom.out" 1 '^e2prom reset failed: -[45] '
  host "$status" "$d/status.out" 0 '^unit: not updating'
  report "$name" "$WHY"
}

case_unit_dies() {
  new_case K
  unit_dies "" killed
  new_case M
  unit_dies " mid-update" mid-update
}

# ---------------------------------------------------------------- silent peripheral
# silent NAME KIND FILE ADDRESS EXIT FAULT: the peripheral at ADDRESS stops answering
# as FAULT says; the download must end with its failure result (exit 10 + result).
silent() {
  local name="download: $1" kind=$2 file=$3 address=$4 expected=$5 fault=$6
  CASE_START=$SECONDS
  WHY=""
  # A fresh unit each time: a peripheral's fault lasts as long as its unit.
  if ! unit_up --level 7; then report "$name" "$WHY"; return; fi
  # shellcheck disable=SC2086
  ctl peripheral "$address" silent $fault
  bounded 120 "$CASE_DIR/defload.out" "$DEFLOAD" "$kind" "$file" --address "$address" \
    --unit "$SERIAL" --timeout 90
  if hung "$RC"; then
    WHY="hung: '$(last_line "$CASE_DIR/defload.out")'"
  elif [ "$RC" -ne "$expected" ]; then
    WHY="exit $RC, not $expected: '$(last_line "$CASE_DIR/defload.out")'"
  fi
  unit_down
  report "$name" "$WHY"
}

case_silent_peripheral() {
  new_case S
  bash "$SAMPLE" coins "$CASE_DIR/coins.bin" 254 300 0 0 128
  bash "$SAMPLE" bills "$CASE_DIR/bills.bin" 4096
  silent "the SR5 silent from the first message" coins "$CASE_DIR/coins.bin" 2 15 --always
  # The SR5's header-96 messages: erase, begin coin, then the coin's data.
  silent "the SR5 falls silent mid-download" coins "$CASE_DIR/coins.bin" 2 16 \
    "--header 96 --nth 3 --always"
  silent "the Elite falls silent mid-download" elite "$CASE_DIR/bills.bin" 40 16 "--nth 6 --always"
}

# ---------------------------------------------------------------- the run
echo "soak: 46 cases in about 5 minutes (programming under faults, attach churn," \
  "units that die, silent peripherals)"
case_programming
case_attach_churn
case_unit_dies
case_silent_peripheral
echo "soak: $PASSES passed, $FAILS failed in $((SECONDS - STARTED)) s"
[ "$FAILS" -eq 0 ]
