#!/usr/bin/env python3
"""Instructions spent in the driver's own code, from a callgrind profile.

A function is the driver's when it is defined in a file under driver/. Its own instructions count
(inline header code compiled into it included), and so do the calls it makes to anything that is
neither the driver nor the framework layer (the C library, say); calls into the framework layer
(files under kmdf/) do not, since the layer stands in for the platform's framework, whose cost
is not the driver's. Prints: driver instructions, total instructions of the profile.

  callgrind-driver-cost.py PROFILE   (recorded with --compress-strings=no --compress-pos=no)
"""
import sys


def is_driver(path):
    return "/driver/" in path


def is_framework(path):
    return "/kmdf/" in path


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    fn_file = {}   # function -> file it is defined in
    self_cost = {}  # function -> own instructions
    calls = []      # (caller, callee, callee file, inclusive instructions)
    total = 0
    fl = fn = cfi = cfn = None
    pending_call = False
    with open(sys.argv[1]) as profile:
        for raw in profile:
            line = raw.rstrip("\n")
            if line.startswith("summary:") or line.startswith("totals:"):
                total = int(line.split()[1])
                continue
            if line.startswith("fl="):
                fl = line[3:]
                continue
            if line.startswith("fn="):
                fn = line[3:]
                fn_file.setdefault(fn, fl)
                continue
            if line.startswith(("fi=", "fe=")):
                continue
            if line.startswith("cfi=") or line.startswith("cfl="):
                cfi = line[4:]
                continue
            if line.startswith("cfn="):
                cfn = line[4:]
                continue
            if line.startswith("calls="):
                pending_call = True
                continue
            if not line or not (line[0].isdigit() or line[0] in "+-*"):
                continue
            parts = line.split()
            if len(parts) < 2:
                continue
            cost = int(parts[1])
            if pending_call:
                # Without cfi= the callee lives in the caller's file.
                calls.append((fn, cfn, cfi if cfi is not None else fl, cost))
                pending_call = False
                cfi = None
            else:
                self_cost[fn] = self_cost.get(fn, 0) + cost
    driver_fns = {f for f, path in fn_file.items() if path and is_driver(path)}
    own = sum(self_cost.get(f, 0) for f in driver_fns)
    for caller, callee, callee_file, cost in calls:
        if caller not in driver_fns or callee in driver_fns:
            continue
        if callee_file and is_framework(callee_file):
            continue
        own += cost
    print(own, total)


if __name__ == "__main__":
    main()
