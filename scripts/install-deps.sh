#!/usr/bin/env bash
# Installs every tool the build, the tests and the demo need on a fresh Debian machine.
# Idempotent: packages already present are left alone, so a second run costs a few seconds.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 fonts-wine xvfb xauth x11-apps imagemagick
  fonts-ipafont-gothic msitools wixl
  libgtest-dev libgmock-dev googletest
  clang libclang-rt-14-dev valgrind python3
  locales # ja_JP sources for the Wine tests' private locale (localedef + LOCPATH)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
