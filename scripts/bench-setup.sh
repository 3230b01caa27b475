#!/usr/bin/env bash
# The setup's figures under Wine, measured in one session on Xvfb (see
# bench/setup/Bench.cpp): start to dialog on screen beside a minimal dialog
# program, and the sensor phase's own time per package.
#   BENCH_RUNS=15 BENCH_PACKAGES=16 scripts/bench-setup.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
W32=$ROOT/build/win32
W64=$ROOT/build/win64
BENCH=$W32/bench/wt_bench.exe
KIT=(--setup="$W32/setup/Setup.exe" --stub32="$W32/tests/stubs/KldrStub.exe"
  --stub64="$W64/tests/stubs/KldrStub.exe")
for f in "$BENCH" "$W32/setup/Setup.exe" "$W32/bench/MinimalDialog.exe"; do
  [ -f "$f" ] || { echo "bench: $f is missing; build first (make bench builds)" >&2; exit 1; }
done

# A prefix of its own, so that a test session in the shared one is not disturbed.
BED=(tests/wine/winebed.sh --prefix "$ROOT/build/native/bench-prefix")
if ! "${BED[@]}" can-run "$BENCH"; then
  echo "== Setup.exe under Wine: not measured, 32-bit Wine cannot run here"
  exit 0
fi
"${BED[@]}" up --xvfb
trap '"${BED[@]}" down' EXIT

echo "== Setup.exe under Wine ($(wine --version 2>/dev/null || echo wine)), $(nproc) cores"
"${BED[@]}" run -- "$BENCH" startup "${KIT[@]}" \
  --minimal="$W32/bench/MinimalDialog.exe" --runs="${BENCH_RUNS:-15}" | tr -d '\r'
echo
"${BED[@]}" run -- "$BENCH" sensors "${KIT[@]}" --packages="${BENCH_PACKAGES:-16}" | tr -d '\r'
