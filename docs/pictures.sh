#!/usr/bin/env bash
# Copies Flashwright's window, as the Windows render test draws it on the real
# controls, into docs/pictures/ for the technicians' guide. The pictures are rendered
# afresh (under Wine) so the guide never shows a window the program no longer has.
#   docs/pictures.sh      needs the Windows build (./run build windows) and Wine
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# What the guide shows: the compact windows, the full window's three tabs.
pictures=(win32-update win32-countdown win32-full win32-scripted-program win32-scripted-half)

# The field build where 32-bit code runs, else the 64-bit build of the same sources.
preset=
if [ -f "$root/build/windows/bin/view_win32_test.exe" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  preset=windows
elif [ -f "$root/build/windows-x64/bin/view_win32_test.exe" ] && [ -x /usr/lib/wine/wine64 ]; then
  preset=windows-x64
fi
if [ -z "$preset" ]; then
  echo "docs/pictures.sh: no Windows render test to run: build it first (./run build windows," >&2
  echo "or cmake --preset windows-x64 && cmake --build build/windows-x64) and install Wine" >&2
  exit 1
fi

dir=$root/build/$preset/pictures
rm -f "$dir"/win32-*.png
"$root/cmake/wine-run" "$root/build/$preset/bin/view_win32_test.exe" --gtest_brief=1 >/dev/null
for name in "${pictures[@]}"; do
  [ -s "$dir/$name.png" ] || { echo "docs/pictures.sh: the render test drew no $name.png" >&2; exit 1; }
done
# The render test writes its pictures uncompressed; the guide's copies are deflated
# (same pixels) so the repository stays small.
for name in "${pictures[@]}"; do
  python3 - "$dir/$name.png" "$root/docs/pictures/$name.png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
chunks, at, pixels = [], 8, b""
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    at += 12 + length
    if kind == b"IDAT":
        pixels += body
    else:
        chunks.append((kind, body))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
out = data[:8]
for kind, body in chunks:
    if kind == b"IEND":
        out += chunk(b"IDAT", zlib.compress(zlib.decompress(pixels), 9))
    out += chunk(kind, body)
open(sys.argv[2], "wb").write(out)
PY
done
echo "copied ${#pictures[@]} pictures from build/$preset/pictures into docs/pictures/"
