#!/usr/bin/env bash
# Checks that an image (a driver, or a program) imports only routines Wine really implements: each
# import must be exported by Wine's builtin of that name and not be one of its generated stubs
# (calling one aborts the process; in the kernel host, every driver in it).
#
#   check_wine_imports.sh IMAGE...
#   check_wine_imports.sh --names DLL ROUTINE...    check the named routines instead
#
# Prints "ok", "STUB" or "MISSING" per routine; fails when any is not ok.
set -euo pipefail
WINE_DLLS=${WINE_DLLS:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}

# DLL<TAB>routine lines of an image's import table.
imports_of() {
  "$OBJDUMP" -p "$1" | awk '
    /DLL Name:/ { dll = tolower($3); next }
    /^\s*$/ { next }
    dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll "\t" $3 }
    /^The Export Tables/ { dll = "" }'
}

declare -A exports stubs
load_dll() {
  local dll=$1 file
  [ -n "${exports[$dll]+x}" ] && return 0
  file=$WINE_DLLS/$dll
  if [ ! -f "$file" ]; then exports[$dll]=""; stubs[$dll]=""; return 0; fi
  # Export names, and the routines winebuild made stubs for (symbols __wine_stub_NAME).
  exports[$dll]=" $("$OBJDUMP" -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | tr '\n' ' ') "
  stubs[$dll]=" $("$OBJDUMP" -t "$file" | grep -o '__wine_stub_[A-Za-z0-9_]*' |
    sed 's/^__wine_stub_//' | sort -u | tr '\n' ' ') "
}

bad=0
check() {
  local dll=$1 routine=$2
  load_dll "$dll"
  if [[ "${stubs[$dll]}" == *" $routine "* ]]; then
    echo "STUB $dll!$routine"; bad=1
  elif [[ "${exports[$dll]}" != *" $routine "* ]]; then
    echo "MISSING $dll!$routine"; bad=1
  else
    echo "ok   $dll!$routine"
  fi
}

if [ "${1:-}" = --names ]; then
  dll=$(echo "$2" | tr 'A-Z' 'a-z'); shift 2
  for routine in "$@"; do check "$dll" "$routine"; done
else
  [ $# -gt 0 ] || { echo "usage: check_wine_imports.sh IMAGE..." >&2; exit 2; }
  for image in "$@"; do
    [ -f "$image" ] || { echo "no such image: $image" >&2; exit 2; }
    list=$(imports_of "$image")
    [ -n "$list" ] || { echo "no imports found in $image" >&2; exit 2; }
    while IFS=$'\t' read -r dll routine; do check "$dll" "$routine"; done <<<"$list"
  done
fi
exit $bad
