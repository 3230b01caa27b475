#!/usr/bin/env bash
# The framework's cost per request on the kernel stack: Talvik2 on the framework over the
# simulated kernel, each request from the I/O manager through the framework to the virtual bus.
# Counted with callgrind per request (the difference of two run lengths): the framework's own
# instructions, the stack's total less the driver's and the bus's own, and the same requests
# through the tests' WDM driver (no framework) for scale.
#   scripts/bench-stack.sh   (the bench preset: build/bench, optimised with symbols)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
(cd "$root" && cmake --preset bench >/dev/null)
targets=$(cmake --build "$build" --target help | awk -F: '{ print $1 }')
benches=(stack_bench_wdm)
grep -qx talvik2_stack_bench <<<"$targets" && benches+=(talvik2_stack_bench)
cmake --build "$build" -j 2 --target "${benches[@]}" >/dev/null
# A Talvik2 that cannot serve the requests has no figures (its findings say why).
status="Talvik2 does not run on the framework over the kernel in this tree yet"
if [ "${#benches[@]}" = 2 ]; then
  if why=$("$build/bench/talvik2_stack_bench" --vendor 10 2>&1 >/dev/null); then
    status=""
  else
    status="talvik2_stack_bench failed: $(head -c 300 <<<"$why")"
    benches=(stack_bench_wdm)
  fi
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

N1=300
N2=900
# profile BENCH KIND N -> "framework driver bus kernel other total driver_own"
profile() {
  local out="$work/cg.$1.$2.$3"
  valgrind --tool=callgrind --callgrind-out-file="$out" --compress-strings=no --compress-pos=no \
    "$build/bench/$1" "--$2" "$3" >/dev/null 2>"$work/vg.$1.$2.$3"
  echo "$(python3 "$root/scripts/callgrind-stack-cost.py" "$out")" \
    "$(python3 "$root/scripts/callgrind-driver-cost.py" "$out" | awk '{ print $1 }')"
}
per() { echo $(( ($2 - $1) / (N2 - N1) )); }

declare -A fw total rest wdm drv bus
for kind in vendor read; do
  read -r _ _ _ _ _ w1 _ < <(profile stack_bench_wdm "$kind" $N1)
  read -r _ _ _ _ _ w2 _ < <(profile stack_bench_wdm "$kind" $N2)
  wdm[$kind]=$(per "$w1" "$w2")
  if [[ " ${benches[*]} " == *" talvik2_stack_bench "* ]]; then
    read -r f1 _ b1 _ _ t1 d1 < <(profile talvik2_stack_bench "$kind" $N1)
    read -r f2 _ b2 _ _ t2 d2 < <(profile talvik2_stack_bench "$kind" $N2)
    fw[$kind]=$(per "$f1" "$f2")
    total[$kind]=$(per "$t1" "$t2")
    drv[$kind]=$(per "$d1" "$d2")
    bus[$kind]=$(per "$b1" "$b2")
    rest[$kind]=$(( total[$kind] - drv[$kind] - bus[$kind] ))
  else
    fw[$kind]="-"; total[$kind]="-"; rest[$kind]="-"; drv[$kind]="-"; bus[$kind]="-"
  fi
done

printf '\n== Stack bench: the requests of the driver bench through the I/O manager, the framework\n'
printf '   and the virtual bus of the simulated kernel (instructions per request, callgrind)\n'
printf '%-52s %16s %16s\n' "" "vendor request" "interrupt read"
[ -z "$status" ] || printf '   (%s)\n' "$status"
printf '%-52s %16s %16s\n' "framework's own functions" "${fw[vendor]}" "${fw[read]}"
printf '%-52s %16s %16s\n' "stack total less the driver's and the bus's own" "${rest[vendor]}" "${rest[read]}"
printf '%-52s %16s %16s\n' "  stack total (bench loop and machine included)" "${total[vendor]}" "${total[read]}"
printf '%-52s %16s %16s\n' "  driver's own (as the driver bench counts it)" "${drv[vendor]}" "${drv[read]}"
printf '%-52s %16s %16s\n' "  bus's own" "${bus[vendor]}" "${bus[read]}"
printf '%-52s %16s %16s\n' "same requests, tests' WDM driver, no framework" "${wdm[vendor]}" "${wdm[read]}"
