// The client library's shared tests (ClientOnStackTest) on Wine's kernel host: the kernel test
// bed installs the virtual bus and Talvik2's package, each test plugs its own colorimeter, and
// the client library reaches it through SetupDi, CreateFile and DeviceIoControl.
//
//   wt_client_library.exe [gtest flags] <SensorInst.exe> <VirtUsbBus.inf> <Talvik2.inf>
//                         <Talvik2.sys> <WdfCoInstaller01001.dll>
//
// VirtUsbBus.sys, WDFLDR.SYS and Talvik2.sys must already be in %SystemRoot%\system32\drivers.
#include "WineBedRig.h"

#include "Harness.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 6) {
        wt::Note("usage: wt_client_library.exe [gtest flags] <SensorInst.exe> <VirtUsbBus.inf> "
                 "<Talvik2.inf> <Talvik2.sys> <WdfCoInstaller01001.dll>");
        return 2;
    }
    const wk::Talvik2Files files = wk::Talvik2FilesFrom(argv + 1);
    const std::wstring dir = wt::ScratchDir(L"client-library");
    wk::Talvik2Bed bed;
    int failedTests = 1;
    // Every test plugs a colorimeter of its own: from the second on, Wine's setupapi looks for
    // the package's files where the first install left its record.
    if (bed.Install(files, dir) &&
        wt::Check(wk::ProvideInstallMedia(dir),
                  "the package's files are where Wine looks for them on a second install")) {
        clientstack::UseBed(bed);
        failedTests = RUN_ALL_TESTS();
    }
    bed.Uninstall();
    const int failedChecks = wt::Finish();
    return failedTests != 0 || failedChecks != 0 ? 1 : 0;
}
