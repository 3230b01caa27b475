#!/usr/bin/env bash
# Checks Setup.exe as it is delivered: a PE32 GUI program for i386 that Windows XP accepts,
# importing only system DLLs (nothing of MinGW's runtime), with all its resources.
set -uo pipefail
exe=$1
failed=0 passed=0
check() { # $1: description; the rest: a command that must succeed
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; passed=$((passed + 1));
  else echo "FAIL $what"; failed=$((failed + 1)); fi
}

headers=$(i686-w64-mingw32-objdump -p "$exe")
filehdr=$(i686-w64-mingw32-objdump -f "$exe")
resources=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null)
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print $3}')

check "PE32 image" grep -q 'Magic.*010b.*(PE32)' <<<"$headers"
check "for i386" grep -q 'architecture: i386' <<<"$filehdr"
check "GUI subsystem" grep -q 'Subsystem.*00000002.*(Windows GUI)' <<<"$headers"
check "subsystem version 5.1 (major)" grep -qP 'MajorSubsystemVersion\t5$' <<<"$headers"
check "subsystem version 5.1 (minor)" grep -qP 'MinorSubsystemVersion\t1$' <<<"$headers"
check "OS version 5.1 (major)" grep -qP 'MajorOSystemVersion\t5$' <<<"$headers"
check "OS version 5.1 (minor)" grep -qP 'MinorOSystemVersion\t1$' <<<"$headers"
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|msi|msvcrt|comctl32|ole32|oleaut32|version|shlwapi)\.dll$'
for dll in $dlls; do
  check "imports $dll, a system DLL" grep -qiE "$system_dlls" <<<"$dll"
done
check "imports no MinGW runtime DLL" bash -c '! grep -qiE "libstdc|libgcc|winpthread|mingw"' <<<"$dlls"
echo "#    imports: $(echo $dlls | tr '\n' ' '); size: $(stat -c %s "$exe") bytes"

check "dialog template 100 (about box)" grep -q '^100 DIALOGEX 0, 0, 207, 75' <<<"$resources"
check "dialog template 102 (setup dialog)" grep -q '^102 DIALOGEX 0, 0, 219, 91' <<<"$resources"
check "dialogs use MS UI Gothic 9" bash -c '[ "$(grep -c "FONT 9, \"MS UI Gothic\", 400, 0, 1")" = 2 ]' <<<"$resources"
for id in 101 102 103 104 105 106 107 108 109; do
  check "string $id" grep -q "^  $id, L\"" <<<"$resources"
done
check "version 1.1.0.0" grep -q 'FILEVERSION 1, 1, 0, 0' <<<"$resources"
check "product name" grep -q 'VALUE "ProductName", "Kaleidra Setup"' <<<"$resources"
check "Japanese, code page 932" grep -q 'VALUE "Translation", 0x411, 932' <<<"$resources"
check "manifest asks for administrator" grep -q 'level=""requireAdministrator"" uiAccess=""false""' <<<"$resources"
check "icon group 1" grep -q '^1 14 /\* RT_GROUP_ICON \*/' <<<"$resources"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
