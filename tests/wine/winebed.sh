#!/usr/bin/env bash
# The Wine test bed: one Wine prefix, Wine's windows on Xvfb (or the user's display), a
# persistent wineserver, and a way to run Windows programs in that session.
#
#   winebed.sh [--prefix DIR] up [--xvfb]         start a session (creates the prefix if missing)
#   winebed.sh [--prefix DIR] run [--version V] [--timeout S] -- PROGRAM [ARGS...]
#                                                 run PROGRAM with wine in the session; its output
#                                                 is shown when it ends, its exit code returned
#   winebed.sh [--prefix DIR] shot FILE.png       screenshot of the session's screen
#   winebed.sh [--prefix DIR] env                 print the environment of the session (for eval)
#   winebed.sh [--prefix DIR] down                end the session (wineserver and Xvfb)
#   winebed.sh can-run PROGRAM                    exit 0 when this host can run PROGRAM, else 77
#
# `run` without a session starts one and ends it afterwards. --version sets the value "Version"
# under HKCU\Software\Wine (winxp, win2003, vista, win7, win10, ...) for programs started from
# then on; without it the value is removed and Wine reports its default (6.1).
# The prefix defaults to $WINEBED_PREFIX, else build/wine-prefix under the repository.
# WINEBED_WINEDEBUG replaces WINEDEBUG=-all for the session (e.g. err+all, so that a stub called
# anywhere is reported); WINEBED_SERVICE_LOG receives the output of the session's service
# processes (services.exe, winedevice.exe with its kernel drivers), else it is dropped.
#
# Wine runs in plain X11 mode, not in a virtual desktop: with a virtual desktop every process
# rebuilds the monitor's device key (and drops an injected EDID) at its first display query; in
# plain mode the key is rebuilt only when a session starts, so an EDID written into a running
# session stays for all later programs. Wine draws captions and frames itself ("Managed"="N"),
# so windows look the same with or without a window manager.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
PREFIX=${WINEBED_PREFIX:-$ROOT/build/wine-prefix}
# Bump when the prefix settings below change, so that existing prefixes pick them up.
CONFIG_REVISION=4

die() { echo "winebed: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case $1 in
    --prefix) PREFIX=$2; shift 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || die "usage: winebed.sh [--prefix DIR] up|run|shot|env|down ..."
cmd=$1; shift
mkdir -p "$(dirname "$PREFIX")"
PREFIX=$(cd "$(dirname "$PREFIX")" && pwd)/$(basename "$PREFIX")
SESSION=$PREFIX.session

export WINEPREFIX=$PREFIX WINEDEBUG=${WINEBED_WINEDEBUG:--all}
# Japanese ANSI code page (932) for the narrow-character programs. Wine takes the code page from
# LC_ALL alone, but spells Unix file names and arguments in the Unix locale's charset: without a
# real ja_JP.UTF-8 locale that is ASCII and no name with 表 can exist. A private copy of the
# locale (LOCPATH, made once beside the prefix) leaves the machine's own locales alone.
LOCALE_DIR=${WINEBED_LOCPATH:-$(dirname "$PREFIX")/winebed-locale}
ensure_locale() {
  [ -f "$LOCALE_DIR/ja_JP.UTF-8/LC_CTYPE" ] && return 0
  mkdir -p "$LOCALE_DIR"
  # Built aside and renamed into place, so that a bed started meanwhile never sees half of it.
  local tmp
  tmp=$(mktemp -d "$LOCALE_DIR/.new.XXXXXX")
  LC_ALL=C localedef -i ja_JP -f UTF-8 "$tmp/ja_JP.UTF-8" >/dev/null 2>&1 || true
  [ -f "$tmp/ja_JP.UTF-8/LC_CTYPE" ] && { mv -T "$tmp/ja_JP.UTF-8" "$LOCALE_DIR/ja_JP.UTF-8" 2>/dev/null || true; }
  rm -rf "$tmp"
  [ -f "$LOCALE_DIR/ja_JP.UTF-8/LC_CTYPE" ] ||
    echo "winebed: localedef failed; file names with Japanese characters will not work" >&2
}
ensure_locale
export LOCPATH=$LOCALE_DIR
# Some hosts run no IA-32 code at all (IA-32 emulation off in the kernel), and on some the 32-bit
# Wine could not be installed (a mirror whose i386 packages lag behind): there the 32-bit loader
# cannot start or is missing, Wine's wrapper still picks it, and only 64-bit programs can run,
# through the 64-bit loader. Tests of 32-bit programs are then skipped (exit 77), not failed.
WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64
SKIP=77
host_runs_i386() { "$WINE32_LOADER" --version >/dev/null 2>&1; }
if host_runs_i386; then
  WINE_LOADER=wine
else
  WINE_LOADER=$WINE64_LOADER
  export WINELOADER=$WINE64_LOADER
fi
# Machine field of a PE file's header: 014c for i386, 8664 for x64.
pe_machine() {
  local lfanew
  lfanew=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$lfanew" ] || return 0
  od -An -tx2 -j$((lfanew + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
can_run() {
  [ -f "$1" ] && [ "$(pe_machine "$1")" = 014c ] && ! host_runs_i386 && {
    if [ -e "$WINE32_LOADER" ]; then
      echo "winebed: skipped: this host cannot execute 32-bit x86 code (its kernel has IA-32" \
        "emulation off), so Wine cannot run $(basename "$1")" >&2
    else
      echo "winebed: skipped: the 32-bit Wine (wine32:i386) is not installed, so Wine cannot" \
        "run $(basename "$1")" >&2
    fi
    return $SKIP
  }
  return 0
}
# Set per command, not in this shell.
wine() { LC_ALL=ja_JP.UTF-8 command "$WINE_LOADER" "$@"; }
wineboot() { LC_ALL=ja_JP.UTF-8 command "$WINE_LOADER" wineboot "$@"; }

session_alive() {
  [ -f "$SESSION" ] || return 1
  # shellcheck disable=SC1090
  . "$SESSION"
  [ -z "${XVFB_PID:-}" ] || kill -0 "$XVFB_PID" 2>/dev/null || return 1
  return 0
}

# Settings every session needs. They are read when the session's desktop starts, so they are
# written while no session runs (see create_prefix).
write_base_registry() {
  local reg=$PREFIX.reg
  {
    printf 'REGEDIT4\r\n\r\n'
    # The dialogs name "MS UI Gothic"; without a Japanese face their texts render as boxes.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    printf '"MS UI Gothic"="IPAGothic"\r\n"MS Gothic"="IPAGothic"\r\n"MS PGothic"="IPAPGothic"\r\n\r\n'
    # No virtual desktop (see the top); Wine draws captions and frames itself, with or without
    # a window manager, so tests and screenshots see the same thing everywhere.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"=-\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
  } >"$reg"
  wine regedit /S "$(winepath_of "$reg")" </dev/null >/dev/null 2>&1
}

# The Windows version Wine reports to programs started from now on; empty: Wine's default.
write_version() {
  local reg=$PREFIX.version.reg
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n'
    if [ -n "$1" ]; then printf '"Version"="%s"\r\n' "$1"; else printf '"Version"=-\r\n'; fi
  } >"$reg"
  wine regedit /S "$(winepath_of "$reg")" </dev/null >/dev/null 2>&1
}

# Z: maps the Unix root in every prefix.
winepath_of() { printf 'Z:%s' "${1//\//\\}"; }

create_prefix() {
  [ -f "$PREFIX/.winebed-$CONFIG_REVISION" ] && return 0
  echo "winebed: preparing Wine prefix $PREFIX (first run takes ~20 s)" >&2
  # No Mono/Gecko download prompts while the prefix is made.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  # Caption buttons and scroll arrows are letters of Wine's symbol font Marlett ("r" is the
  # close button). Wine looks for its own fonts only in the prefix's Fonts folder, where
  # Debian's Wine puts none; without it the face falls back to IPAGothic and shows the letters.
  cp /usr/share/wine/fonts/marlett.ttf "$PREFIX/drive_c/windows/Fonts/"
  DISPLAY= write_base_registry
  wineserver -k 2>/dev/null || true
  wineserver -w
  rm -f "$PREFIX"/.winebed-*
  touch "$PREFIX/.winebed-$CONFIG_REVISION"
}

start_xvfb() {
  local fdfile
  fdfile=$(mktemp)
  # -displayfd picks a free display number, so several test beds can run side by side.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fdfile" </dev/null >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    kill -0 "$XVFB_PID" 2>/dev/null || die "Xvfb did not start"
    sleep 0.1
  done
  [ -s "$fdfile" ] || die "Xvfb gave no display number"
  DISPLAY=:$(head -n1 "$fdfile")
  rm -f "$fdfile"
}

up() {
  local force_xvfb=0
  [ "${1:-}" = --xvfb ] && force_xvfb=1
  if session_alive; then return 0; fi
  rm -f "$SESSION"
  create_prefix
  XVFB_PID=""
  if [ $force_xvfb = 1 ] || [ -z "${DISPLAY:-}" ]; then start_xvfb; fi
  export DISPLAY
  # The wineserver outlives single programs; the session ends it with `down`.
  wineserver -p </dev/null >/dev/null 2>&1
  # Start the session's service processes now, with no terminal or pipe of ours: processes Wine
  # keeps running would otherwise hold the output of whoever started them first. They inherit
  # the Unix stderr of the session's first program, which is this one.
  wine cmd /c exit </dev/null >>"${WINEBED_SERVICE_LOG:-/dev/null}" 2>&1 || true
  write_version ""
  {
    echo "DISPLAY='$DISPLAY'"
    echo "XVFB_PID='$XVFB_PID'"
    echo "WINE_VERSION_SETTING=''"
  } >"$SESSION"
}

down() {
  if [ -f "$SESSION" ]; then
    # shellcheck disable=SC1090
    . "$SESSION"
  fi
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  if [ -n "${XVFB_PID:-}" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  rm -f "$SESSION"
}

run() {
  local version="" timeout=300
  while [ $# -gt 0 ]; do
    case $1 in
      --version) version=$2; shift 2 ;;
      --timeout) timeout=$2; shift 2 ;;
      --) shift; break ;;
      *) break ;;
    esac
  done
  [ $# -gt 0 ] || die "run: no program"
  can_run "$1" || return $?
  local own_session=0
  if ! session_alive; then up; own_session=1; fi
  session_alive || die "no session"
  export DISPLAY
  if [ "$version" != "${WINE_VERSION_SETTING:-}" ]; then
    write_version "$version"
    sed -i "s/^WINE_VERSION_SETTING=.*/WINE_VERSION_SETTING='$version'/" "$SESSION"
  fi
  # Output goes through a file: processes the program leaves running must not hold our pipe.
  local log rc=0
  log=$(mktemp)
  LC_ALL=ja_JP.UTF-8 timeout --kill-after=10 "$timeout" "$WINE_LOADER" "$@" </dev/null >"$log" 2>&1 || rc=$?
  cat "$log"
  rm -f "$log"
  [ $rc -ne 124 ] || echo "winebed: timed out after ${timeout}s: $*" >&2
  [ $own_session = 0 ] || down
  return $rc
}

case $cmd in
  up) up "$@" ;;
  down) down ;;
  run) run "$@" ;;
  can-run) can_run "${1:?can-run: no program}" ;;
  env)
    session_alive || die "no session"
    printf 'export WINEPREFIX=%q WINEDEBUG=%q LOCPATH=%q LC_ALL=ja_JP.UTF-8 DISPLAY=%q\n' \
      "$PREFIX" "$WINEDEBUG" "$LOCPATH" "$DISPLAY" ;;
  shot)
    session_alive || die "no session"
    DISPLAY=$DISPLAY import -window root "$1" ;;
  *) die "unknown command $cmd" ;;
esac
