#!/usr/bin/env bash
# The demo: runs the built Setup.exe under Wine (on $DISPLAY when there is one, else on Xvfb)
# and saves screenshots of the setup dialog and the about box as PNG files in demo-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/demo-out
BED=(tests/wine/winebed.sh --prefix "$ROOT/build/native/wine-prefix")
SETUP=$ROOT/build/win32/setup/Setup.exe
SHOTS=$ROOT/build/win32/tests/wine/wt_demo_shots.exe

[ -f "$SETUP" ] && [ -f "$SHOTS" ] || { echo "demo: build first (make demo builds)" >&2; exit 1; }
rm -rf "$OUT" && mkdir -p "$OUT"

started=0
if ! "${BED[@]}" env >/dev/null 2>&1; then
  "${BED[@]}" up
  started=1
fi
trap '[ $started = 0 ] || "${BED[@]}" down' EXIT
display=$("${BED[@]}" env | sed -n 's/.*DISPLAY=\([^ ]*\).*/\1/p')
echo "demo: running Setup.exe under Wine on display $display"

"${BED[@]}" run -- "$SHOTS" "$SETUP" "$OUT"
for bmp in "$OUT"/*.bmp; do
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
echo "demo: screenshots in $OUT:"
ls -1 "$OUT"/*.png | sed 's/^/  /'
