#!/usr/bin/env bash
# Sizes of the shipped programs (the files `make dist` copies into dist/) against their goals;
# a figure, not a check: a program over its goal is reported and the other benches still run.
set -euo pipefail
cd "$(dirname "$0")/.."
report() { # FILE NAME GOAL
  [ -f "$1" ] || { echo "bench: $1 is missing; build first (make bench builds)" >&2; exit 1; }
  local size
  size=$(stat -c %s "$1")
  echo "$2 $size bytes (goal ≤ $3)"
  [ "$size" -le "$3" ] || { echo "  $(( size - $3 )) bytes over the goal"; }
}
report build/win32/setup/Setup.exe Setup.exe 163840
report build/win64/client/talvikctl.exe talvikctl.exe 262144
