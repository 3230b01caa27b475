#!/usr/bin/env bash
# The driver's cost per request on the kernel stack: Talvik2 on the framework over the simulated
# kernel, each request from the I/O manager through the framework to the virtual bus. Figures:
# the driver's pool allocations per vendor request and per interrupt read (its tag; goal 0), the
# heap allocator it imports (goal none), the instructions of the driver's own routines per
# request with its calls into the kernel and the C library, counted with callgrind (goal <= 1,500
# per vendor request), that cost against the 125 us of the fastest high-speed control transfer
# (goal <= 1 %), the framework's own instructions per request, and the same requests through the
# tests' WDM driver (no framework) for scale. Per request: the difference of two run lengths, so
# that loading and start-up cancel.
#   scripts/bench-stack.sh   (the bench preset: build/bench, optimised with symbols)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
(cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j 2 >/dev/null)
talvik=$build/bench/talvik2_stack_bench
wdm=$build/bench/stack_bench_wdm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

field() { # field NAME LINE
  awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' <<<"$2"
}

N1=300
N2=900
NATIVE=20000
# profile BENCH KIND N -> "framework driver bus kernel other total driver_with_its_calls"
profile() {
  local out="$work/cg.$(basename "$1").$2.$3"
  valgrind --tool=callgrind --callgrind-out-file="$out" --compress-strings=no --compress-pos=no \
    "$1" "--$2" "$3" >/dev/null 2>"$work/vg.$(basename "$1").$2.$3"
  python3 "$root/scripts/callgrind-stack-cost.py" "$out"
}
per() { echo $(( ($2 - $1) / (N2 - N1) )); }

# A Talvik2 that cannot serve the requests has no figures; its findings say why.
if ! why=$("$talvik" --vendor 10 2>&1 >/dev/null); then
  echo "talvik2_stack_bench failed: $(head -c 300 <<<"$why")" >&2
  exit 1
fi

declare -A fw total rest wdm_total own bus repeat alloc cpu
for kind in vendor read; do
  read -r _ _ _ _ _ w1 _ < <(profile "$wdm" "$kind" $N1)
  read -r _ _ _ _ _ w2 _ < <(profile "$wdm" "$kind" $N2)
  wdm_total[$kind]=$(per "$w1" "$w2")
  read -r f1 d1 b1 _ _ t1 o1 < <(profile "$talvik" "$kind" $N1)
  read -r f2 d2 b2 _ _ t2 o2 < <(profile "$talvik" "$kind" $N2)
  read -r _ _ _ _ _ _ o1b < <(profile "$talvik" "$kind" $N1)
  fw[$kind]=$(per "$f1" "$f2")
  total[$kind]=$(per "$t1" "$t2")
  own[$kind]=$(per "$o1" "$o2")
  bus[$kind]=$(per "$b1" "$b2")
  rest[$kind]=$(( total[$kind] - $(per "$d1" "$d2") - bus[$kind] ))
  repeat[$kind]=$([ "$o1" = "$o1b" ] && echo "yes" || echo "NO ($o1 vs $o1b)")
  line=$("$talvik" "--$kind" $NATIVE)
  alloc[$kind]=$(awk -v p="$(field driver_pool_allocations "$line")" -v n=$NATIVE \
    'BEGIN { printf "%g", p / n }')
  cpu[$kind]=$(field cpu_seconds "$line")
  startup=$(field startup_driver_pool_allocations "$line")
done

# The driver's code cannot reach a heap allocator if it imports none.
imports=$(nm -u "$build/driver/libtalvik2_driver.a" | awk '{ print $2 }' |
  grep -E '^(malloc|calloc|realloc|free|_Znwm|_Znam|_ZdlPv.*|_ZdaPv.*|operator new.*)$' || true)
heap=$([ -z "$imports" ] && echo "none" || echo "$imports")

# This machine's rate on this code: the stack's instructions per request over its CPU time.
ips=$(awk -v i="${total[vendor]}" -v s="${cpu[vendor]}" -v n=$NATIVE \
  'BEGIN { printf "%.3g", i / (s / n) }')
share() { # INSTRUCTIONS RATE -> percent of 125 us
  awk -v i="$1" -v r="$2" 'BEGIN { printf "%.3f %%", 100 * (i / r) / 125e-6 }'
}

printf '\n== Driver bench: Talvik2 on the framework over the simulated kernel, per request after a\n'
printf '   warm-up, each through the I/O manager, the framework and the virtual bus\n'
printf '   vendor request: IN, 64-byte buffer, 12 bytes back; read: 64-byte buffer, 8-byte transfer\n'
printf '%-52s %16s %16s   %s\n' "" "vendor request" "interrupt read" "goal"
printf '%-52s %16s %16s   %s\n' "pool allocations by the driver (its tag)" "${alloc[vendor]}" "${alloc[read]}" "0"
printf '  (the counter saw %s of them during start-up and warm-up)\n' "$startup"
printf '%-52s %33s   %s\n' "heap allocator the driver imports" "$heap" "none"
printf '%-52s %16s %16s   %s\n' "instructions, driver's own routines and their calls" "${own[vendor]}" "${own[read]}" "<= 1500 (vendor)"
printf '%-52s %16s %16s\n' "  repeatable (two callgrind runs agree)" "${repeat[vendor]}" "${repeat[read]}"
printf '%-52s %16s %16s\n' "instructions, framework's own functions" "${fw[vendor]}" "${fw[read]}"
printf '%-52s %16s %16s\n' "  stack total less the driver's and the bus's own" "${rest[vendor]}" "${rest[read]}"
printf '%-52s %16s %16s\n' "  stack total (bench loop and machine included)" "${total[vendor]}" "${total[read]}"
printf '%-52s %16s %16s\n' "  bus's own" "${bus[vendor]}" "${bus[read]}"
printf '%-52s %16s %16s\n' "  same requests, tests' WDM driver, no framework" "${wdm_total[vendor]}" "${wdm_total[read]}"
printf '%-52s %33s\n' "instructions per second, measured here" "$ips"
printf '%-52s %16s %16s   %s\n' "driver's share of a 125 us control transfer" "$(share "${own[vendor]}" "$ips")" "$(share "${own[read]}" "$ips")" "<= 1 %"
printf '%-52s %16s %16s   %s\n' "  at a conservative 1e9 instructions/s" "$(share "${own[vendor]}" 1e9)" "$(share "${own[read]}" 1e9)" "<= 1 %"
