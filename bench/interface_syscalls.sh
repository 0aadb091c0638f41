# No system call on any path of the benchmarked exports: the same program under
# strace -c with 1 and with N rounds of every export; the counts must not grow.
#   bash bench/interface_syscalls.sh BENCH_INTERFACE [N]
set -euo pipefail
program=${1:?usage: interface_syscalls.sh BENCH_INTERFACE [N]}
rounds=${2:-200000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# strace -c's closing line: "% time, seconds, usecs/call, calls, [errors,] total".
calls() { awk '/ total$/ { print $4 }' "$work/trace"; }

strace -c -o "$work/trace" "$program" --syscall-loop 1 >/dev/null
one=$(calls)
strace -c -o "$work/trace" "$program" --syscall-loop "$rounds" >/dev/null
many=$(calls)
echo "system calls: $one with 1 round, $many with $rounds rounds of 5 exports"
if [ "$many" -le "$one" ]; then
  echo "no system call on any benchmarked path"
else
  echo "the exports make system calls:" && cat "$work/trace"
  exit 1
fi
