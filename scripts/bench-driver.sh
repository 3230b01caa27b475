#!/usr/bin/env bash
# The driver's cost per request: allocations per vendor request and per interrupt read (goal 0),
# instructions of the driver's own routines per request counted with callgrind (goal <= 1,500 per
# vendor request), and that cost against the 125 us of the fastest high-speed control transfer
# (goal <= 1 %). The driver runs in the framework layer; the layer's own work stands in for the
# platform's framework and is not counted as the driver's.
#   scripts/bench-driver.sh   (the bench preset: build/bench, optimised with symbols)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
(cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench -j 2 >/dev/null)
bench=$build/bench/talvik_driver_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

field() { # field NAME LINE
  awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' <<<"$2"
}

# Driver instructions in a callgrind run of N requests of one kind.
profile() { # KIND N -> "driver total"
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.$1.$2" --compress-strings=no \
    --compress-pos=no "$bench" "--$1" "$2" >/dev/null 2>"$work/vg.$1.$2"
  python3 "$root/scripts/callgrind-driver-cost.py" "$work/cg.$1.$2"
}

N1=1000
N2=3000
NATIVE=50000
declare -A own total repeat alloc objects heap cpu
for kind in vendor read; do
  # Per request: the difference between two run lengths cancels loading and start-up.
  read -r d1 t1 < <(profile "$kind" $N1)
  read -r d2 t2 < <(profile "$kind" $N2)
  read -r d1b _ < <(profile "$kind" $N1)
  own[$kind]=$(( (d2 - d1) / (N2 - N1) ))
  total[$kind]=$(( (t2 - t1) / (N2 - N1) ))
  repeat[$kind]=$([ "$d1" = "$d1b" ] && echo "yes ($d1 = $d1b)" || echo "NO ($d1 vs $d1b)")
  line=$("$bench" "--$kind" $NATIVE)
  alloc[$kind]=$(awk -v p="$(field pool_allocations "$line")" -v n=$NATIVE 'BEGIN { printf "%g", p / n }')
  objects[$kind]=$(awk -v p="$(field allocating_calls "$line")" -v n=$NATIVE 'BEGIN { printf "%g", p / n }')
  cpu[$kind]=$(field cpu_seconds "$line")
  startup="$(field startup_pool_allocations "$line") pool allocations and $(field startup_allocating_calls "$line") allocating framework calls"
done

# The driver's code cannot reach a heap allocator if it imports none.
imports=$(nm -u "$build/driver/libtalvik2_driver.a" | awk '{ print $2 }' |
  grep -E '^(malloc|calloc|realloc|free|_Znwm|_Znam|_ZdlPv.*|_ZdaPv.*|operator new.*)$' || true)
heap=$([ -z "$imports" ] && echo "none" || echo "$imports")

# This machine's rate on this code: instructions per request over CPU time per request.
ips=$(awk -v i="${total[vendor]}" -v s="${cpu[vendor]}" -v n=$NATIVE 'BEGIN { printf "%.3g", i / (s / n) }')
share() { # INSTRUCTIONS RATE -> percent of 125 us
  awk -v i="$1" -v r="$2" 'BEGIN { printf "%.3f %%", 100 * (i / r) / 125e-6 }'
}

printf '== Driver bench: Talvik2 in the framework layer, per request after a warm-up\n'
printf '   vendor request: IN, 64-byte buffer, 12 bytes back; read: 64-byte buffer, 8-byte transfer\n'
printf '%-44s %16s %16s   %s\n' "" "vendor request" "interrupt read" "goal"
printf '%-44s %16s %16s   %s\n' "pool allocations" "${alloc[vendor]}" "${alloc[read]}" "0"
printf '%-44s %16s %16s   %s\n' "framework objects/memory made for the driver" "${objects[vendor]}" "${objects[read]}" "0"
printf '  (the counters saw %s at start-up)\n' "$startup"
printf '%-44s %33s   %s\n' "heap allocator the driver imports" "$heap" "none"
printf '%-44s %16s %16s   %s\n' "instructions, driver's own routines" "${own[vendor]}" "${own[read]}" "<= 1500 (vendor)"
printf '%-44s %16s %16s\n' "  repeatable (two callgrind runs agree)" "${repeat[vendor]%% *}" "${repeat[read]%% *}"
printf '%-44s %16s %16s   %s\n' "  with the framework layer's work (scale)" "${total[vendor]}" "${total[read]}" "-"
printf '%-44s %33s\n' "instructions per second, measured here" "$ips"
printf '%-44s %16s %16s   %s\n' "share of a 125 us control transfer" "$(share "${own[vendor]}" "$ips")" "$(share "${own[read]}" "$ips")" "<= 1 %"
printf '%-44s %16s %16s   %s\n' "  at a conservative 1e9 instructions/s" "$(share "${own[vendor]}" 1e9)" "$(share "${own[read]}" 1e9)" "<= 1 %"
