#!/usr/bin/env python3
"""Checks how a PE32 image binds the setup's two platform probes.

The administrator test must come from shell32.dll's import table by ordinal 680, the
product-state query from msi.dll's delay-import table by ordinal 112, neither by name, and
msi.dll must not be in the plain import table (a plain import is resolved from the program's
folder first). The plain import table is read from `objdump -p`; objdump does not show delay
imports, and GNU ld leaves their data directory entry empty, so their descriptors are found in
the image itself.

usage: check_ordinal_imports.py IMAGE [OBJDUMP]
"""
import re
import struct
import subprocess
import sys


def plain_imports(objdump, path):
    """{dll (lower case): [(ordinal or None, name or None)]} from objdump's import tables."""
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          text=True).stdout
    imports, dll = {}, None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            imports.setdefault(dll, [])
            continue
        if dll is None:
            continue
        if not line.strip():
            if imports[dll]:
                dll = None
            continue
        m = re.match(r"\s*([0-9a-f]+)\s+(\d+)\s+(\S+)", line)
        if m:
            ordinal_flag = int(m.group(1), 16) & 0x80000000
            if ordinal_flag:
                imports[dll].append((int(m.group(2)), None))
            else:
                imports[dll].append((None, m.group(3)))
    return imports


class Image:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        sections, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", self.data, optional)[0] != 0x10B:
            raise ValueError("not PE32")
        self.size_of_image = struct.unpack_from("<I", self.data, optional + 56)[0]
        self.directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * i)
                            for i in range(struct.unpack_from("<I", self.data, optional + 92)[0])]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", self.data, at + 8)
            self.sections.append((va, max(vsize, raw_size), raw, raw_size))

    def offset(self, rva):
        for va, size, raw, raw_size in self.sections:
            if va <= rva < va + size and rva - va < raw_size:
                return raw + rva - va
        return None

    def dword(self, rva):
        at = self.offset(rva)
        return None if at is None else struct.unpack_from("<I", self.data, at)[0]

    def text(self, rva, limit=260):
        at = self.offset(rva)
        if at is None:
            return None
        end = self.data.find(b"\0", at, at + limit)
        if end < 0:
            return None
        try:
            return self.data[at:end].decode("ascii")
        except UnicodeDecodeError:
            return None

    def thunks(self, rva):
        """Entries of a name table: (ordinal, None) or (None, name); None when unreadable."""
        entries = []
        for i in range(4096):
            value = self.dword(rva + 4 * i)
            if value is None:
                return None
            if value == 0:
                return entries
            if value & 0x80000000:
                entries.append((value & 0xFFFF, None))
            else:
                name = self.text(value + 2)
                if name is None:
                    return None
                entries.append((None, name))
        return None

    def delay_descriptor(self, at):
        """(dll, entries) when the 32 bytes at file offset `at` are a delay-import descriptor
        with RVAs (attribute 1) and readable tables, else None."""
        if at + 32 > len(self.data):
            return None
        attrs, name, module, iat, names, bound, unload, stamp = struct.unpack_from(
            "<8I", self.data, at)
        if attrs != 1 or stamp != 0 or 0 in (name, module, iat, names):
            return None
        if any(rva >= self.size_of_image for rva in (name, module, iat, names)):
            return None
        dll = self.text(name, 64)
        if not dll or not dll.lower().endswith(".dll"):
            return None
        entries = self.thunks(names)
        if not entries:
            return None
        return dll.lower(), entries

    def delay_imports(self):
        found = {}
        rva, size = self.directories[13] if len(self.directories) > 13 else (0, 0)
        if rva:
            at = self.offset(rva)
            while at is not None and self.delay_descriptor(at):
                dll, entries = self.delay_descriptor(at)
                found.setdefault(dll, []).append(entries)
                at += 32
            return found
        for va, vsize, raw, raw_size in self.sections:
            for at in range(raw, raw + raw_size - 31, 4):
                descriptor = self.delay_descriptor(at)
                if descriptor:
                    found.setdefault(descriptor[0], []).append(descriptor[1])
        return found


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    path = sys.argv[1]
    objdump = sys.argv[2] if len(sys.argv) > 2 else "i686-w64-mingw32-objdump"
    plain = plain_imports(objdump, path)
    delay = Image(path).delay_imports()
    for dll, entries in sorted(plain.items()):
        if dll in ("shell32.dll", "msi.dll"):
            print(f"#    import {dll}: {entries}")
    for dll, tables in sorted(delay.items()):
        print(f"#    delay import {dll}: {tables}")

    failed = 0

    def check(ok, what):
        nonlocal failed
        print(("ok   " if ok else "FAIL ") + what)
        failed += 0 if ok else 1

    all_plain = [entry for entries in plain.values() for entry in entries]
    all_delay = [entry for tables in delay.values() for entries in tables for entry in entries]
    check((680, None) in plain.get("shell32.dll", []), "shell32.dll imported by ordinal 680")
    check(all((None, "IsUserAnAdmin") != entry for entry in all_plain + all_delay),
          "IsUserAnAdmin imported by name nowhere")
    check("msi.dll" not in plain, "msi.dll is not in the plain import table")
    check(len(delay.get("msi.dll", [])) == 1, "msi.dll has one delay-import descriptor")
    check(any((112, None) in entries for entries in delay.get("msi.dll", [])),
          "msi.dll delay-imported by ordinal 112")
    check(all((None, "MsiQueryProductStateA") != entry for entry in all_plain + all_delay),
          "MsiQueryProductStateA imported by name nowhere")
    print(f"{6 - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
