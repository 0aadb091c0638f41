#!/bin/bash
# Compares reading and checking a full 256 KiB S-Record firmware file with
# `fwimage check` against srec_cat reading the same file, and prints the medians.
#   compare_srec_cat.sh FWIMAGE [FILE]
# Without FILE, one is written by `bench_image --write-srec` (found next to FWIMAGE,
# or named by $BENCH_IMAGE).
set -euo pipefail

fwimage=${1:?usage: compare_srec_cat.sh FWIMAGE [FILE]}
file=${2:-}
for tool in hyperfine srec_cat jq; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$file" ]; then
  writer=${BENCH_IMAGE:-$(dirname "$fwimage")/bench_image}
  file=$work/firmware.a37
  "$writer" --write-srec "$file"
fi

hyperfine -N --warmup 5 --min-runs 50 --export-json "$work/times.json" \
  -n "fwimage check" "$fwimage check $file" \
  -n "srec_cat" "srec_cat $file -o /dev/null -binary"

echo
echo "$(wc -c <"$file") bytes in $file"
jq -r '.results[] | "\(.command): median \(.median * 1000 | . * 100 | round / 100) ms"' "$work/times.json"
