# The image tool as a whole program: make, check, pack and describe image files, with
# the reader's and the check's texts exactly as the loader gives them.
source "$(dirname "$0")/lib.sh"
FWIMAGE=$(program fwimage)
[ -f "$FWIMAGE" ] || { echo "FAIL: no program at $FWIMAGE" >&2; exit 1; }
FWIMAGE=$(cd "$(dirname "$FWIMAGE")" && pwd)/$(basename "$FWIMAGE")
EXE=""
if [ -n "$EMULATOR" ]; then
  EXE=.exe
  # Programs copied into the scratch folder share the build's Wine prefix (the one
  # wine-run picks for the build's own programs) instead of making a new one.
  if [ -z "${WINEPREFIX:-}" ]; then
    dir=$(cd "$BIN" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ "$dir" != / ] && export WINEPREFIX="$dir/wineprefix"
  fi
fi
cd "$WORK"  # file names below are relative, so the program prints them as given

# record_checksum LINE: the checksum byte the record should end with, as two hex digits.
record_checksum() {
  local line=$1 sum=0 i
  for ((i = 2; i < ${#line} - 2; i += 2)); do sum=$((sum + 16#${line:i:2})); done
  printf '%02X' $((~sum & 0xFF))
}
# line_of FILE ADDRESS: the number of the S2 record that starts at ADDRESS (6 hex digits).
line_of() { grep -n "^S2..$2" "$1" | cut -d: -f1; }
size_of() { wc -c <"$1" | tr -d ' '; }

# ---------------------------------------------------------------- make and check
run "$FWIMAGE" make --release beta --version 2.3.4 --kernel-version 5.6.7.8 \
  --date "Jan  2 2024" --time 01:02:03 -o good.a37
check "make: exit code" 0 "$RC"
# Everything below works on this file.
[ -s good.a37 ] || { echo "FAIL: make wrote no good.a37: $ERR" >&2; exit 1; }
check "make: S0 header record first" S00B0000676F6F642E61333752 "$(head -n 1 good.a37)"
check "make: S8 end record last" S804000000FB "$(tail -n 1 good.a37)"

run "$FWIMAGE" check good.a37
check_output "check: notes of a kernel image" $'Kernel Present\nKernel Copy not found\n'
check "check: exit code" 0 "$RC"

run "$FWIMAGE" make --no-kernel --app-size 0x101 --seed 7 -o nokernel.a37
check "make --no-kernel: exit code" 0 "$RC"
run "$FWIMAGE" check nokernel.a37
check_output "check: notes of an image without kernel" $'Kernel Not Present\n'
check "check without kernel: exit code" 0 "$RC"

run "$FWIMAGE" make --kernel-copy --release 0x02 -o copy.a37
run "$FWIMAGE" check copy.a37
check_output "check: notes of an image with kernel copy" $'Kernel Present\nKernel Copy present\n'
check "check with kernel copy: exit code" 0 "$RC"

run "$FWIMAGE" make --kernel-size 0x1030 -o toosmall.a37
check "make with a kernel too small: exit code" 3 "$RC"
check "make with a kernel too small: message" 1 "$(grep -c 'must be above 0x1030' <<<"$ERR" || true)"
check "make with a kernel too small: no file" no "$([ -e toosmall.a37 ] && echo yes || echo no)"

# A changed code byte at 0x8100 with its record's checksum made right: only the image
# check notices. The byte is the high half of a word, so the sum moves by 256 one way
# or the other; the stored checksum is the application block's bytes 4 to 7.
n=$(line_of good.a37 008100)
line=$(sed -n "${n}p" good.a37)
old=$((16#${line:10:2}))
new=$((old ^ 1))
line="${line:0:10}$(printf '%02X' $new)${line:12}"
line="${line:0:${#line}-2}$(record_checksum "$line")"
sed "${n}s/.*/$line/" good.a37 >bad.a37
block=$(sed -n "$(line_of good.a37 008000)p" good.a37)
stored=$((16#${block:18:8}))
generated=$(((stored + (new > old ? 256 : -256)) & 0xFFFFFFFF))
run "$FWIMAGE" check bad.a37
check_output "check: a changed code byte" "Kernel Present
$(printf 'Application Checksum error: Generated = %08x, Stored = %08x, Checksum address = 0x8004' \
  $generated $stored)
"
check "check of a changed code byte: exit code" 2 "$RC"

# A record whose checksum is wrong: the reader's text, with the whole sum in hex and
# the line as read.
n=$(line_of good.a37 008040)
line=$(sed -n "${n}p" good.a37)
last=$((16#${line: -2}))
line="${line:0:${#line}-2}$(printf '%02X' $((last ^ 0x10)))"
sed "${n}s/.*/$line/" good.a37 >badsum.a37
sum=0
for ((i = 2; i < ${#line}; i += 2)); do sum=$((sum + 16#${line:i:2})); done
run "$FWIMAGE" check badsum.a37
check_output "check: a wrong record checksum" "$(printf 'Checksum fail in <badsum.a37> (%x):' $sum)
$line

"
check "check of a wrong record checksum: exit code" 1 "$RC"

printf 'S00600004844521B\n\nS804000000FB\n' >blank.a37
run "$FWIMAGE" check blank.a37
check_output "check: a blank line" $'Invalid line in <blank.a37>:\n\n\n'
check "check of a blank line: exit code" 1 "$RC"

# ---------------------------------------------------------------- pack and info
# The tool itself serves as the program that carries the image.
cp "$FWIMAGE" "prog$EXE"
run "$FWIMAGE" pack "prog$EXE" good.a37 -o "packed$EXE"
check_output "pack: notes of the image's check" $'Kernel Present\nKernel Copy not found\n'
check "pack: exit code" 0 "$RC"
# Kernel 0x3000 + gap + application to 0xE000, then the kernel copy: L = 0x11000.
check "pack: file size" $(($(size_of "prog$EXE") + 0x11000 + 12)) "$(size_of "packed$EXE")"
check "pack: trailer" "8c4a8daa0010010000800000" \
  "$(tail -c 12 "packed$EXE" | od -An -tx1 | tr -d ' \n')"
check "pack: program bytes kept" same \
  "$(cmp -s -n "$(size_of "prog$EXE")" "prog$EXE" "packed$EXE" && echo same || echo differ)"
if [ -z "$EMULATOR" ]; then
  check "pack: still executable" yes "$([ -x "packed$EXE" ] && echo yes || echo no)"
fi

INFO_PACKED='File: packed'$EXE'
Form: program file
Release: Beta Test 2.3.4
Kernel: 5.6.7.8
Compile date: Jan  2 2024
Compile time: 01:02:03
Image length: 0x11000 (69632 bytes)
Application block offset: 0x8000
Kernel copy: present
'
run "$FWIMAGE" info "packed$EXE"
check_output "info: packed program" "$INFO_PACKED"
check "info of the packed program: exit code" 0 "$RC"

# The packed program still runs: the system's program loader ignores the image.
run "$WORK/packed$EXE" info "packed$EXE"
check_output "info run by the packed program itself" "$INFO_PACKED"

run "$FWIMAGE" info good.a37
check_output "info: S-Record file" 'File: good.a37
Form: S-Record file
Release: Beta Test 2.3.4
Kernel: 5.6.7.8
Compile date: Jan  2 2024
Compile time: 01:02:03
Image length: 0xE000 (57344 bytes)
'
check "info of the S-Record file: exit code" 0 "$RC"

run "$FWIMAGE" info "prog$EXE"
check_output "info: program without image" $'no image\n'
check "info of a program without image: exit code" 1 "$RC"

# Packing a packed program replaces its image.
run "$FWIMAGE" pack "packed$EXE" nokernel.a37 -o "repacked$EXE"
check "pack again: exit code" 0 "$RC"
check "pack again: file size" $(($(size_of "prog$EXE") + 0x8101 + 12)) "$(size_of "repacked$EXE")"
run "$FWIMAGE" info "repacked$EXE"
check "pack again: no kernel" 1 "$(grep -c '^Kernel: none' <<<"${OUT//$'\r'/}" || true)"

# Refusals write nothing and say why.
run "$FWIMAGE" pack "prog$EXE" bad.a37 -o "refused$EXE"
check "pack of a failing image: exit code" 2 "$RC"
check "pack of a failing image: message" 1 "$(grep -c '^Application Checksum error: ' <<<"$ERR" || true)"
check "pack of a failing image: no output" no "$([ -e "refused$EXE" ] && echo yes || echo no)"
run "$FWIMAGE" pack "prog$EXE" badsum.a37 -o "refused$EXE"
check "pack of an unreadable file: exit code" 1 "$RC"
check "pack of an unreadable file: message" 1 "$(grep -c '^Checksum fail in <badsum.a37> ' <<<"$ERR" || true)"
check "pack of an unreadable file: no output" no "$([ -e "refused$EXE" ] && echo yes || echo no)"
check "refusals leave no scratch files" "" "$(ls | grep -E '\.(part|notes)$' || true)"

# ---------------------------------------------------------------- files that cannot serve
# Every command refuses an input it cannot read with exit 3 and the reason, and
# writes nothing.
mkdir folder
: >empty.a37
# unusable_input DESCRIPTION EXPECTED-MESSAGE COMMAND ARGS...
unusable_input() {
  local what=$1 message=$2
  shift 2
  run "$FWIMAGE" "$@"
  check "$what: exit code" 3 "$RC"
  check "$what: message" 1 "$(grep -c -F "$message" <<<"$ERR" || true)"
  check "$what: nothing written" "" "$(ls | grep -E '^result|\.(part|notes)$' || true)"
}
for form in "check" "info" "pack PROGRAM" "pack IMAGE"; do
  for input in missing.a37 folder empty.a37; do
    case $input in
      missing.a37) message="Could not open <missing.a37> - " ;;
      folder) message="<folder> is a directory, not a file" ;;
      empty.a37) message="<empty.a37> is empty" ;;
    esac
    case $form in
      check | info) args=($form "$input") ;;
      "pack PROGRAM") args=(pack "$input" good.a37 -o "result$EXE") ;;
      "pack IMAGE") args=(pack "prog$EXE" "$input" -o "result$EXE") ;;
    esac
    unusable_input "$form of $input" "$message" "${args[@]}"
  done
done
unusable_input "make into a folder" "<folder> is a directory, not a file" make -o folder
unusable_input "make into a missing folder" "Could not create <nofolder/x.a37> - no folder <nofolder>" \
  make -o nofolder/x.a37
unusable_input "pack into a folder" "<folder> is a directory, not a file" \
  pack "prog$EXE" good.a37 -o folder

# The output may not be an input, whatever its spelling: the input stays as it was.
cp good.a37 good.copy
cp "prog$EXE" prog.copy
same_file() {  # same_file DESCRIPTION INPUT-ROLE INPUT OUT
  run "$FWIMAGE" pack "prog$EXE" good.a37 -o "$4"
  check "$1: exit code" 3 "$RC"
  check "$1: message" 1 \
    "$(grep -c -F "Refusing to write <$4>: it is the $2 <$3> itself" <<<"$ERR" || true)"
  check "$1: image kept" same "$(cmp -s good.a37 good.copy && echo same || echo differ)"
  check "$1: program kept" same "$(cmp -s "prog$EXE" prog.copy && echo same || echo differ)"
}
same_file "pack over its image" image good.a37 good.a37
same_file "pack over its program" program "prog$EXE" "prog$EXE"
same_file "pack over its program spelt ./" program "prog$EXE" "./prog$EXE"
ln "prog$EXE" "linked$EXE"
same_file "pack over a hard link to its program" program "prog$EXE" "linked$EXE"
check "refusals of the same file leave no scratch files" "" "$(ls | grep -E '\.(part|notes)$' || true)"

# PROGRAM must be an executable: a PE file (MZ, and e_lfanew at 0x3C pointing at
# "PE\0\0" inside the file) or an ELF file. Made by hand so both forms are tried on
# every platform.
pe_head() {  # pe_head E_LFANEW: an MZ header whose e_lfanew is E_LFANEW (4 bytes)
  printf 'MZ'
  head -c 58 /dev/zero
  printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x00\\x00"
}
{ pe_head 64; printf 'PE\0\0'; head -c 200 /dev/zero; } >pe.exe
{ printf '\177ELF\2\1\1'; head -c 200 /dev/zero; } >elf.bin
{ pe_head 64; printf 'XX\0\0'; head -c 200 /dev/zero; } >mz-no-pe.exe
{ pe_head 4096; printf 'PE\0\0'; } >mz-beyond.exe
printf 'hello\n' >text.txt
for accepted in pe.exe elf.bin; do
  run "$FWIMAGE" pack "$accepted" good.a37 -o result.bin
  check "pack of $accepted: exit code" 0 "$RC"
  run "$FWIMAGE" info result.bin
  check "pack of $accepted: a program file" 1 "$(grep -c '^Form: program file' <<<"${OUT//$'\r'/}" || true)"
  rm -f result.bin
done
for refused in text.txt mz-no-pe.exe mz-beyond.exe good.a37; do
  unusable_input "pack of $refused as the program" \
    "<$refused> is not a program file: neither a PE executable" pack "$refused" good.a37 -o result.bin
done

# ---------------------------------------------------------------- usage
run "$FWIMAGE" frobnicate
check "unknown command: exit code" 3 "$RC"
check "unknown command: usage text" 1 "$(grep -c '^usage:' <<<"$ERR" || true)"
run "$FWIMAGE" make --version 1.2 -o x.a37
check "bad version: exit code" 3 "$RC"

finish
