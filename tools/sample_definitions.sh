#!/bin/bash
# Sample definition files for the demo, the tests and the benchmark (their content is
# random: the acceptors store what they are sent).
#   sample_definitions.sh coins OUT LENGTH...   a coin definition file: the table of
#       sixteen 16-bit little-endian lengths (coin positions 1 to 16, 0 for none;
#       positions not named are 0), then that many bytes per position, in order
#   sample_definitions.sh bills OUT SIZE        a bill table of SIZE bytes
set -euo pipefail
usage() { sed -n '4,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 3 ] || usage
kind=$1 out=$2
shift 2
# Every argument is checked before anything is written, and the file is made beside
# OUT and moved over it whole: a bad argument or a failure leaves OUT as it was.
case "$kind" in
  coins)
    [ $# -le 16 ] || usage
    lengths=("$@")
    while [ ${#lengths[@]} -lt 16 ]; do lengths+=(0); done
    for length in "${lengths[@]}"; do
      [[ "$length" =~ ^[0-9]{1,5}$ ]] && [ "$((10#$length))" -le 65535 ] || usage
    done
    ;;
  bills)
    [ $# -eq 1 ] && [[ "$1" =~ ^[0-9]{1,12}$ ]] || usage
    ;;
  *) usage ;;
esac
tmp=$(mktemp "$out.XXXXXX")
trap 'rm -f "$tmp"' EXIT
chmod "$(printf %o $((0666 & ~$(umask))))" "$tmp"  # as a file made in place would be
if [ "$kind" = coins ]; then
  total=0
  for length in "${lengths[@]}"; do
    length=$((10#$length))
    printf "\\x$(printf %02x $((length & 255)))\\x$(printf %02x $((length >> 8)))" >>"$tmp"
    total=$((total + length))
  done
  head -c "$total" /dev/urandom >>"$tmp"
else
  head -c "$((10#$1))" /dev/urandom >"$tmp"
fi
mv -f "$tmp" "$out"
trap - EXIT
