#!/usr/bin/env bash
# Runs one kernel scenario in a 64-bit Wine prefix of its own: puts the driver images into
# system32\drivers (the INFs carry no CopyFiles for them), starts a session whose kernel host
# (winedevice.exe) reports errors to a log, runs the scenario program, which stays alive for the
# whole scenario, ends the session, and fails when any process called a stub of Wine's or crashed.
#
#   kernel-scenario.sh --prefix DIR [--driver IMAGE.sys]... [--timeout S] [--debug CHANNELS|--quiet]
#                      [--fail-on TEXT]... [--last TEXT REGEX]... [--needs PROGRAM]...
#                      -- PROGRAM [ARGS...]
#
# --debug adds Wine debug channels (e.g. warn+debugstr, where a driver's DbgPrint goes); --fail-on
# fails the scenario when a service process wrote that text (e.g. a verifier's finding); --last
# fails it unless the last line a service process wrote with TEXT in it matches REGEX (e.g. the
# framework's report of what is live after the last device's removal). --needs names a program
# the scenario starts (a 32-bit one, say): a host that cannot run it skips the scenario (exit
# 77). --quiet turns every debug channel off, for benches: a kernel stub that returns then goes
# unseen (one that aborts still fails the run), and no debug line costs time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
winebed=$here/../wine/winebed.sh
prefix="" timeout=240 drivers=() debug="" quiet=0 fail_on=() last_text=() last_regex=() needs=()
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --driver) drivers+=("$2"); shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --debug) debug=,$2; shift 2 ;;
    --quiet) quiet=1; shift ;;
    --fail-on) fail_on+=("$2"); shift 2 ;;
    --last) last_text+=("$2"); last_regex+=("$3"); shift 3 ;;
    --needs) needs+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "kernel-scenario: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$prefix" ] && [ $# -gt 0 ] || { echo "usage: kernel-scenario.sh --prefix DIR ... -- PROGRAM" >&2; exit 2; }

bed() { "$winebed" --prefix "$prefix" "$@"; }
for program in "${needs[@]}"; do
  "$winebed" can-run "$program" || exit $?
done

# Puts the driver images into system32\drivers, each as a new file renamed over the old one. A
# session's kernel host may have the old image mapped (a driver installed earlier is loaded when
# the session starts), and rewriting that file in place truncates it, which makes Linux drop the
# mapping's private pages too: the image's filled import slots revert to the file's hint/name
# offsets, and its next import call jumps to one. Fails when the prefix has no such folder yet.
install_drivers() {
  local dir=$prefix/drive_c/windows/system32/drivers image name
  [ -d "$dir" ] || return 1
  for image in "${drivers[@]}"; do
    name=$(basename "$image")
    cp "$image" "$dir/.$name.new"
    mv -f "$dir/.$name.new" "$dir/$name"
  done
}

# Errors of every channel, so that a stub's "unimplemented function" is never hidden (more channels
# with KERNEL_SCENARIO_WINEDEBUG, when a scenario needs looking into). The kernel's own stubs that
# return (e.g. KeInsertQueueDpc, whose DPC then never runs) only say so on the fixme channel of
# ntoskrnl (hal's share it) and usbd: those stay on whatever else is chosen.
kernel_stub_channels=fixme+ntoskrnl,fixme+usbd
export WINEBED_WINEDEBUG=${KERNEL_SCENARIO_WINEDEBUG:-err+all,fixme-all},$kernel_stub_channels$debug
[ $quiet = 0 ] || WINEBED_WINEDEBUG=-all
mkdir -p "$(dirname "$prefix")"
service_log=$prefix.services.log
export WINEBED_SERVICE_LOG=$service_log
: >"$service_log"
# A session left by a scenario cut short would keep the old log and drivers.
bed down
trap 'bed down' EXIT
# Before the session starts, so that it loads these images for the devices installed earlier; a
# new prefix gets them once it exists (nothing in it can have loaded them yet).
installed=0
install_drivers && installed=1
bed up
# A stub call starts the debugger, whose crash dialog would wait for a click until the timeout.
bed run -- reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
[ $installed = 1 ] || install_drivers

run_log=$prefix.run.log
rc=0
bed run --timeout "$timeout" -- "$@" >"$run_log" 2>&1 || rc=$?
bed down
trap - EXIT
cat "$run_log"
# A stub without an implementation aborts its process ("wine: Call from … to unimplemented
# function ntoskrnl.exe.X, aborting"); one that returns prints "<tid>:fixme:ntoskrnl:X stub: …"
# ("… stub!", "… semi-stub", "partial stub"): the driver then goes on with a result Wine made up.
# None is accepted: the framework's image does the work of the few it needs (FxKernelImage.cpp).
kernel_stub='^[0-9a-f]*:fixme:(ntoskrnl|usbd):[A-Za-z0-9_]+ .*stub'
stub_calls=$({
  grep -h "unimplemented function" "$run_log" "$service_log"
  grep -hE "$kernel_stub" "$run_log" "$service_log"
} || true)
if [ -n "$stub_calls" ]; then
  while IFS= read -r line; do
    echo "kernel-scenario: stub call: $line"
  done <<<"$stub_calls" >&2
  echo "kernel-scenario: a stub of Wine's was called (see above)" >&2
  rc=1
fi
# A driver's fault ends the kernel host (and every driver in it) even when the program's checks
# happened to be done by then.
if grep -h "^wine: Unhandled" "$run_log" "$service_log"; then
  echo "kernel-scenario: a process crashed (see above)" >&2
  rc=1
fi
for text in "${fail_on[@]}"; do
  if grep -hF -- "$text" "$service_log"; then
    echo "kernel-scenario: a service process reported \"$text\" (see above)" >&2
    rc=1
  fi
done
for i in "${!last_text[@]}"; do
  line=$(grep -hF -- "${last_text[$i]}" "$service_log" | tail -1 || true)
  if ! grep -qE -- "${last_regex[$i]}" <<<"$line"; then
    echo "kernel-scenario: the last \"${last_text[$i]}\" line does not match ${last_regex[$i]}: ${line:-none}" >&2
    rc=1
  else
    echo "kernel-scenario: last \"${last_text[$i]}\" line: ${line#*: }"
  fi
done
if [ -s "$service_log" ]; then
  echo "-- service processes' errors ($service_log):"
  grep -v '^\s*$' "$service_log" | head -40 || true
fi
exit $rc
