# Helpers for scripts that run simulated units (tarvex-sim) and talk to them through
# the virtual D2XX library. Source after lib.sh.
BIN=$(cd "$BIN" && pwd)  # the programs are also run from the scratch folder
SIM=$(program tarvex-sim)

if [ -n "$EMULATOR" ]; then
  # A base port of our own: slot k is base + k, on loopback.
  export TARVEX_SIM_ENDPOINT=$((30000 + RANDOM % 20000))
  export FLASHWRIGHT_D2XX=$BIN/FTD2XX.dll
else
  export TARVEX_SIM_ENDPOINT=$WORK/units
  export FLASHWRIGHT_D2XX=$BIN/libftd2xx.so
fi

# sim ARGS...: runs tarvex-sim (through the emulator when there is one).
sim() {
  if [ -n "$EMULATOR" ]; then "$EMULATOR" "$SIM" "$@"; else "$SIM" "$@"; fi
}

# Units still running when the script ends, for whatever reason, are told to quit
# and then killed; each also ends by itself after --exit-after. (timeout runs
# programs, not shell functions: the program is named here.)
UNIT_PIDS=()
stop_units() {
  local pid slot
  for slot in 0 1 2 3; do
    timeout 20 ${EMULATOR:+"$EMULATOR"} "$SIM" ctl --slot "$slot" quit >/dev/null 2>&1 || true
  done
  for pid in "${UNIT_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  UNIT_PIDS=()
}
trap 'stop_units; rm -rf "$WORK"' EXIT

# start_unit NAME ARGS...: starts a unit in the background and waits until it
# listens; its pid goes to $UNIT_PID, its line to $UNIT_LINE.
start_unit() {
  local name=$1
  shift
  # The program itself in the background (not through the function), so that the
  # pid is the unit's own.
  ${EMULATOR:+"$EMULATOR"} "$SIM" "$@" --exit-after 600 >"$WORK/$name.out" 2>"$WORK/$name.err" &
  UNIT_PID=$!
  UNIT_PIDS+=("$UNIT_PID")
  UNIT_LINE=""
  local i tries=1
  for i in $(seq 600); do  # a new Wine prefix takes its time on first start
    UNIT_LINE=$(grep -m1 'on slot' "$WORK/$name.err" 2>/dev/null | tr -d '\r' || true)
    [ -n "$UNIT_LINE" ] && return 0
    if ! kill -0 "$UNIT_PID" 2>/dev/null; then
      # Gone without a word: under Wine a start that never reached the program (as
      # run() says); started once more.
      [ -n "$EMULATOR" ] && [ "$tries" -eq 1 ] && [ ! -s "$WORK/$name.err" ] || break
      echo "note: unit $name ended without a word under Wine: started again" >&2
      tries=2
      ${EMULATOR:+"$EMULATOR"} "$SIM" "$@" --exit-after 600 >"$WORK/$name.out" 2>"$WORK/$name.err" &
      UNIT_PID=$!
      UNIT_PIDS+=("$UNIT_PID")
    fi
    sleep 0.1
  done
  echo "FAIL: unit $name did not come up: $(cat "$WORK/$name.err")" >&2
  exit 1
}

# wait_for_programming SERIAL BLOCKS: waits until the unit is programming and has
# taken at least BLOCKS blocks; a run that never gets there fails the script.
wait_for_programming() {
  local serial=$1 blocks=$2 i
  for i in $(seq 300); do
    run "$SIM" status --serial "$serial"
    [ "$(value programmed-blocks)" -ge "$blocks" ] 2>/dev/null &&
      [ "$(value programming)" = yes ] && return 0
    sleep 0.05
  done
  echo "FAIL: programming of $serial never started" >&2
  exit 1
}

# value KEY: the value of "KEY: value" in $OUT.
value() { tr -d '\r' <<<"$OUT" | sed -n "s/^$1: //p"; }

# Firmware for the scripts that program units: EXE is the programs' file ending, and
# fwimage ARGS... runs the image builder, a failure ending the script.
FWIMAGE=$(program fwimage)
EXE=""; [ -n "$EMULATOR" ] && EXE=.exe
fwimage() { run "$FWIMAGE" "$@"; [ "$RC" -eq 0 ] || { echo "fwimage $*: $OUT $ERR" >&2; exit 1; }; }

# old_and_new_images PROGRAM SIZES...: in the current folder, old.a37 (Beta 1.2.3)
# and new.a37 (Full Release 2.0.1) of those sizes, and PROGRAM of the build as
# PROGRAM-plain and, carrying new.a37, as PROGRAM-new: its path in $CARRIER.
old_and_new_images() {
  local name=$1
  shift
  fwimage make --release beta --version 1.2.3 "$@" --seed 1 -o old.a37
  fwimage make --release full --version 2.0.1 "$@" --seed 2 -o new.a37
  cp "$(program "$name")" "$name-plain$EXE"
  fwimage pack "$name-plain$EXE" new.a37 -o "$name-new$EXE"
  CARRIER=$PWD/$name-new$EXE
}
