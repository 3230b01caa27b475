#!/usr/bin/env bash
# Runs the client's Windows programs under Wine in a prefix of their own:
#   run-wine-tests.sh PREFIX_DIR WIN64_BUILD_DIR [WIN32_BUILD_DIR]
# the transport test of each build, then talvikctl with no colorimeter attached.
set -euo pipefail
prefix=$1 win64=$2 win32=${3:-}
export WINEPREFIX=$prefix WINEDEBUG=-all
mkdir -p "$prefix"
cleanup() { wineserver -k 2>/dev/null || true; }
trap cleanup EXIT
run() { LC_ALL=ja_JP.UTF-8 timeout 120 wine "$@" </dev/null; }

status=0
for dir in "$win64" $win32; do
  echo "== transport test ($dir)"
  run "$dir/client/talvik_win32_transport_test.exe" | tr -d '\r' || status=1
done

echo "== talvikctl list"
out=$(run "$win64/client/talvikctl.exe" list | tr -d '\r') || { echo "list failed"; status=1; }
echo "$out"
[ "$out" = "0 colorimeters" ] || { echo "FAIL unexpected list output"; status=1; }

echo "== talvikctl read (nothing attached)"
set +e
out=$(run "$win64/client/talvikctl.exe" read | tr -d '\r'); rc=$?
set -e
echo "$out"
[ $rc -eq 1 ] && [ "$out" = "no colorimeter 0 (0 present)" ] || { echo "FAIL rc $rc"; status=1; }
exit $status
