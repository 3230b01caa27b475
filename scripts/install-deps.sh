#!/usr/bin/env bash
# Installs every tool the build, the tests and the demo need on a fresh Debian machine.
# Idempotent: packages already present are left alone, so a second run costs a few seconds.
#
# A mirror in mid-sync can fail one index (i386 security lagging amd64) and then leave the
# resolver unable to pair amd64 libraries with their i386 twins. So a failed index does not end
# the run, a failed resolve is retried pinned to the distribution's own release and then with each
# twin pair named at the one version both architectures have, and the 32-bit Wine goes in on its
# own: without it the tests of 32-bit programs are skipped (they say so), which is better than no
# tests at all. Moving the twins may remove -dev packages held at the old versions; the build
# needs none of them.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 fonts-wine xvfb xauth x11-apps imagemagick
  fonts-ipafont-gothic msitools wixl
  libgtest-dev libgmock-dev googletest
  clang libclang-rt-14-dev valgrind python3
  clang-19 lld-19 python3-pefile # the driver image: MSVC-mode compile, lld-link, image checks
  locales # ja_JP sources for the Wine tests' private locale (localedef + LOCPATH)
)
packages_i386=(wine32:i386)

# Where the release is read from; a test points it elsewhere.
OS_RELEASE_FILE=${OS_RELEASE_FILE:-/etc/os-release}

say() { echo "install-deps: $*" >&2; }

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

release_codename() {
  local codename
  codename=$(. "$OS_RELEASE_FILE" && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { say "no VERSION_CODENAME in $OS_RELEASE_FILE"; return 1; }
  echo "$codename"
}

# apt's words for "the resolver could not find a consistent set", as opposed to a package that
# does not exist or a download that failed.
is_resolver_failure() {
  grep -qE 'held broken packages|Unable to correct problems|unmet dependencies|but it is not going to be installed|Resolve generated breaks' "$1"
}

# Names the package apt could not have, from its error lines; falls back to the list asked for.
failed_package() {
  local log=$1
  shift
  local name
  name=$(sed -nE \
    -e "s/^E: Unable to locate package (.*)$/\1/p" \
    -e "s/^E: Package '([^']+)' has no installation candidate.*/\1/p" \
    -e "s/^ *([^ ]+) : Depends: .*/\1/p" \
    -e "s|^E: Failed to fetch .*/([^/_]+)_[^/]*\.deb.*|\1|p" \
    "$log" | head -n 1)
  echo "${name:-$*}"
}

apt_install() {
  local log
  log=$(mktemp)
  if $SUDO apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  if is_resolver_failure "$log"; then
    local release
    release=$(release_codename)
    say "the resolver failed (mirror in mid-sync?); trying again pinned to '$release'"
    if $SUDO apt-get install -y -qq --no-install-recommends -t "$release" "$@" >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
  fi
  cat "$log" >&2
  say "could not install $(failed_package "$log" "$@")"
  rm -f "$log"
  return 1
}

# "pkg:i386=V" for every multi-arch library the i386 packages need, at the version the i386 index
# offers, and "pkg:amd64=V" for each installed amd64 twin at another version: a twin pair must
# match, and when the i386 security index failed, only the release's version exists for both.
twin_pins() {
  local p base version installed
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "$@" 2>/dev/null | grep -v '^ ' | grep ':i386$' | sort -u |
    while read -r p; do
      base=${p%:i386}
      apt-cache show "$p" 2>/dev/null | grep -qx 'Multi-Arch: same' || continue
      installed=$(dpkg-query -W -f='${Version}' "$base:amd64" 2>/dev/null) || continue
      [ -n "$installed" ] || continue
      version=$(apt-cache policy "$p" | awk '/Candidate:/ {print $2}')
      [ -n "$version" ] && [ "$version" != "(none)" ] || continue
      echo "$p=$version"
      [ "$installed" = "$version" ] || echo "$base:amd64=$version"
    done
}

install_i386() {
  apt_install "$@" && return 0
  local pins
  mapfile -t pins < <(twin_pins "$@")
  [ ${#pins[@]} -gt 0 ] || return 1
  say "pairing ${#pins[@]} amd64/i386 library versions and trying again"
  $SUDO apt-get install -y -qq --no-install-recommends --allow-downgrades "$@" "${pins[@]}"
}

main() {
  local missing missing_i386
  mapfile -t missing < <(missing_packages "${packages[@]}")
  mapfile -t missing_i386 < <(missing_packages "${packages_i386[@]}")
  [ ${#missing[@]} -eq 0 ] && [ ${#missing_i386[@]} -eq 0 ] && return 0

  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  if ! $SUDO apt-get update -qq; then
    say "some package indexes failed to download; going on with those that did"
  fi
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
  [ ${#missing_i386[@]} -eq 0 ] && return 0
  install_i386 "${missing_i386[@]}" ||
    say "going on without ${missing_i386[*]}: the tests of 32-bit programs under Wine will be skipped"
}

main "$@"
