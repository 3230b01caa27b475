#!/usr/bin/env python3
"""Checks the framework's kernel image as the kernel's loader meets it when a client driver
imports it: an x64 native-subsystem image (no DLL flag, so the loader runs no entry of its own)
with a valid checksum and relocations, exporting by name exactly the two routines the client's
bind stub imports (at those routines, from the linker's map), importing from ntoskrnl.exe only.

    check_framework_image.py IMAGE.sys IMAGE.map
"""
import sys

import pefile
from check_driver_image import symbols
from peimage import Checks, PeImage

EXPORTS = {"WdfVersionBind", "WdfVersionUnbind"}


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
    check(pe.FILE_HEADER.Characteristics & 0x2000 == 0, "no DLL flag")
    check(pe.OPTIONAL_HEADER.CheckSum != 0 and pe.verify_checksum(), "PE checksum is correct")
    relocs = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    check(relocs.Size != 0, "relocations kept (the kernel may load it anywhere)")
    check(pe.OPTIONAL_HEADER.AddressOfEntryPoint == syms.get("FxLoaderEntry"),
          "the entry point is the loader's own")

    exports = {e.name: e for e in img.exports()}
    check(set(exports) == EXPORTS, "exports exactly %s (found %s)" % (EXPORTS, set(exports)))
    for name in EXPORTS & set(exports):
        check(exports[name].forwarder is None and exports[name].rva == syms.get(name),
              "%s exported at the routine itself" % name)

    imports = set(img.plain_imports())
    check(imports == {"ntoskrnl.exe"}, "imports from ntoskrnl.exe only (found %s)" % imports)
    check(not img.delay_imports(), "no delay imports")

    print("%s: %d bytes" % (image, img.size))
    return checks.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
