"""What the image checks read from a PE file: headers, plain and delay imports, sections,
resources. One reader (pefile) for all of them.

GNU ld leaves the delay-import data directory entry empty, so pefile does not see those
descriptors; they are found in the image itself.
"""
import struct
import subprocess

import pefile


class PeImage:
    def __init__(self, path):
        self.path = path
        self.pe = pefile.PE(path)
        self.size = len(self.pe.__data__)

    # Headers.
    def is_pe32(self):
        return self.pe.OPTIONAL_HEADER.Magic == 0x10B

    def machine(self):
        return self.pe.FILE_HEADER.Machine

    def subsystem(self):
        return self.pe.OPTIONAL_HEADER.Subsystem

    def subsystem_version(self):
        h = self.pe.OPTIONAL_HEADER
        return h.MajorSubsystemVersion, h.MinorSubsystemVersion

    def os_version(self):
        h = self.pe.OPTIONAL_HEADER
        return h.MajorOperatingSystemVersion, h.MinorOperatingSystemVersion

    # Imports: {dll (as written): [(ordinal, None) or (None, name)]}.
    def plain_imports(self):
        imports = {}
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode()
            imports.setdefault(dll, []).extend(
                (None, i.name.decode()) if i.name else (i.ordinal, None) for i in entry.imports)
        return imports

    def delay_imports(self):
        """{dll (lower case): [entries of each descriptor]}."""
        found = {}
        rva, _ = self._directory(13)
        if rva:
            at = self._offset(rva)
            while at is not None and self._delay_descriptor(at):
                dll, entries = self._delay_descriptor(at)
                found.setdefault(dll, []).append(entries)
                at += 32
            return found
        for s in self.pe.sections:
            raw, raw_size = s.PointerToRawData, s.SizeOfRawData
            for at in range(raw, raw + raw_size - 31, 4):
                descriptor = self._delay_descriptor(at)
                if descriptor:
                    found.setdefault(descriptor[0], []).append(descriptor[1])
        return found

    # Sections.
    def section_named(self, name):
        for s in self.pe.sections:
            if s.Name.rstrip(b"\0").decode() == name:
                return s
        return None

    def section_at(self, rva):
        """Name of the section holding `rva`, or None."""
        for s in self.pe.sections:
            if s.VirtualAddress <= rva < s.VirtualAddress + s.Misc_VirtualSize:
                return s.Name.rstrip(b"\0").decode()
        return None

    # Resources, as a resource compiler script (windres decompiles every kind of them).
    def resources_rc(self, windres="i686-w64-mingw32-windres"):
        return subprocess.run([windres, "-i", self.path, "-O", "rc"], capture_output=True,
                              text=True).stdout

    def _directory(self, index):
        dirs = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY
        return (dirs[index].VirtualAddress, dirs[index].Size) if len(dirs) > index else (0, 0)

    def _offset(self, rva):
        for s in self.pe.sections:
            va, raw, raw_size = s.VirtualAddress, s.PointerToRawData, s.SizeOfRawData
            if va <= rva < va + max(s.Misc_VirtualSize, raw_size) and rva - va < raw_size:
                return raw + rva - va
        return None

    def _dword(self, rva):
        at = self._offset(rva)
        return None if at is None else struct.unpack_from("<I", self.pe.__data__, at)[0]

    def _text(self, rva, limit=260):
        at = self._offset(rva)
        if at is None:
            return None
        data = self.pe.__data__
        end = data.find(b"\0", at, at + limit)
        if end < 0:
            return None
        try:
            return bytes(data[at:end]).decode("ascii")
        except UnicodeDecodeError:
            return None

    def _thunks(self, rva):
        """Entries of a 32-bit name table, or None when unreadable."""
        entries = []
        for i in range(4096):
            value = self._dword(rva + 4 * i)
            if value is None:
                return None
            if value == 0:
                return entries
            if value & 0x80000000:
                entries.append((value & 0xFFFF, None))
            else:
                name = self._text(value + 2)
                if name is None:
                    return None
                entries.append((None, name))
        return None

    def _delay_descriptor(self, at):
        """(dll, entries) when the 32 bytes at file offset `at` are a delay-import descriptor
        with RVAs (attribute 1) and readable tables, else None."""
        data = self.pe.__data__
        if at + 32 > len(data):
            return None
        attrs, name, module, iat, names, bound, unload, stamp = struct.unpack_from(
            "<8I", data, at)
        if attrs != 1 or stamp != 0 or 0 in (name, module, iat, names):
            return None
        size_of_image = self.pe.OPTIONAL_HEADER.SizeOfImage
        if any(rva >= size_of_image for rva in (name, module, iat, names)):
            return None
        dll = self._text(name, 64)
        if not dll or not dll.lower().endswith(".dll"):
            return None
        entries = self._thunks(names)
        if not entries:
            return None
        return dll.lower(), entries


class Checks:
    """Prints one "ok"/"FAIL" line per assertion and the closing count."""

    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if ok:
            self.passed += 1
        else:
            self.failed.append(what)

    def close(self):
        print(f"{self.passed} passed, {len(self.failed)} failed")
        return 1 if self.failed else 0
