#!/usr/bin/env python3
"""Checks the driver image as the kernel's loader and the framework loader will meet it:
an x64 WDM kernel-mode image with a valid checksum, no exports, imports from ntoskrnl.exe and
WDFLDR.SYS only, the bind info of KmdfLibrary 1.1 with its 386-entry table, and each routine in
the section its IRQL allows (from the linker's map).

    check_driver_image.py IMAGE.sys IMAGE.map
"""
import re
import struct
import sys

import pefile
from peimage import Checks, PeImage

IMPORTS = {
    "ntoskrnl.exe": {"ExAllocatePoolWithTag", "ExFreePoolWithTag", "memcpy", "memset"},
    "WDFLDR.SYS": {"WdfVersionBind", "WdfVersionUnbind"},
}
# Run once at load, then discarded.
INIT = ["DriverEntry", "FxDriverEntry", "FxStubDriverEntry"]
# PASSIVE_LEVEL only: pageable.
PAGE = [
    "TalvikEvtDeviceAdd", "TalvikEvtDriverContextCleanup", "TalvikEvtDevicePrepareHardware",
    "SelectInterfaces", "TalvikSetPowerPolicy", "TalvikEvtDeviceD0Entry",
    "TalvikEvtDeviceD0Exit", "TalvikEvtIoInCallerContext", "TalvikEvtIoDeviceControl",
    "TalvikStartInterruptRead",
]
# May run at DISPATCH_LEVEL (completion routines, the vendor queue's routine delivered from a
# completion), or must stay resident (hardware release, tracing).
NONPAGED = [
    "TalvikIoctlCompletionRoutine", "TalvikReadCompletionRoutine", "TalvikEvtIoVendorRequest",
    "SendVendorRequest", "TalvikEvtDeviceReleaseHardware", "TalvikTrace",
]


def symbols(map_path):
    """Name -> RVA of every public symbol in an lld-link map ("SSSS:OOOOOOOO name VA obj")."""
    out = {}
    for line in open(map_path, encoding="latin-1"):
        m = re.match(r"\s*[0-9a-f]{4}:[0-9a-f]{8}\s+(\S+)\s+([0-9a-f]{16})\s", line)
        if m:
            out[m.group(1)] = int(m.group(2), 16)
    return out


def main(image, map_path):
    img = PeImage(image)
    pe = img.pe
    checks = Checks()
    check = checks.check
    base = pe.OPTIONAL_HEADER.ImageBase
    syms = {name: va - base for name, va in symbols(map_path).items()}

    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"], "x64 image")
    check(pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"],
          "native subsystem")
    check(pe.OPTIONAL_HEADER.DllCharacteristics & 0x2000 != 0, "WDM driver flag")
    check(pe.FILE_HEADER.Characteristics & 0x2000 == 0, "no DLL flag")
    check(pe.FILE_HEADER.Characteristics & 0x0002 != 0, "executable image")
    check(pe.OPTIONAL_HEADER.CheckSum != 0 and pe.verify_checksum(), "PE checksum is correct")
    export_dir = pe.OPTIONAL_HEADER.DATA_DIRECTORY[0]
    check(export_dir.VirtualAddress == 0 and export_dir.Size == 0, "no exports")

    imports = {dll: {name for _, name in entries} for dll, entries in img.plain_imports().items()}
    check(imports == IMPORTS, "imports exactly %s (found %s)" % (IMPORTS, imports))

    init, page = img.section_named("INIT"), img.section_named("PAGE")
    check(init is not None and init.Characteristics & 0x02000000 != 0, "INIT is discardable")
    check(page is not None and page.Characteristics & 0x02000000 == 0, "PAGE stays (pageable)")
    check(pe.OPTIONAL_HEADER.AddressOfEntryPoint == syms.get("FxDriverEntry"),
          "the entry point is the bind stub")

    def section_of(name):
        rva = syms.get(name)
        return None if rva is None else img.section_at(rva)

    for name in INIT:
        check(section_of(name) == "INIT", "%s in INIT (%s)" % (name, section_of(name)))
    for name in PAGE:
        check(section_of(name) == "PAGE", "%s in PAGE (%s)" % (name, section_of(name)))
    for name in NONPAGED:
        check(section_of(name) == ".text", "%s nonpaged (%s)" % (name, section_of(name)))

    # WDF_BIND_INFO on x64: Size, Component, Version{Major, Minor, Build}, FuncCount, FuncTable,
    # Module, with the platform's alignment.
    info = pe.get_data(syms["WdfBindInfo"], 48)
    size, component, major, minor, build, count, table, module = struct.unpack("<I4xQIIIIQQ", info)
    name = pe.get_string_u_at_rva(component - base).decode() if component else ""
    check(size == 48, "bind info Size 48 (%d)" % size)
    check(name == "KmdfLibrary", "bind info component KmdfLibrary (%r)" % name)
    check((major, minor) == (1, 1), "bind info version 1.1 (%d.%d)" % (major, minor))
    check(count == 386, "bind info FuncCount 386 (%d)" % count)
    check(table - base == syms.get("WdfFunctions"), "bind info FuncTable is WdfFunctions")
    check(module == 0, "bind info Module empty")
    gap = min([rva for rva in syms.values() if rva > syms["WdfFunctions"]] or [1 << 32])
    check(gap - syms["WdfFunctions"] >= 386 * 8, "WdfFunctions has room for 386 entries")

    print("%s: %d bytes" % (image, img.size))
    return checks.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
