#!/usr/bin/env python3
"""Checks that an image (a driver, or a program) imports only routines Wine really implements:
each import, plain or delayed, by name or by ordinal, must be exported by Wine's builtin of that
name, not be one of the stubs winebuild generates (calling one aborts the process; in the kernel
host, every driver in it), and, when forwarded, resolve the same way where it is forwarded to.

    check_wine_imports.py [--with OURS]... IMAGE...
    check_wine_imports.py --names DLL ROUTINE...    check the named routines instead

--with names an image of the test bed's own that the host loads beside the checked one (the
framework's WDFLDR.SYS for a KMDF driver): its exports count as the host's, under its file name.

Prints "ok", "STUB" or "MISSING" per routine; exits 1 when any is not ok, 2 on bad use.
Wine's builtins are read from $WINE_DLLS (the 64-bit ones by default).
"""
import os
import sys

from peimage import PeImage

WINE_DLLS = os.environ.get("WINE_DLLS", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
# A forwarder chain longer than this is taken as a loop.
MAX_FORWARDS = 8


class WineDll:
    """A builtin's exports by name and by ordinal, and which of them are stubs: an export whose
    address is that of a __wine_stub_* routine."""

    def __init__(self, path):
        image = PeImage(path)
        stubs = {rva for name, rva in image.symbols() if name.startswith("__wine_stub_")}
        self.by_name, self.by_ordinal = {}, {}
        for export in image.exports():
            entry = (export, export.forwarder is None and export.rva in stubs)
            self.by_ordinal[export.ordinal] = entry
            if export.name:
                self.by_name[export.name] = entry


class Wine:
    def __init__(self, folder):
        self.folder = folder
        self.dlls = {}

    def dll(self, name):
        """The builtin of that name (".dll" added when it has no extension), None when Wine has
        none."""
        name = name.lower()
        if "." not in name:
            name += ".dll"
        if name not in self.dlls:
            path = os.path.join(self.folder, name)
            self.dlls[name] = WineDll(path) if os.path.isfile(path) else None
        return self.dlls[name]

    def resolve(self, dll, routine):
        """"ok", "STUB" or "MISSING" for a routine (a name, or an int ordinal), following
        forwarders; with the "dll!routine" where it ended up when that is elsewhere."""
        where = []
        for _ in range(MAX_FORWARDS):
            found = self.dll(dll)
            table = None if found is None else (
                found.by_ordinal if isinstance(routine, int) else found.by_name)
            entry = None if table is None else table.get(routine)
            if entry is None:
                return "MISSING", where
            export, stub = entry
            if stub:
                return "STUB", where
            if export.forwarder is None:
                return "ok", where
            dll, _, target = export.forwarder.rpartition(".")
            routine = int(target[1:]) if target.startswith("#") else target
            where.append(f"{dll.lower()}!{target}")
        return "MISSING", where


def imports_of(image):
    """(dll, routine) of the plain and the delay imports; an ordinal import as an int."""
    tables = [(dll, entries) for dll, entries in image.plain_imports().items()]
    tables += [(dll, entries) for dll, descriptors in image.delay_imports().items()
               for entries in descriptors]
    return [(dll.lower(), name if name is not None else ordinal)
            for dll, entries in tables for ordinal, name in entries]


def report(wine, dll, routine):
    verdict, where = wine.resolve(dll, routine)
    shown = routine if isinstance(routine, str) else f"#{routine}"
    via = f" (forwarded to {' -> '.join(where)})" if where else ""
    print(f"{verdict:<4} {dll}!{shown}{via}")
    return verdict == "ok"


def main(args):
    wine = Wine(WINE_DLLS)
    while args[:1] == ["--with"] and len(args) >= 2:
        if not os.path.isfile(args[1]):
            print(f"no such image: {args[1]}", file=sys.stderr)
            return 2
        wine.dlls[os.path.basename(args[1]).lower()] = WineDll(args[1])
        args = args[2:]
    if args[:1] == ["--names"]:
        if len(args) < 3:
            print(__doc__, file=sys.stderr)
            return 2
        checked = [(args[1].lower(), routine) for routine in args[2:]]
    else:
        if not args:
            print(__doc__, file=sys.stderr)
            return 2
        checked = []
        for path in args:
            if not os.path.isfile(path):
                print(f"no such image: {path}", file=sys.stderr)
                return 2
            found = imports_of(PeImage(path))
            if not found:
                print(f"no imports found in {path}", file=sys.stderr)
                return 2
            checked += found
    results = [report(wine, dll, routine) for dll, routine in checked]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
