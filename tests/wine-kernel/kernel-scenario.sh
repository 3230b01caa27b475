#!/usr/bin/env bash
# Runs one kernel scenario in a 64-bit Wine prefix of its own: starts a session whose kernel host
# (winedevice.exe) reports errors to a log, puts the driver images into system32\drivers (the
# INFs carry no CopyFiles for them), runs the scenario program, which stays alive for the whole
# scenario, ends the session, and fails when any process called a stub of Wine's.
#
#   kernel-scenario.sh --prefix DIR [--driver IMAGE.sys]... [--timeout S] -- PROGRAM [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
winebed=$here/../wine/winebed.sh
prefix="" timeout=240 drivers=()
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --driver) drivers+=("$2"); shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "kernel-scenario: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$prefix" ] && [ $# -gt 0 ] || { echo "usage: kernel-scenario.sh --prefix DIR ... -- PROGRAM" >&2; exit 2; }

bed() { "$winebed" --prefix "$prefix" "$@"; }
# Errors of every channel, so that a stub's "unimplemented function" is never hidden.
export WINEBED_WINEDEBUG=err+all,fixme-all
mkdir -p "$(dirname "$prefix")"
service_log=$prefix.services.log
export WINEBED_SERVICE_LOG=$service_log
: >"$service_log"
# A session left by a scenario cut short would keep the old log and drivers.
bed down
trap 'bed down' EXIT
bed up
# A stub call starts the debugger, whose crash dialog would wait for a click until the timeout.
bed run -- reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
drivers_dir=$prefix/drive_c/windows/system32/drivers
for image in "${drivers[@]}"; do cp "$image" "$drivers_dir/"; done

run_log=$prefix.run.log
rc=0
bed run --timeout "$timeout" -- "$@" >"$run_log" 2>&1 || rc=$?
bed down
trap - EXIT
cat "$run_log"
if grep -h "unimplemented function" "$run_log" "$service_log"; then
  echo "kernel-scenario: a stub of Wine's was called (see above)" >&2
  rc=1
fi
if [ -s "$service_log" ]; then
  echo "-- service processes' errors ($service_log):"
  grep -v '^\s*$' "$service_log" | head -40
fi
exit $rc
