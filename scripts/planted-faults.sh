#!/usr/bin/env bash
# The driver's tests on the kernel stack against faults planted in the driver: each plant is one
# small change to a scratch copy of the sources (the working tree's files, edits included), the
# stack tests are built there and must fail. The working tree itself is never changed. Run by
# hand, not from make test:
#   scripts/planted-faults.sh            every plant
#   scripts/planted-faults.sh NAME...    only those (see the list below)
# The scratch copy and its build stay in build/planted (later runs rebuild only what changed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$root/build/planted/src
build=$scratch/build/native

# name|file under driver/|perl substitution (over the whole file)
plants=(
  'd0exit-no-target-stop|Device.cpp|s/WdfIoTargetStop\(WdfUsbTargetPipeGetIoTarget\(pDeviceContext->InterruptPipe\),\s*WdfIoTargetCancelSentIo\);/(VOID)pDeviceContext;/'
  'urb-not-zeroed|Ioctl.cpp|s/\n\s*RtlZeroMemory\(urb, TALVIK_URB_SIZE\);//'
  'no-short-transfer-ok|Ioctl.cpp|s/transferFlags = USBD_SHORT_TRANSFER_OK;/transferFlags = 0;/; s/USBD_TRANSFER_DIRECTION_IN \| USBD_SHORT_TRANSFER_OK;/USBD_TRANSFER_DIRECTION_IN;/'
  'urb-length-200|Ioctl.cpp|s/\(USHORT\)sizeof\(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST\),/(USHORT)200,/'
  'read-routine-kept-after-failed-send|Ioctl.cpp|s/\n\s*WdfRequestSetCompletionRoutine\(Request, NULL, NULL\);//'
  'vendor-routine-kept-after-failed-send|Ioctl.cpp|$n = 0; s/(\n\s*WdfRequestSetCompletionRoutine\(Request, NULL, NULL\);)/++$n == 2 ? "" : $1/ge'
  'failed-read-zero-bytes|Ioctl.cpp|s/WdfRequestCompleteWithInformation\(Request, status, bytesRead\);/WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? bytesRead : 0);/'
  'paged-pool-urb|Device.cpp|s/ExAllocatePoolWithTag\(NonPagedPool, TALVIK_URB_SIZE/ExAllocatePoolWithTag(PagedPool, TALVIK_URB_SIZE/'
  'direct-io|Driver.cpp|s/WdfDeviceInitSetIoType\(DeviceInit, WdfDeviceIoBuffered\);/WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);/'
  'neither-io|Driver.cpp|s/WdfDeviceInitSetIoType\(DeviceInit, WdfDeviceIoBuffered\);/WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoNeither);/'
  'caps-not-removable|Driver.cpp|s/(pnpCaps.SurpriseRemovalOK = WdfTrue;)/$1 pnpCaps.Removable = WdfFalse;/'
  'caps-unique-id|Driver.cpp|s/(pnpCaps.SurpriseRemovalOK = WdfTrue;)/$1 pnpCaps.UniqueID = WdfTrue;/'
  'caps-lock-supported|Driver.cpp|s/(pnpCaps.SurpriseRemovalOK = WdfTrue;)/$1 pnpCaps.LockSupported = WdfTrue;/'
  'caps-ui-number|Driver.cpp|s/(pnpCaps.SurpriseRemovalOK = WdfTrue;)/$1 pnpCaps.UINumber = 7;/'
)
tests=(driver_stack_tests driver_stack_trace_tests)

wanted=("$@")
selected() {
  [ "${#wanted[@]}" = 0 ] && return 0
  local w
  for w in "${wanted[@]}"; do [ "$w" = "$1" ] && return 0; done
  return 1
}

# The scratch copy: tracked and new files as they are in the working tree.
mkdir -p "$scratch"
(cd "$root" && git ls-files -z --cached --others --exclude-standard) |
  (cd "$root" && xargs -0 cp --parents -p -t "$scratch" 2>/dev/null || true)
(cd "$scratch" && cmake --preset native >/dev/null)

build_and_run() {
  cmake --build "$build" -j 2 --target "${tests[@]}" >"$log" 2>&1 || return 2
  local t
  for t in "${tests[@]}"; do
    timeout 600 "$build/tests/driver/stack/$t" >>"$log" 2>&1 || return 1
  done
  return 0
}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$SECONDS
echo "the unchanged driver:"
if ! build_and_run; then
  echo "  the stack tests fail without a plant; nothing to compare (log: build/planted/clean.log)"
  cp "$log" "$root/build/planted/clean.log"
  exit 1
fi
echo "  passes ($((SECONDS - start)) s)"

caught=0
missed=()
for plant in "${plants[@]}"; do
  IFS='|' read -r name file expression <<<"$plant"
  selected "$name" || continue
  target=$scratch/driver/$file
  cp "$root/driver/$file" "$target"
  perl -0pi -e "$expression" "$target"
  t0=$SECONDS
  if cmp -s "$root/driver/$file" "$target"; then
    echo "$name: the plant no longer applies to driver/$file"
    missed+=("$name")
    continue
  fi
  set +e
  build_and_run
  result=$?
  set -e
  cp "$root/driver/$file" "$target"
  case $result in
  1)
    failed=$(grep -E '^\[  FAILED  \] [A-Za-z0-9_]+\.[A-Za-z0-9_]+( |$)' "$log" |
      sed -E 's/^\[  FAILED  \] ([^ ]+).*/\1/' | sort -u | tr '\n' ' ')
    echo "$name: caught ($((SECONDS - t0)) s) by ${failed:-a crash or a timeout}"
    caught=$((caught + 1))
    ;;
  0)
    echo "$name: NOT caught ($((SECONDS - t0)) s)"
    missed+=("$name")
    ;;
  *)
    echo "$name: does not build ($((SECONDS - t0)) s):"
    grep -m 3 -E 'error' "$log" | sed 's/^/  /'
    missed+=("$name")
    ;;
  esac
done
# Leave the scratch build as the unchanged driver's.
cmake --build "$build" -j 2 --target "${tests[@]}" >/dev/null 2>&1 || true
echo "$caught caught, ${#missed[@]} not${missed:+: ${missed[*]}} ($((SECONDS - start)) s)"
[ "${#missed[@]}" = 0 ]
