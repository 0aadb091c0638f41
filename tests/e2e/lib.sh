# Shared helpers of the end-to-end scripts. A script is called as
#   bash SCRIPT "<emulator or empty>" <folder of the programs>
# and runs the real programs: natively, or through the emulator (Wine) for the
# Windows build, where standard output is in text mode (lines end in CR LF).
set -euo pipefail
EMULATOR=${1:-}
BIN=${2:?usage: SCRIPT EMULATOR BIN_DIR}
PASSED=0
RC=0  # the last program's exit code, as run() leaves it
FAILED=0
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# program NAME: the path of a program of the build.
program() {
  if [ -n "$EMULATOR" ]; then
    local exe
    for exe in "$BIN/$1.exe" "$BIN/${1^}.exe"; do [ -f "$exe" ] && { echo "$exe"; return; }; done
    echo "$BIN/$1.exe"
  else
    echo "$BIN/$1"
  fi
}

# run PROGRAM ARGS...: runs it, leaving its output in $OUT, its errors in $ERR and
# its exit code in $RC.
# Under Wine a program now and then fails to start on a loaded machine: it ends
# non-zero without a word (Wine's own reason is among the messages WINEDEBUG=-all
# hides). Our programs always say why they fail, so such a run never reached our
# code and is made once more, with a note.
run() {
  local rc=0
  if [ -n "$EMULATOR" ]; then
    "$EMULATOR" "$@" >"$WORK/out" 2>"$WORK/err" || rc=$?
    if [ "$rc" -ne 0 ] && [ ! -s "$WORK/out" ] && [ ! -s "$WORK/err" ]; then
      echo "note: $(basename "$1") ended with $rc and said nothing under Wine: run again" >&2
      rc=0
      "$EMULATOR" "$@" >"$WORK/out" 2>"$WORK/err" || rc=$?
    fi
  else
    "$@" >"$WORK/out" 2>"$WORK/err" || rc=$?
  fi
  OUT=$(cat "$WORK/out"; echo .); OUT=${OUT%.}
  ERR=$(cat "$WORK/err")
  RC=$rc
}

# check_output DESCRIPTION EXPECTED: $OUT is EXPECTED as the program writes it
# (CR LF line ends under Windows).
check_output() {
  local expected=$2
  [ -n "$EMULATOR" ] && expected=${expected//$'\n'/$'\r\n'}
  check "$1" "$expected" "$OUT"
}

check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    PASSED=$((PASSED + 1))
  else
    FAILED=$((FAILED + 1))
    printf 'FAIL: %s\n--- expected\n%s\n--- got\n%s\n--- stderr (exit code %s)\n%s\n' "$1" "$2" "$3" "$RC" "$ERR" |
      cat -A >&2
  fi
}

finish() {
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
}
