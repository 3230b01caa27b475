#!/usr/bin/env bash
# Drives the virtual colorimeter through the Talvik2 driver with talvikctl (simulated build) and
# prints the traffic: each request as the client sends it, the setup packets and data stages on
# the virtual bus, and the statuses and bytes that come back.
#   scripts/demo-colorimeter.sh [BUILD_DIR]     (default build/native; built if needed)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
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
