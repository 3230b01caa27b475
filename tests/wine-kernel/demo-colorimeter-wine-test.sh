#!/usr/bin/env bash
# The colorimeter demo as `make demo` runs it on Wine's kernel: the package installed by
# Setup.exe, the shipped talvikctl.exe through the installed Talvik2.sys; checks the session's
# answers and the bus traffic talvikctl printed from the bus log, at the bus's times.
#   demo-colorimeter-wine-test.sh REPO_DIR BUILD_DIR
set -euo pipefail
out=$("$1/scripts/demo-colorimeter.sh" "$2" 2>&1) || { echo "$out"; exit 1; }
expect() {
  grep -qF -- "$1" <<<"$out" || { echo "$out"; echo "missing: $1"; exit 1; }
}
# Setup.exe installs the package and takes it out again, where Wine runs 32-bit programs.
if ! grep -qF "no 32-bit Wine here for Setup.exe" <<<"$out"; then
  expect "ok   Setup.exe installed the package"
  expect "ok   Setup.exe /uninstall took the package out"
fi
expect "1 colorimeter"
expect "SETUP  c0 01 00 00 00 00 40 00"        # vendor IN, wLength 64
expect "status  success (error 0), 16 bytes"    # short data stage
expect "SETUP  40 10 fa 00 00 00 00 00"        # vendor OUT, no data stage
expect "OUT    de ad be ef 01 02 03 04"
expect "data    01 01 fa 00 00 00 00 00"        # the measurement's report, read
expect "status  device error (error 31), 0 bytes"   # stall
expect "status  timed out (error 121), 0 bytes"      # the driver's 5 s
expect "CANCEL 0 bytes, status 0xC0000120, USB status 0xC0010000"
# The measurement's acknowledgement comes the integration time (250 ms) after its setup packet.
setup=$(grep -F "SETUP  40 20 00 00" <<<"$out" | awk '{ print $2 }')
done_=$(grep -A1 -F "SETUP  40 20 00 00" <<<"$out" | tail -1 | awk '{ print $2 }')
awk -v a="$setup" -v b="$done_" 'BEGIN { d = b - a; exit !(d >= 0.24 && d < 1.5) }' ||
  { echo "$out"; echo "the delayed answer took $setup .. $done_ s"; exit 1; }
expect "== Colorimeter demo done"
echo "demo on Wine's kernel ok"
