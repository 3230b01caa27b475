#!/usr/bin/env bash
# The colorimeter demo's simulated system (`scripts/demo-colorimeter.sh --sim`, what `make demo`
# runs without Wine): talvikctl (simulated build) through the driver; checks a few lines of the
# traffic and that the verifier found nothing.
#   demo-colorimeter-test.sh REPO_DIR BUILD_DIR
set -euo pipefail
out=$("$1/scripts/demo-colorimeter.sh" --sim "$2" 2>&1)
expect() {
  grep -qF -- "$1" <<<"$out" || { echo "$out"; echo "missing: $1"; exit 1; }
}
expect "2 colorimeters"
expect "SETUP  c0 01 00 00 00 00 40 00"        # vendor IN, wLength 64
expect "status  success (error 0), 16 bytes"    # short data stage
expect "SETUP  40 10 fa 00 00 00 00 00"        # vendor OUT, no data stage
expect "OUT    de ad be ef 01 02 03 04"
expect "status  device error (error 31), 0 bytes"   # stall
expect "status  timed out (error 121), 0 bytes"      # 5 s of virtual time
# A read waits on the bus from its submission: the one nothing answers is cancelled 5 s later.
pair() {
  [[ $out == *"$1"$'\n'"$2"* ]] || { echo "$out"; echo "missing: $1 / $2"; exit 1; }
}
pair "  bus    0.250 s  IN     endpoint 0x81, up to 64 bytes" \
     "  bus    5.250 s  CANCEL 0 bytes, status 0xC0000120, USB status 0xC0010000"
expect "== Colorimeter demo done"
if grep -q "verifier:" <<<"$out"; then echo "$out"; exit 1; fi
echo "demo ok"
