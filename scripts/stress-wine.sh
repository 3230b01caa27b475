#!/usr/bin/env bash
# The long load run of Talvik2 on Wine's kernel (tests/wine-kernel/LoadScenario.cpp): random
# device-control traffic from two processes while colorimeters come and go, every request checked
# against the driver's contract, the framework's live objects checked when the last one is gone.
# `make test` runs a short one (wine.kernel.talvik2_load).
#   scripts/stress-wine.sh [OPS] [SEED]   (default 60000 operations, at most 20 minutes)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ops=${1:-60000}
seed=${2:-2026}
native=$root/build/native
win64=$root/build/win64
bin=$win64/tests/wine-kernel
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "stress-wine: skipped (no 64-bit Wine)"
  exit 0
fi
(cd "$root" && cmake --preset win64 >/dev/null && cmake --preset native >/dev/null)
cmake --build "$win64" -j 2 --target wt_talvik2_load VirtUsbBus wdfldr_sys SensorInst \
  WdfCoInstaller01001 >/dev/null
cmake --build "$native" -j 2 --target talvik2_sys >/dev/null
exec "$root/tests/wine-kernel/kernel-scenario.sh" --prefix "$native/wine-kernel-stress-prefix" \
  --timeout 1500 --debug warn+debugstr --fail-on "WDF verifier:" \
  --last "WDF live after" "WDF live after device removed: 1 objects: WDFDRIVER 1$" \
  --driver "$bin/VirtUsbBus.sys" --driver "$bin/WDFLDR.sys" --driver "$native/driver/Talvik2.sys" \
  -- "$bin/wt_talvik2_load.exe" "$win64/sensorinst/SensorInst.exe" \
  "$root/tests/wine-kernel/VirtUsbBus.inf" "$root/driver/Talvik2.inf" \
  "$native/driver/Talvik2.sys" "$bin/WdfCoInstaller01001.dll" --ops "$ops" --seconds 1200 \
  --seed "$seed"
