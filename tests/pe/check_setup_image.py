#!/usr/bin/env python3
"""Checks Setup.exe as it is delivered: a PE32 GUI program for i386 that Windows XP accepts,
importing only system DLLs (nothing of MinGW's runtime), with all its resources.

usage: check_setup_image.py IMAGE [WINDRES]
"""
import os
import re
import sys

from peimage import Checks, PeImage

SYSTEM_DLLS = re.compile(r"^(kernel32|user32|gdi32|advapi32|shell32|msi|msvcrt|comctl32|ole32|"
                         r"oleaut32|version|shlwapi)\.dll$", re.IGNORECASE)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    image = PeImage(sys.argv[1])
    resources = image.resources_rc(*sys.argv[2:3])
    dlls = list(image.plain_imports())
    c = Checks()

    c.check(image.is_pe32(), "PE32 image")
    c.check(image.machine() == 0x14C, "for i386")
    c.check(image.subsystem() == 2, "GUI subsystem")
    c.check(image.subsystem_version()[0] == 5, "subsystem version 5.1 (major)")
    c.check(image.subsystem_version()[1] == 1, "subsystem version 5.1 (minor)")
    c.check(image.os_version()[0] == 5, "OS version 5.1 (major)")
    c.check(image.os_version()[1] == 1, "OS version 5.1 (minor)")
    for dll in dlls:
        c.check(SYSTEM_DLLS.match(dll) is not None, f"imports {dll}, a system DLL")
    c.check(not any(re.search("libstdc|libgcc|winpthread|mingw", d, re.IGNORECASE) for d in dlls),
            "imports no MinGW runtime DLL")
    print(f"#    imports: {' '.join(dlls)}; size: {os.path.getsize(sys.argv[1])} bytes")

    def has(pattern):
        return re.search(pattern, resources, re.MULTILINE) is not None

    c.check(has(r"^100 DIALOGEX 0, 0, 207, 75"), "dialog template 100 (about box)")
    c.check(has(r"^102 DIALOGEX 0, 0, 219, 91"), "dialog template 102 (setup dialog)")
    c.check(resources.count('FONT 9, "MS UI Gothic", 400, 0, 1') == 2,
            "dialogs use MS UI Gothic 9")
    for id in range(101, 110):
        c.check(has(rf'^  {id}, L"'), f"string {id}")
    c.check("FILEVERSION 1, 1, 0, 0" in resources, "version 1.1.0.0")
    c.check('VALUE "ProductName", "Kaleidra Setup"' in resources, "product name")
    c.check('VALUE "Translation", 0x411, 932' in resources, "Japanese, code page 932")
    c.check('level=""requireAdministrator"" uiAccess=""false""' in resources,
            "manifest asks for administrator")
    c.check(has(r"^1 14 /\* RT_GROUP_ICON \*/"), "icon group 1")
    return c.close()


if __name__ == "__main__":
    sys.exit(main())
