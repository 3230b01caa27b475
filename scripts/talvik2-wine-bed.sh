# Sourced by the scripts that run Talvik2 on Wine's kernel (the demo, the load run, the bench):
# what they share of the test bed. After `talvik2_bed NATIVE_TREE`:
#   TALVIK2_BED_DRIVERS   kernel-scenario.sh's --driver options: the bus, the framework, Talvik2
#   TALVIK2_BED_PACKAGE   a bed program's first arguments: SensorInst.exe, the bus's INF, Talvik2's
#                         INF, image and the co-installer
#   TALVIK2_BED_SETUP     what drives Setup.exe from a medium (the bed's SetupDrive): wt_sequence.exe,
#                         Setup.exe and the stand-in tools, 32- and 64-bit
#   bed_bin               the win64 tree's wine-kernel folder (the bed's programs and images)
# talvik2_bed fails when there is no 64-bit Wine; talvik2_bed_build builds the bed and the given
# win64 targets; talvik2_bed_setup_build builds TALVIK2_BED_SETUP and fails when this host's Wine
# cannot run the 32-bit programs in it.
talvik2_bed() {
  local native=$1
  bed_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  bed_native=$native
  bed_win64=$bed_root/build/win64
  bed_bin=$bed_win64/tests/wine-kernel
  TALVIK2_BED_DRIVERS=(--driver "$bed_bin/VirtUsbBus.sys" --driver "$bed_bin/WDFLDR.sys"
    --driver "$native/driver/Talvik2.sys")
  TALVIK2_BED_PACKAGE=("$bed_win64/sensorinst/SensorInst.exe"
    "$bed_root/tests/wine-kernel/VirtUsbBus.inf" "$bed_root/driver/Talvik2.inf"
    "$native/driver/Talvik2.sys" "$bed_bin/WdfCoInstaller01001.dll")
  bed_win32=$bed_root/build/win32
  TALVIK2_BED_SETUP=("$bed_win32/tests/wine/sequence/wt_sequence.exe" "$bed_win32/setup/Setup.exe"
    "$bed_win32/tests/stubs/KldrStub.exe" "$bed_win64/tests/stubs/KldrStub.exe")
  [ -x /usr/lib/wine/wine64 ]
}

talvik2_bed_build() {
  (cd "$bed_root" && cmake --preset win64 >/dev/null && cmake --preset native >/dev/null)
  cmake --build "$bed_win64" -j 2 --target VirtUsbBus wdfldr_sys SensorInst WdfCoInstaller01001 \
    "$@" >/dev/null
  cmake --build "$bed_native" -j 2 --target talvik2_sys >/dev/null
}

talvik2_bed_setup_build() {
  (cd "$bed_root" && cmake --preset win32 >/dev/null)
  cmake --build "$bed_win32" -j 2 --target wt_sequence Setup KldrStub >/dev/null
  cmake --build "$bed_win64" -j 2 --target KldrStub >/dev/null
  "$bed_root/tests/wine/winebed.sh" can-run "${TALVIK2_BED_SETUP[0]}" 2>/dev/null
}
