#!/usr/bin/env python3
"""Writes the .def of a kernel image's imports: every routine its objects call and none of them
defines, all from ntoskrnl.exe (the kernel host's check then holds each against what it really
implements). Fails on a C++ routine no object defines.

    kernel_import_def.py --nm LLVM_NM --out FILE.def OBJECT...
"""
import argparse
import subprocess
import sys


def symbols(nm, objects):
    """(defined, undefined) external names over all the objects, __imp_ prefixes dropped."""
    defined, undefined = set(), set()
    out = subprocess.run([nm, "--extern-only", *objects], check=True, capture_output=True,
                         text=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 2 or line.endswith(":"):
            continue
        name, kind = fields[-1], fields[-2]
        if name.startswith("__imp_"):
            name = name[len("__imp_"):]
        (undefined if kind == "U" else defined).add(name)
    return defined, undefined - defined


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()
    _, imports = symbols(args.nm, args.objects)
    # A C++ name is one of the image's own routines that no object defines: a link error, not
    # an import (the kernel exports C names only).
    missing = sorted(name for name in imports if name.startswith("?"))
    if missing:
        print("kernel_import_def: defined by no object: " + " ".join(missing), file=sys.stderr)
        return 1
    with open(args.out, "w") as out:
        out.write("LIBRARY ntoskrnl.exe\nEXPORTS\n")
        for name in sorted(imports):
            out.write(f"    {name}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
