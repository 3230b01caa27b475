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
native=$root/build/native
win64=$root/build/win64
bin=$win64/tests/wine-kernel
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "== Kernel-host bench: skipped (no 64-bit Wine)"
  exit 0
fi
(cd "$root" && cmake --preset win64 >/dev/null && cmake --preset native >/dev/null)
cmake --build "$win64" -j 2 --target wt_talvik2_bench VirtUsbBus wdfldr_sys KldrFloor SensorInst \
  WdfCoInstaller01001 >/dev/null
cmake --build "$native" -j 2 --target talvik2_sys >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
rc=0
"$root/tests/wine-kernel/kernel-scenario.sh" --quiet --prefix "$native/wine-kernel-bench-prefix" \
  --driver "$bin/VirtUsbBus.sys" --driver "$bin/WDFLDR.sys" --driver "$native/driver/Talvik2.sys" \
  --driver "$bin/KldrFloor.sys" -- "$bin/wt_talvik2_bench.exe" "$win64/sensorinst/SensorInst.exe" \
  "$root/tests/wine-kernel/VirtUsbBus.inf" "$root/driver/Talvik2.inf" \
  "$native/driver/Talvik2.sys" "$bin/WdfCoInstaller01001.dll" \
  "$root/tests/wine-kernel/KldrFloor.inf" "$n" >"$out" 2>&1 || rc=$?
# The figures, and whatever check of the set-up failed.
sed -n '/^== Kernel-host bench/,/where the time goes/p' "$out"
grep '^FAIL' "$out" || true
if [ $rc -ne 0 ]; then
  echo "bench-kernel: the bench's set-up failed (exit $rc); its output:" >&2
  tail -20 "$out" >&2
  exit 1
fi
