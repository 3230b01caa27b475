#!/usr/bin/env bash
# Runs a libFuzzer target for a bounded time on its corpus in the build tree and prints how many
# inputs it executed. Usage: run-fuzzer.sh FUZZER SECONDS [DICTIONARY]
set -euo pipefail
fuzzer=$1
seconds=$2
dict=()
[ $# -ge 3 ] && dict=(-dict="$3")
corpus="$(dirname "$fuzzer")/corpus-$(basename "$fuzzer")"
artifacts="$(dirname "$fuzzer")/artifacts-$(basename "$fuzzer")/"
mkdir -p "$corpus" "$artifacts"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# A smaller quarantine keeps memory flat over long runs; use-after-free is still caught.
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32} \
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
  "${dict[@]}" -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1 || status=$?
grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|^Done' "$log" || true
echo "corpus: $(find "$corpus" -type f | wc -l) inputs"
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "fuzzer failed (status $status); crashing inputs in $artifacts"
fi
exit "$status"
