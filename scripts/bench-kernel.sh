#!/usr/bin/env bash
# The round-trip figure on Wine's kernel: a device-to-host vendor request through the whole stack
# (client -> I/O manager -> Talvik2.sys -> WDFLDR.SYS -> the virtual bus -> back) against a null
# request to the floor driver in the same kernel host, both synchronous, interleaved; the means,
# medians, their ratio and the steps between (tests/wine-kernel/Talvik2Bench.cpp). Every debug
# channel is off for it (kernel-scenario.sh --quiet).
#   scripts/bench-kernel.sh [N]   (default 2000 round trips of each; the native and win64 trees)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
n=${1:-2000}
source "$root/scripts/talvik2-wine-bed.sh"
if ! talvik2_bed "$root/build/native"; then
  echo "== Kernel-host bench: skipped (no 64-bit Wine)"
  exit 0
fi
talvik2_bed_build wt_talvik2_bench KldrFloor
out=$(mktemp)
trap 'rm -f "$out"' EXIT
rc=0
"$root/tests/wine-kernel/kernel-scenario.sh" --quiet --prefix "$bed_native/wine-kernel-bench-prefix" \
  "${TALVIK2_BED_DRIVERS[@]}" --driver "$bed_bin/KldrFloor.sys" -- "$bed_bin/wt_talvik2_bench.exe" \
  "${TALVIK2_BED_PACKAGE[@]}" "$root/tests/wine-kernel/KldrFloor.inf" "$n" >"$out" 2>&1 || rc=$?
# The figures, and whatever check of the set-up failed.
sed -n '/^== Kernel-host bench/,/where the time goes/p' "$out"
grep '^FAIL' "$out" || true
if [ $rc -ne 0 ]; then
  echo "bench-kernel: the bench's set-up failed (exit $rc); its output:" >&2
  tail -20 "$out" >&2
  exit 1
fi
