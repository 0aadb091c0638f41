# The Windows programs as files: 32-bit PE, Flashwright a window program (fwstation a
# console one), and no
# import beyond Windows' own DLLs (the runtime is linked in statically).
source "$(dirname "$0")/lib.sh"
OBJDUMP=${3:?objdump}
ERR=""  # check() shows it; these checks run no program
SYSTEM='KERNEL32|USER32|ADVAPI32|SHELL32|msvcrt|WS2_32|ntdll'
# Flashwright's window: drawing, the common controls and the file dialog.
declare -A WINDOW=([Flashwright]='|GDI32|COMCTL32|COMDLG32')

for name in Flashwright fwstation fwimage snagview; do
  exe="$BIN/$name.exe"
  headers=$("$OBJDUMP" -p "$exe")
  check "$name.exe format" "pei-i386" "$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$headers" | head -n1)"
  allowed="^(${SYSTEM}${WINDOW[$name]:-})\.dll$"
  bad=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | grep -v -i -E "$allowed" || true)
  check "$name.exe imports only system DLLs" "" "$bad"
done
# The window view is linked in: its controls, drawing and file dialog are imported.
check "Flashwright.exe carries its window" 3 \
  "$("$OBJDUMP" -p "$BIN/Flashwright.exe" | sed -n 's/^\s*DLL Name: //p' |
    grep -c -i -E '^(GDI32|COMCTL32|COMDLG32)\.dll$')"
check "Flashwright.exe is a window program" "(Windows GUI)" \
  "$("$OBJDUMP" -p "$BIN/Flashwright.exe" | sed -n 's/^Subsystem\s*[0-9a-f]*\s*//p')"
check "fwstation.exe is a console program" "(Windows CUI)" \
  "$("$OBJDUMP" -p "$BIN/fwstation.exe" | sed -n 's/^Subsystem\s*[0-9a-f]*\s*//p')"
finish
