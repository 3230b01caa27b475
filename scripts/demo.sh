#!/usr/bin/env bash
# The demo: Setup.exe on a demo installation medium under Wine (on $DISPLAY when there is one,
# else on Xvfb), driven to its end as a user would. Prints a transcript of each run and saves
# PNG screenshots in demo-out/<run>/.
#
#   scripts/demo.sh                 a full installation, then the same medium with the product
#                                   already installed
#   scripts/demo.sh OPTIONS...      one run with these options:
#     --uninstall                   start the setup with /uninstall
#     --unsupported-display         the monitor's EDID names a model the setup does not support
#     --no-edid                     the monitor has no EDID at all
#     --version V                   the Windows version Wine reports: win2k, winxp, win2003,
#                                   vista, win7 (default), win10
#     --installed                   the product is installed beforehand (a real MSI, msiexec)
#     --no-dpinst                   the medium lacks DisplayDriver\...\DPInst.exe
#     --no-product-installer        the medium lacks Program\Setup.exe
#     --exit-code N                 every stand-in tool ends with exit code N
#     --fast                        the stand-in tools end at once (default: 700 ms each)
#   scripts/demo.sh --all           one run for each outcome in turn
#   --xvfb                          (with any of the above) use Xvfb even when $DISPLAY is set
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/demo-out
BED=(tests/wine/winebed.sh --prefix "$ROOT/build/native/wine-prefix")
W32=$ROOT/build/win32
W64=$ROOT/build/win64
SEQUENCE=$W32/tests/wine/sequence/wt_sequence.exe
MSI=$ROOT/build/native/tests/wine/probes/product.msi
KIT=(--setup="$W32/setup/Setup.exe" --stub32="$W32/tests/stubs/KldrStub.exe"
  --stub64="$W64/tests/stubs/KldrStub.exe" --msi="$MSI")
for f in "$W32/setup/Setup.exe" "$SEQUENCE" "$W32/tests/stubs/KldrStub.exe" \
  "$W64/tests/stubs/KldrStub.exe" "$MSI"; do
  [ -f "$f" ] || { echo "demo: $f is missing; build first (make demo builds)" >&2; exit 1; }
done
if ! "${BED[@]}" can-run "$W32/setup/Setup.exe"; then
  echo "demo: the setup part needs 32-bit Wine, which cannot run here; skipped" >&2
  exit 0
fi

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }

# One run: a name, a title, the Windows version, then wt_sequence's demo options.
RUNS=()
add_run() { RUNS+=("$1|$2|$3|${4:-}"); }

xvfb=0 all=0 version=win7 title="" name="" opts=()
tool_ms=700
while [ $# -gt 0 ]; do
  case $1 in
    --xvfb) xvfb=1 ;;
    --all) all=1 ;;
    --uninstall) opts+=(--uninstall); name+="-uninstall"; title+=", uninstall switch" ;;
    --unsupported-display) opts+=(--display=unsupported); name+="-unsupported-display"
      title+=", unsupported display" ;;
    --no-edid) opts+=(--display=none); name+="-no-edid"; title+=", monitor without EDID" ;;
    --version) version=${2:?--version needs a value}; shift; name+="-$version"
      title+=", Windows setting $version" ;;
    --installed) opts+=(--installed); name+="-installed"; title+=", product already installed" ;;
    --no-dpinst) opts+=(--without=DisplayDriver); name+="-no-dpinst"; title+=", DPInst.exe missing" ;;
    --no-product-installer) opts+=(--without=Program); name+="-no-product-installer"
      title+=", Program\\Setup.exe missing" ;;
    --exit-code) opts+=(--exit="${2:?--exit-code needs a value}"); name+="-exit-$2"
      title+=", tools end with exit code $2"; shift ;;
    --fast) tool_ms=0 ;;
    -h|--help) usage ;;
    *) echo "demo: unknown option $1" >&2; usage ;;
  esac
  shift
done

if [ $all = 1 ]; then
  add_run install "A full installation" win7
  add_run installed "The product already installed (box 105)" win7 --installed
  add_run uninstall "The uninstall switch" win7 --uninstall
  add_run unsupported-display "An unsupported display (box 104)" win7 --display=unsupported
  add_run win2k "Windows 2000 (box 102)" win2k
  add_run no-dpinst "DPInst.exe missing from the medium (status 106)" win7 --without=DisplayDriver
  add_run no-product-installer "Program\\Setup.exe missing from the medium (status 106)" win7 \
    --without=Program
elif [ -n "$name" ]; then
  add_run "${name#-}" "Setup.exe${title}" "$version" "${opts[*]}"
else
  add_run install "A full installation" win7
  add_run installed "The same medium with the product already installed" win7 --installed
fi

started=0
if ! "${BED[@]}" env >/dev/null 2>&1; then
  if [ $xvfb = 1 ]; then "${BED[@]}" up --xvfb; else "${BED[@]}" up; fi
  started=1
fi
trap '[ $started = 0 ] || "${BED[@]}" down' EXIT
display=$("${BED[@]}" env | sed -n 's/.*DISPLAY=\([^ ]*\).*/\1/p')
[ "$display" = "${DISPLAY:-}" ] || display="$display (Xvfb)"

rm -rf "$OUT" && mkdir -p "$OUT"
failed=0
for entry in "${RUNS[@]}"; do
  IFS='|' read -r run_name run_title run_version run_opts <<<"$entry"
  dir=$OUT/$run_name
  mkdir -p "$dir"
  echo
  echo "=== $run_title ==="
  echo "Wine on display $display, Windows setting $run_version"
  # shellcheck disable=SC2086 # run_opts holds separate options
  if ! "${BED[@]}" run --version "$run_version" -- "$SEQUENCE" demo "${KIT[@]}" --out="$dir" \
    --tool-ms="$tool_ms" $run_opts | tr -d '\r'; then
    failed=1
  fi
  for bmp in "$dir"/*.bmp; do
    [ -f "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
done

echo
echo "Screenshots in $OUT:"
find "$OUT" -name '*.png' | sort | sed "s|^$ROOT/|  |"
exit $failed
