#!/usr/bin/env bash
# Runs one Windows program in a Wine session of its own (prefix, Xvfb, wineserver) and returns
# its exit code. Usage: run-in-wine.sh PREFIX [--version V] -- PROGRAM [ARGS...]
# --version sets what Wine reports as the Windows version (HKCU\Software\Wine "Version").
set -euo pipefail
prefix=$1; shift
version=""
while [ $# -gt 0 ]; do
  case $1 in
    --version) version=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
export WINEPREFIX=$prefix WINEDEBUG=-all
wine_() { LC_ALL=ja_JP.UTF-8 wine "$@" </dev/null; }

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.prepared" ]; then
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
    touch "$prefix/.prepared"
  fi
) 9>"$prefix.lock"

fdfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" </dev/null >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  rm -f "$fdfile"
}
trap cleanup EXIT
for _ in $(seq 1 100); do
  [ -s "$fdfile" ] && break
  sleep 0.1
done
[ -s "$fdfile" ] || { echo "run-in-wine: Xvfb gave no display" >&2; exit 2; }
export DISPLAY=:$(head -n1 "$fdfile")

wineserver -p
if [ -n "$version" ]; then
  wine_ reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
else
  wine_ reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1 || true
fi
log=$(mktemp)
rc=0
LC_ALL=ja_JP.UTF-8 timeout --kill-after=10 150 wine "$@" </dev/null >"$log" 2>&1 || rc=$?
cat "$log"
rm -f "$log"
exit $rc
