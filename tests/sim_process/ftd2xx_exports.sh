# The virtual D2XX library's export table, read from the built file, against its
# one list of exports: on Windows the .def file (names at their ordinals, and no
# other entry), elsewhere the version script (the dynamic symbols it names, no more).
#   bash ftd2xx_exports.sh LIBRARY LIST TOOL     (TOOL: objdump for a DLL, nm else)
set -euo pipefail
LIBRARY=${1:?library}
LIST=${2:?export list}
TOOL=${3:?objdump or nm}

if [[ $LIST == *.def ]]; then
  # "NAME[=INTERNAL] @ORDINAL" lines of the .def file.
  expected=$(sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)\(=[^ ]*\)\{0,1\}[ \t]*@\([0-9]*\).*/\3 \1/p' "$LIST" |
    sort -n)
  headers=$("$TOOL" -p "$LIBRARY")
  base=$(sed -n 's/.*Ordinal Base[[:space:]]*\([0-9][0-9]*\).*/\1/p' <<<"$headers" | head -n1)
  # Named exports: "[index] NAME" in the name pointer table, index = ordinal - base.
  named=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
    sed -n 's/^\s*\[\s*\([0-9]*\)\] \(\S*\)$/\1 \2/p' |
    while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
  # Every entry of the address table, named or not.
  entries=$(sed -n 's/^\s*\[\s*[0-9]*\] +base\[\s*\([0-9]*\)\].*/\1/p' <<<"$headers" | sort -n)
  expected_ordinals=$(cut -d' ' -f1 <<<"$expected")
else
  # The names under "global:" in the version script.
  expected=$(sed -n '/global:/,/local:/p' "$LIST" | grep -v -E 'global:|local:' |
    tr ';' '\n' | tr -d ' \t' | grep -v '^$' | sort)
  named=$("$TOOL" -D --defined-only "$LIBRARY" | awk '{print $3}' | grep -v '^$' | sort)
  entries=""
  expected_ordinals=""
fi

status=0
if [ "$named" != "$expected" ]; then
  printf 'FAIL: exports of %s\n--- expected\n%s\n--- got\n%s\n' "$LIBRARY" "$expected" "$named" >&2
  status=1
fi
if [ "$entries" != "$expected_ordinals" ]; then
  printf 'FAIL: address table of %s\n--- expected\n%s\n--- got\n%s\n' "$LIBRARY" \
    "$expected_ordinals" "$entries" >&2
  status=1
fi
[ "$(wc -l <<<"$expected")" -eq 9 ] || { echo "FAIL: $LIST does not list nine calls" >&2; status=1; }
[ $status -eq 0 ] && echo "$(wc -l <<<"$expected") exports as listed"
exit $status
