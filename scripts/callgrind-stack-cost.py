#!/usr/bin/env python3
"""Instructions per part of the kernel stack, from a callgrind profile.

Each function belongs to the part its file is in: the framework (kmdf/framework/), the driver
(driver/), the bus (usbbus/), the kernel (ntsim/: the I/O manager, IRPs, locks, pool), or other
(the C and C++ libraries, the machine and the bench). A part's own cost is its functions' own
instructions (inline header code compiled into them included). The driver's cost as the platform
would charge it adds what its calls cost outside the framework (kmdf/: the framework and its
inline call wrappers stand in for the platform's, whose cost is not the driver's), that is its
calls into the kernel and the C library. Prints, space-separated:
framework driver bus kernel other total driver-with-its-calls.

  callgrind-stack-cost.py PROFILE   (recorded with --compress-strings=no --compress-pos=no)
"""
import sys

PARTS = ("framework", "driver", "bus", "kernel", "other")


def part_of(path):
    if not path:
        return "other"
    if "/kmdf/framework/" in path:
        return "framework"
    if "/usbbus/" in path:
        return "bus"
    if "/ntsim/" in path:
        return "kernel"
    if "/driver/" in path and "/tests/" not in path and "/bench/" not in path:
        return "driver"
    return "other"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    fn_part = {}
    cost = dict.fromkeys(PARTS, 0)
    total = 0
    driver_calls = 0  # inclusive cost of the driver's calls that leave driver and framework
    fl = fn = cfi = cfn = None
    in_call = False
    with open(sys.argv[1]) as profile:
        for raw in profile:
            line = raw.rstrip("\n")
            if line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
                continue
            if line.startswith("fl="):
                fl = line[3:]
                continue
            if line.startswith("fn="):
                fn = line[3:]
                fn_part.setdefault(fn, part_of(fl))
                continue
            if line.startswith(("cfi=", "cfl=")):
                cfi = line[4:]
                continue
            if line.startswith("cfn="):
                cfn = line[4:]
                continue
            if line.startswith("calls="):
                in_call = True  # the next cost line is the call's inclusive cost
                continue
            if not line or not (line[0].isdigit() or line[0] in "+-*"):
                continue
            parts = line.split()
            if len(parts) < 2:
                continue
            if in_call:
                in_call = False
                # Without cfi= the callee lives in the caller's file.
                callee_file = cfi if cfi is not None else fl
                cfi = None
                caller = fn_part.get(fn, "other")
                callee = fn_part.get(cfn) or part_of(callee_file)
                if (caller == "driver" and callee != "driver" and
                        "/kmdf/" not in (callee_file or "")):
                    driver_calls += int(parts[1])
                continue
            cost[fn_part.get(fn, "other")] += int(parts[1])
    print(" ".join(str(cost[p]) for p in PARTS), total, cost["driver"] + driver_calls)


if __name__ == "__main__":
    main()
