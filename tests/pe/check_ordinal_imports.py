#!/usr/bin/env python3
"""Checks how a PE32 image binds the setup's two platform probes.

The administrator test must come from shell32.dll's import table by ordinal 680, the
product-state query from msi.dll's delay-import table by ordinal 112, neither by name, and
msi.dll must not be in the plain import table (a plain import is resolved from the program's
folder first).

usage: check_ordinal_imports.py IMAGE
"""
import sys

from peimage import Checks, PeImage


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    image = PeImage(sys.argv[1])
    plain = {dll.lower(): entries for dll, entries in image.plain_imports().items()}
    delay = image.delay_imports()
    for dll, entries in sorted(plain.items()):
        if dll in ("shell32.dll", "msi.dll"):
            print(f"#    import {dll}: {entries}")
    for dll, tables in sorted(delay.items()):
        print(f"#    delay import {dll}: {tables}")

    c = Checks()
    all_plain = [entry for entries in plain.values() for entry in entries]
    all_delay = [entry for tables in delay.values() for entries in tables for entry in entries]
    c.check((680, None) in plain.get("shell32.dll", []), "shell32.dll imported by ordinal 680")
    c.check(all((None, "IsUserAnAdmin") != entry for entry in all_plain + all_delay),
            "IsUserAnAdmin imported by name nowhere")
    c.check("msi.dll" not in plain, "msi.dll is not in the plain import table")
    c.check(len(delay.get("msi.dll", [])) == 1, "msi.dll has one delay-import descriptor")
    c.check(any((112, None) in entries for entries in delay.get("msi.dll", [])),
            "msi.dll delay-imported by ordinal 112")
    c.check(all((None, "MsiQueryProductStateA") != entry for entry in all_plain + all_delay),
            "MsiQueryProductStateA imported by name nowhere")
    return c.close()


if __name__ == "__main__":
    sys.exit(main())
