"""What the image checks read from a PE file: headers, plain and delay imports, exports, the
COFF symbol table, sections, resources. One reader (pefile) for all of them.

GNU ld leaves the delay-import data directory entry empty, so pefile does not see those
descriptors; they are found in the image itself.
"""
import collections
import struct
import subprocess

import pefile

Export = collections.namedtuple("Export", "ordinal name rva forwarder")


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

    # Imports: {dll (as written): [(ordinal, None) or (None, name)]}. pefile names some
    # ordinal imports from a table of its own (ws2_32's, oleaut32's); the image has no name.
    def plain_imports(self):
        imports = {}
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode()
            imports.setdefault(dll, []).extend(
                (i.ordinal, None) if i.import_by_ordinal or not i.name else (None, i.name.decode())
                for i in entry.imports)
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

    # Exports: [Export] with name None for ordinal-only ones, forwarder "dll.name" or None.
    def exports(self):
        directory = getattr(self.pe, "DIRECTORY_ENTRY_EXPORT", None)
        if directory is None:
            return []
        return [Export(e.ordinal, e.name.decode() if e.name else None, e.address,
                       e.forwarder.decode() if e.forwarder else None)
                for e in directory.symbols]

    # The COFF symbol table (GNU ld keeps it unless stripped): [(name, rva)] of the symbols
    # defined in a section.
    def symbols(self):
        header = self.pe.FILE_HEADER
        at, count = header.PointerToSymbolTable, header.NumberOfSymbols
        data = self.pe.__data__
        strings = at + 18 * count
        if at == 0 or strings > len(data):
            return []
        found = []
        i = 0
        while i < count:
            raw, value, section, _, _, aux = struct.unpack_from("<8sIhHBB", data, at + 18 * i)
            i += 1 + aux
            if not 0 < section <= len(self.pe.sections):
                continue
            if raw[:4] == b"\0\0\0\0":
                start = strings + struct.unpack_from("<I", raw, 4)[0]
                name = bytes(data[start:data.find(b"\0", start)])
            else:
                name = raw.rstrip(b"\0")
            found.append((name.decode("latin-1"),
                          self.pe.sections[section - 1].VirtualAddress + value))
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
        """Entries of a name table (32- or 64-bit thunks as the image is), or None when
        unreadable."""
        width = 4 if self.is_pe32() else 8
        by_ordinal = 1 << (8 * width - 1)
        entries = []
        for i in range(4096):
            low, high = self._dword(rva + width * i), 0
            if width == 8 and low is not None:
                high = self._dword(rva + width * i + 4)
            if low is None or high is None:
                return None
            value = low | high << 32
            if value == 0:
                return entries
            if value & by_ordinal:
                entries.append((value & 0xFFFF, None))
            else:
                name = self._text(low + 2)
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
