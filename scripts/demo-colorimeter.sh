#!/usr/bin/env bash
# Drives the virtual colorimeter through the Talvik2 driver with talvikctl and prints the traffic:
# each request as the client sends it, the setup packets and data stages on the virtual bus, and
# the statuses and bytes that come back.
#
#   scripts/demo-colorimeter.sh [BUILD_DIR]        on Wine's kernel: Setup.exe installs Talvik2's
#                                                  package from a medium (SensorInst.exe alone when
#                                                  Wine runs no 32-bit programs here), then the
#                                                  shipped talvikctl.exe goes through the installed
#                                                  Talvik2.sys (build/native, build/win32 and
#                                                  build/win64 by default)
#   scripts/demo-colorimeter.sh --sim [BUILD_DIR]  the simulated talvikctl (build/native)
#
# Without a 64-bit Wine it runs the simulated one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sim=0
if [ "${1:-}" = "--sim" ]; then
  sim=1
  shift
fi
build=${1:-$root/build/native}
source "$root/scripts/talvik2-wine-bed.sh"
if [ $sim = 0 ] && ! talvik2_bed "$build"; then
  echo "demo-colorimeter: no 64-bit Wine here: the simulated system instead"
  sim=1
fi

if [ $sim = 1 ]; then
  ctl=$build/client/talvikctl
  if [ ! -x "$ctl" ]; then
    (cd "$root" && cmake --preset native >/dev/null &&
      cmake --build --preset native -j 2 --target talvikctl >/dev/null)
  fi
  echo "== Colorimeter: talvikctl against the virtual colorimeter (virtual time in ms)"
  echo "-- two colorimeters plugged in"
  "$ctl" --colorimeters 2 list
  echo
  echo "-- a session (scripts/demo-colorimeter.session)"
  set +e
  "$ctl" --bus script "$root/scripts/demo-colorimeter.session"
  rc=$?
  set -e
  # The session contains a stall and two timeouts on purpose, so talvikctl ends with 1; anything
  # else (a usage error, a verifier finding) is a failure of the demo.
  if [ $rc -ne 0 ] && [ $rc -ne 1 ]; then
    echo "demo-colorimeter: talvikctl ended with $rc" >&2
    exit 1
  fi
  echo "== Colorimeter demo done"
  exit 0
fi

# On Wine's kernel: the images and programs of both trees.
talvik2_bed_build wt_colorimeter_demo talvikctl
# Setup.exe installs the package when this host's Wine runs 32-bit programs; else SensorInst.exe.
setup=()
if talvik2_bed_setup_build; then setup=("${TALVIK2_BED_SETUP[@]}"); fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
rc=0
# The framework's verifier findings reach the host's log: any fails the demo.
"$root/tests/wine-kernel/kernel-scenario.sh" --prefix "$build/wine-kernel-demo-prefix" \
  --debug warn+debugstr --fail-on "WDF verifier:" "${TALVIK2_BED_DRIVERS[@]}" \
  -- "$bed_bin/wt_colorimeter_demo.exe" "${TALVIK2_BED_PACKAGE[@]}" \
  "$bed_win64/client/talvikctl.exe" "$root/scripts/demo-colorimeter.session" "${setup[@]}" \
  >"$out" 2>&1 || rc=$?
# The transcript, without the bed's own lines and the host's log.
sed -e '/^-- service processes/,$d' -e '/^kernel-scenario:/d' -e '/^winebed:/d' \
  -e '/err:setupapi:SetupDiRemoveDevice/d' "$out"
if [ $rc -ne 0 ]; then
  echo "demo-colorimeter: the demo on Wine's kernel failed (exit $rc); the host's log:" >&2
  sed -n '/^-- service processes/,$p' "$out" | head -20 >&2
  grep '^kernel-scenario:' "$out" >&2 || true
  exit 1
fi
echo "== Colorimeter demo done"
