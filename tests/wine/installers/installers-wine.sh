#!/usr/bin/env bash
# The installer steps under Wine, on media laid out around the probe program, with the stand-in
# tool copied to every tool of the package tree. Each tool appends a line to a log; the checks
# read those lines (tool path, architecture, command line, current directory, the dialog seen
# from outside) and the probe's own output (result, exit code).
#
# The 64-bit part runs in the test bed's shared session (its prefix is a WoW64 one); the 32-bit
# part in a WINEARCH=win32 prefix of its own, started and ended here with the same session script.
#
# usage: installers-wine.sh <winebed.sh> <shared prefix> <win32 build> <win64 build> <work dir>
set -euo pipefail

WINEBED=$1 SHARED=$2 W32=$3 W64=$4 WORK=$5
PROBE=$W32/tests/wine/installers/InstallersProbe.exe
STUB32=$W32/tests/stubs/KldrStub.exe
STUB64=$W64/tests/stubs/KldrStub.exe
for f in "$PROBE" "$STUB32" "$STUB64"; do [ -f "$f" ] || { echo "missing $f" >&2; exit 1; }; done
"$WINEBED" can-run "$PROBE" || exit $?
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)

# Names with 表 need the test bed's ja_JP.UTF-8 locale (LOCPATH), which `env` below exports.
export WINEDEBUG=-all

OWN_SESSIONS=()
cleanup() {
  for p in "${OWN_SESSIONS[@]}"; do "$WINEBED" --prefix "$p" down || true; done
  # What this test put into the shared prefix, the planted program first.
  rm -rf "$SHARED/drive_c/KLDR.exe" "$SHARED/drive_c/KLDR ACC" "$SHARED/drive_c/KLDR表" \
    "$SHARED/drive_c/KLDRソ"
}
trap cleanup EXIT

# The environment of a session (WINEPREFIX, DISPLAY, LOCPATH, LC_ALL) for the wine calls below;
# bash itself warns about LC_ALL, as it takes no LOCPATH given after its start.
enter_session() {
  { eval "$("$WINEBED" --prefix "$1" env)"; } 2>/dev/null
  export WINEBED_LOCPATH=$LOCPATH # the 32-bit prefix's session reuses the locale
  DRIVE_C=$WINEPREFIX/drive_c
}

failures=0
pass() { echo "ok   - $*"; }
fail() { echo "FAIL - $*"; failures=$((failures + 1)); }
expect_eq() { # what, got, expected
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1: got [$2], expected [$3]"; fi
}
# Lines of the log that hold every one of the fixed strings.
lines_with() {
  local log=$1; shift
  local out
  out=$(cat "$log" 2>/dev/null || true)
  for s in "$@"; do out=$(grep -F -- "$s" <<<"$out" || true); done
  [ -n "$out" ] && wc -l <<<"$out" || echo 0
}
expect_lines() { # what, count, log, strings...
  local what=$1 count=$2; shift 2
  expect_eq "$what" "$(lines_with "$@")" "$count"
}

# make_medium <unix dir> [missing-part...]: the package tree with stub tools, two packages and
# a plain file among them, and the probe as the program.
make_medium() {
  local m=$1; shift
  rm -rf "$m"
  mkdir -p "$m"/{DisplayDriver/x86,DisplayDriver/x64,Program,SensorDrivers/x86,SensorDrivers/x64}
  mkdir -p "$m"/SensorDrivers/Package/{A,B}
  cp "$STUB32" "$m/DisplayDriver/x86/DPInst.exe"
  cp "$STUB64" "$m/DisplayDriver/x64/DPInst.exe"
  cp "$STUB32" "$m/Program/Setup.exe"
  cp "$STUB32" "$m/SensorDrivers/x86/SensorInst.exe"
  cp "$STUB64" "$m/SensorDrivers/x64/SensorInst.exe"
  touch "$m/SensorDrivers/Package/A/a1.inf" "$m/SensorDrivers/Package/A/a2.inf"
  touch "$m/SensorDrivers/Package/B/b.v2.inf" "$m/SensorDrivers/Package/readme.txt"
  cp "$PROBE" "$m/InstallersProbe.exe"
  for part in "$@"; do rm -rf "${m:?}/$part"; done
}

# probe <windows dir of the probe> <name> <arguments...>: runs the probe from $WORK (so the
# tools' current directory is not their own); its output lands in OUT, the tools' log in LOG.
OUT="" LOG=""
probe() {
  local dir=$1 name=$2; shift 2
  LOG=$WORK/$name.log
  rm -f "$LOG"
  OUT=$(cd "$WORK" && KLDR_STUB_LOG="Z:${LOG//\//\\}" wine "$dir\\InstallersProbe.exe" "$@" 2>/dev/null |
    tr -d '\r')
}
WORK_WIN="Z:${WORK//\//\\}"

T=$'\t'

# The steps on one medium. $1 prefix label, $2 Windows program directory (no trailing
# backslash), $3 architecture of the tool copies the system must pick.
check_steps() {
  local label=$1 D=$2 arch=$3

  probe "$D" display display
  expect_eq "$label: display-driver step ran, dialog shown again" "$OUT" "result=1 visible=1"
  expect_lines "$label: $arch DPInst started by its quoted path, dialog hidden meanwhile" 1 "$LOG" \
    "tool=$D\\DisplayDriver\\$arch\\DPInst.exe${T}arch=$arch${T}cwd=$WORK_WIN${T}" \
    "${T}visible=0${T}" "${T}cmd=\"$D\\\\DisplayDriver\\$arch\\DPInst.exe\""
  expect_lines "$label: display-driver step started one program" 1 "$LOG" "tool="

  KLDR_STUB_EXIT_SETUP=3 probe "$D" product product
  expect_eq "$label: product installer ending with 3 counts as run" "$OUT" "result=1"
  expect_lines "$label: Program\\Setup.exe started by its quoted path, dialog visible" 1 "$LOG" \
    "tool=$D\\Program\\Setup.exe${T}arch=x86${T}" "${T}exit=3${T}" "${T}visible=1${T}" \
    "${T}cmd=\"$D\\\\Program\\Setup.exe\""
  expect_lines "$label: product step started one program" 1 "$LOG" "tool="

  local installer="$D\\SensorDrivers\\$arch\\SensorInst.exe"
  local packages="$D\\SensorDrivers\\Package"
  probe "$D" sensors sensors
  expect_eq "$label: sensor phase ran, status emptied" "$OUT" "result=1 status="
  expect_lines "$label: first INF of package A, status names it" 1 "$LOG" \
    "tool=$installer${T}arch=$arch${T}" "${T}status=a1 をインストールしています...${T}" \
    "${T}cmd=\"$installer\" \"$packages\\A\\a1.inf\""
  expect_lines "$label: INF of package B, status names it" 1 "$LOG" \
    "${T}status=b.v2 をインストールしています...${T}" \
    "${T}cmd=\"$installer\" \"$packages\\B\\b.v2.inf\""
  expect_lines "$label: one installer run per package" 2 "$LOG" "tool="

  probe "$D" uninstall sensors uninstall
  expect_eq "$label: uninstall phase ran" "$OUT" "result=1 status="
  expect_lines "$label: uninstall command lines and texts" 2 "$LOG" \
    "tool=$installer${T}" "をアンインストールしています...${T}" "${T}cmd=\"$installer\" /uninstall \"$packages\\"
}

# --- A 64-bit system (the shared WoW64 prefix) -----------------------------------------------
enter_session "$SHARED"
D='C:\KLDR ACC\disk 1'
make_medium "$DRIVE_C/KLDR ACC/disk 1"
cp "$STUB32" "$DRIVE_C/KLDR.exe" # planted where an unquoted "C:\KLDR ACC\..." looks first
probe "$D" is64 is64
expect_eq "64-bit prefix: probe says 64-bit" "$OUT" "is64=1"
check_steps "64-bit, blanks" "$D" x64
expect_eq "64-bit, blanks: the planted C:\\KLDR.exe never ran" \
  "$(cat "$WORK"/{display,product,sensors,uninstall}.log | grep -c -F 'tool=C:\KLDR.exe')" 0

# What the tools' command lines did before they were quoted: the planted program runs.
probe "$D" unquoted run "$D\\\\DisplayDriver\\x64\\DPInst.exe"
expect_eq "unquoted line counts as run" "$OUT" "ran=1 exit=0"
expect_lines "unquoted line starts the planted C:\\KLDR.exe instead of DPInst.exe" 1 "$LOG" \
  "tool=C:\\KLDR.exe${T}" "${T}cmd=$D\\\\DisplayDriver\\x64\\DPInst.exe"

# The runner: any exit code lands in the caller's place; a missing program fails at once.
for code in 0 1 1603 0xC0000005; do
  KLDR_STUB_EXIT=$code probe "$D" run run "\"$D\\Program\\Setup.exe\" /x"
  expect_eq "runner: child exit $code" "$OUT" "ran=1 exit=$((code))"
  expect_lines "runner: child exit $code ran the named program" 1 "$LOG" \
    "tool=$D\\Program\\Setup.exe${T}" "${T}exit=$((code))${T}"
done
probe "$D" run run "\"$D\\Program\\Missing.exe\""
expect_eq "runner: missing program fails, exit place untouched" "$OUT" "ran=0 exit=3735928559"
expect_lines "runner: missing program started nothing" 0 "$LOG" "tool="

# Tools missing from the medium (the x86 copies present must not stand in for the x64 ones).
D='C:\KLDR ACC\disk 2'
make_medium "$DRIVE_C/KLDR ACC/disk 2" DisplayDriver/x64 Program SensorDrivers/x64
probe "$D" display display
expect_eq "missing DPInst: step fails, dialog shown again" "$OUT" "result=0 visible=1"
expect_lines "missing DPInst: nothing started" 0 "$LOG" "tool="
probe "$D" product product
expect_eq "missing product installer: step fails" "$OUT" "result=0"
expect_lines "missing product installer: nothing started" 0 "$LOG" "tool="
probe "$D" sensors sensors
expect_eq "missing sensor installer: every package fails, status emptied" "$OUT" "result=0 status="
expect_lines "missing sensor installer: nothing started" 0 "$LOG" "tool="

# Program directories ending in a character whose second byte is 0x5C (表 95 5C, ソ 83 5C).
for entry in "表:955C" "ソ:835C"; do
  ch=${entry%%:*} bytes=${entry#*:}
  D="C:\\KLDR$ch"
  make_medium "$DRIVE_C/KLDR$ch"
  probe "$D" moduledir moduledir
  expect_eq "CP932 $ch: program directory keeps its trail byte" "$OUT" \
    "moduledir=433A5C4B4C4452${bytes}5C"
  check_steps "CP932 $ch" "$D" x64
done

# --- A 32-bit system (WINEARCH=win32, a prefix of its own) ----------------------------------
OWN_SESSIONS+=("$WORK/prefix32")
WINEARCH=win32 "$WINEBED" --prefix "$WORK/prefix32" up --xvfb
enter_session "$WORK/prefix32"
D='C:\KLDR ACC\disk 1'
make_medium "$DRIVE_C/KLDR ACC/disk 1"
probe "$D" is64 is64
expect_eq "32-bit prefix: probe says 32-bit" "$OUT" "is64=0"
check_steps "32-bit" "$D" x86

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
