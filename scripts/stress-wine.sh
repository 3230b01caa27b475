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
source "$root/scripts/talvik2-wine-bed.sh"
if ! talvik2_bed "$root/build/native"; then
  echo "stress-wine: skipped (no 64-bit Wine)"
  exit 0
fi
talvik2_bed_build wt_talvik2_load
exec "$root/tests/wine-kernel/kernel-scenario.sh" --prefix "$bed_native/wine-kernel-stress-prefix" \
  --timeout 1500 --debug warn+debugstr --fail-on "WDF verifier:" \
  --last "WDF live after" "WDF live after device removed: 1 objects: WDFDRIVER 1$" \
  "${TALVIK2_BED_DRIVERS[@]}" -- "$bed_bin/wt_talvik2_load.exe" "${TALVIK2_BED_PACKAGE[@]}" \
  --ops "$ops" --seconds 1200 --seed "$seed"
