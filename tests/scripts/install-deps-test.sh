#!/usr/bin/env bash
# The install script's decisions against a stubbed apt: a failed index, a resolver failure that
# the release pin cures, failures that must end the run naming the package, and the 32-bit Wine
# that may fail alone.
set -euo pipefail

SCRIPT=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

mkdir "$WORK/bin"
cat >"$WORK/os-release" <<'REL'
NAME="Test Linux"
VERSION_CODENAME=testrel
REL

# apt-get: records each call; behaviour from STUB_UPDATE (exit code) and STUB_INSTALL, a list of
# outcomes, one per install call: ok, resolver, missing:<pkg>, broken:<pkg>.
cat >"$WORK/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB_LOG"
case $1 in
  update) exit "${STUB_UPDATE:-0}" ;;
  install)
    n=$(grep -c '^apt-get install' "$STUB_LOG")
    outcome=$(echo "$STUB_INSTALL" | cut -d' ' -f"$n")
    case $outcome in
      ok) exit 0 ;;
      resolver) echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
      breaks) echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages."; exit 100 ;;
      missing:*) echo "E: Unable to locate package ${outcome#missing:}"; exit 100 ;;
      broken:*)
        echo " ${outcome#broken:} : Depends: libwine:i386 (= 8.0) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100 ;;
    esac ;;
esac
exit 0
STUB
# dpkg-query: every package installed (STUB_INSTALLED=all) or none; amd64 libraries at 1.0.
cat >"$WORK/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
case "$*" in
  *'${Version}'*) printf '1.0' ;;
  *) [ "${STUB_INSTALLED:-none}" = all ] && printf 'install ok installed' ;;
esac
exit 0
STUB
# apt-cache: wine32:i386 needs libfoo:i386 (a multi-arch twin, 2.0 in the index) and
# tool:i386 (not multi-arch).
cat >"$WORK/bin/apt-cache" <<'STUB'
#!/usr/bin/env bash
case $1 in
  depends) printf 'wine32:i386\n  Depends: libfoo:i386\nlibfoo:i386\ntool:i386\n' ;;
  show) [ "$2" = libfoo:i386 ] && echo 'Multi-Arch: same' ;;
  policy) printf '%s:\n  Installed: (none)\n  Candidate: 2.0\n' "$2" ;;
esac
exit 0
STUB
cat >"$WORK/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
printf '#!/bin/sh\necho 0\n' >"$WORK/bin/id"
chmod +x "$WORK/bin/"*

failures=0
# run NAME EXPECTED_EXIT; the script's stderr lands in $WORK/err, apt's calls in $WORK/log.
run() {
  local name=$1 expected=$2 rc=0
  : >"$WORK/log"
  PATH="$WORK/bin:$PATH" STUB_LOG="$WORK/log" OS_RELEASE_FILE="$WORK/os-release" \
    bash "$SCRIPT" >/dev/null 2>"$WORK/err" || rc=$?
  if { [ "$expected" = 0 ] && [ $rc -ne 0 ]; } || { [ "$expected" != 0 ] && [ $rc -eq 0 ]; }; then
    echo "FAIL $name: exit $rc"; cat "$WORK/err"; failures=$((failures + 1)); return 1
  fi
}
expect() { # NAME FILE GREP-PATTERN
  grep -qE -- "$3" "$2" || { echo "FAIL $1: no '$3' in $(basename "$2")"; cat "$2"; failures=$((failures + 1)); }
}
expect_not() {
  ! grep -qE -- "$3" "$2" || { echo "FAIL $1: unexpected '$3'"; cat "$2"; failures=$((failures + 1)); }
}
installs_are() { # NAME COUNT
  local n
  n=$(grep -c '^apt-get install' "$WORK/log" || true)
  [ "$n" = "$2" ] || { echo "FAIL $1: $n install calls, expected $2"; failures=$((failures + 1)); }
}

export STUB_UPDATE STUB_INSTALL STUB_INSTALLED

STUB_INSTALLED=all STUB_UPDATE=0 STUB_INSTALL=ok
run nothing-missing 0 && installs_are nothing-missing 0 && expect_not nothing-missing "$WORK/log" update

STUB_INSTALLED=none STUB_UPDATE=100 STUB_INSTALL="ok ok"
run index-failure 0 && expect index-failure "$WORK/err" "indexes failed" &&
  installs_are index-failure 2

STUB_UPDATE=0 STUB_INSTALL="resolver ok ok"
run resolver-then-pinned 0 && installs_are resolver-then-pinned 3 &&
  expect resolver-then-pinned "$WORK/log" "install .*-t testrel .*cmake"

STUB_UPDATE=0 STUB_INSTALL="ok breaks ok"
run resolver-breaks-then-pinned 0 && installs_are resolver-breaks-then-pinned 3 &&
  expect resolver-breaks-then-pinned "$WORK/log" "install .*-t testrel .*wine32:i386"

STUB_UPDATE=100 STUB_INSTALL="missing:cmake"
run no-such-package 1 && expect no-such-package "$WORK/err" "could not install cmake" &&
  expect_not no-such-package "$WORK/log" "-t testrel" && installs_are no-such-package 1

STUB_UPDATE=0 STUB_INSTALL="resolver broken:clang-19"
run still-broken-when-pinned 1 &&
  expect still-broken-when-pinned "$WORK/err" "could not install clang-19" &&
  installs_are still-broken-when-pinned 2

# The pin does not cure it: the twin pair goes in at the index's version, both architectures.
STUB_UPDATE=100 STUB_INSTALL="ok resolver resolver ok"
run twins-paired 0 && installs_are twins-paired 4 &&
  expect twins-paired "$WORK/log" "install .*--allow-downgrades wine32:i386 libfoo:i386=2.0 libfoo:amd64=2.0$"

# The i386 twins lag behind: everything else is installed, the run goes on and says what it lacks.
STUB_UPDATE=100 STUB_INSTALL="ok resolver broken:wine32:i386 resolver"
run without-32-bit-wine 0 && installs_are without-32-bit-wine 4 &&
  expect without-32-bit-wine "$WORK/err" "could not install wine32:i386" &&
  expect without-32-bit-wine "$WORK/err" "going on without wine32:i386"

if [ $failures -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "install-deps: all cases pass"
