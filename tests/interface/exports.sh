# A library's export table, read from the built file, against its one exports list
# (NAME.def, lines "Name@bytes == _Name@bytes"): a 32-bit DLL exports exactly the
# decorated names (and imports only Windows' own DLLs and those named), a 64-bit DLL
# and the Linux library exactly the plain names.
#   bash exports.sh LIBRARY DEF TOOL [COUNT [DLL...]]
#     TOOL: objdump for a DLL, nm else; COUNT: how many the list must hold (55);
#     DLL: further DLLs the library may import
set -euo pipefail
LIBRARY=${1:?library}
DEF=${2:?qmxzelti.def}
TOOL=${3:?objdump or nm}
COUNT=${4:-55}
shift $(($# < 4 ? $# : 4))
# Names compared whole and without regard to case.
ALLOWED="^(KERNEL32\.dll|USER32\.dll|ADVAPI32\.dll|msvcrt\.dll|ntdll\.dll$(printf '|%s' "$@"))\$"

decorated=$(sed -n 's/^[A-Za-z][A-Za-z0-9_]*@[0-9]* == \(_[A-Za-z0-9_]*@[0-9]*\)[[:space:]]*$/\1/p' "$DEF" |
  sort)
plain=$(sed -n 's/^\([A-Za-z][A-Za-z0-9_]*\)@[0-9]* == _.*/\1/p' "$DEF" | sort)
status=0
fail() { printf 'FAIL: %s\n' "$1" >&2; status=1; }

[ -n "$decorated" ] || fail "$DEF lists no exports"
[ "$(wc -l <<<"$decorated")" -eq "$(grep -c '==' "$DEF")" ] || fail "$DEF has a line of another form"
# The field library's table: a host that imports any of them must find it.
[ "$(wc -l <<<"$decorated")" -eq "$COUNT" ] || fail "$DEF lists $(wc -l <<<"$decorated") exports, not $COUNT"

if [[ $LIBRARY == *.dll ]]; then
  headers=$("$TOOL" -p "$LIBRARY")
  format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$headers" | head -n1)
  named=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
    sed -n 's/^\s*\[\s*[0-9]*\] \(\S*\)$/\1/p' | sort)
  entries=$(sed -n 's/^\s*\[\s*[0-9]*\] +base\[\s*[0-9]*\].*/x/p' <<<"$headers" | wc -l)
  case "$format" in
    pei-i386) expected=$decorated ;;
    pei-x86-64) expected=$plain ;;
    *) fail "unexpected file format $format"; expected="" ;;
  esac
  [ "$entries" -eq "$(wc -l <<<"$expected")" ] || fail "$entries entries in the address table"
  bad=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | grep -v -i -E "$ALLOWED" || true)
  [ -z "$bad" ] || fail "imports beyond Windows' own DLLs: $bad"
else
  named=$("$TOOL" -D --defined-only "$LIBRARY" | awk '{print $3}' | grep -v '^$' | sort)
  expected=$plain
fi

if [ "$named" != "$expected" ]; then
  printf 'FAIL: exports of %s\n--- expected\n%s\n--- got\n%s\n' "$LIBRARY" "$expected" "$named" >&2
  status=1
fi
[ $status -eq 0 ] && echo "$(wc -l <<<"$expected") exports as listed"
exit $status
