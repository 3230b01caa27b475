// The two installation steps that each start one tool of the package tree and wait for it.
#pragma once

#include <windows.h>

class CSetupDialogView;

// Runs the display-driver package tool that fits the system, with the dialog hidden while it runs
// and shown again afterwards whatever happened. TRUE when the tool started and ended.
BOOL InstallDisplayDriver(CSetupDialogView& dialog);

// Runs the product's own installer; the dialog stays on screen. TRUE when it started and ended.
BOOL RunProductSetup();
