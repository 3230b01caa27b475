// The last phase: installing (or, with the uninstall switch, removing) every sensor-driver
// package of the medium with the sensor-driver installer, one INF file at a time, while the
// dialog's status line names the file in hand.
#pragma once

#include "installers/PackageTree.h" // GetSensorInstallerPath

#include <windows.h>

#include <string>

class CSetupDialogView;

// Walks the package directories in listing order. TRUE when the installer ran for at least one
// package; every package is handled either way.
BOOL InstallSensorDrivers(CSetupDialogView& dialog);

// Runs the installer for the first INF file of the package for which it can be started; the
// remaining files are tried only while starts fail. The status line is emptied at the end.
BOOL InstallSensorPackage(const std::string& packagePath, CSetupDialogView& dialog);

// The installer with the INF path: "<installer>" "<inf>".
BOOL InstallSensorInf(const std::string& infPath);
// The installer with the INF path: "<installer>" /uninstall "<inf>".
BOOL UninstallSensorInf(const std::string& infPath);
