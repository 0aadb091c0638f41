# The import libraries a Windows host links against, read with nm, against the
# library's exports list: each decorated name of the list (_OpenVODVersion@4) has its
# __imp_ pointer and its call thunk, and there is nothing else to link against.
#   bash import_libs.sh NM DEF LIBRARY...
set -euo pipefail
NM=${1:?nm}
DEF=${2:?exports list}
shift 2
status=0
listed=$(sed -n 's/^[A-Za-z][A-Za-z0-9_]*@[0-9]* == \(_[A-Za-z0-9_]*@[0-9]*\)[[:space:]]*$/\1/p' "$DEF" |
  LC_ALL=C sort)
[ -n "$listed" ] || { echo "FAIL: $DEF lists no exports" >&2; exit 1; }
for lib in "$@"; do
  symbols=$("$NM" "$lib" 2>/dev/null) || { echo "FAIL: $NM cannot read $lib" >&2; status=1; continue; }
  pointers=$(sed -n 's/^[0-9a-f]* I __imp_\(_.*@[0-9]*\)$/\1/p' <<<"$symbols" | LC_ALL=C sort)
  thunks=$(sed -n 's/^[0-9a-f]* T \(_.*@[0-9]*\)$/\1/p' <<<"$symbols" | LC_ALL=C sort)
  if [ "$pointers" != "$listed" ]; then
    echo "FAIL: $lib: the __imp_ names differ from $DEF:" >&2
    diff <(echo "$listed") <(echo "$pointers") >&2 || true
    status=1
  fi
  if [ "$thunks" != "$listed" ]; then
    echo "FAIL: $lib: the call thunks differ from $DEF:" >&2
    diff <(echo "$listed") <(echo "$thunks") >&2 || true
    status=1
  fi
  [ "$status" -ne 0 ] || echo "$lib: $(wc -l <<<"$listed") names, as listed"
done
exit "$status"
