// The order in which the setup does its work, run from the setup dialog's initialisation.
#pragma once

#include <windows.h>

class CSetupDialogView;

// Posted by the sequence once the display driver and the product are in place; its handler runs
// the sensor-driver phase after the dialog is on screen.
constexpr UINT WM_INSTALL_SENSORS = WM_APP + 100;

// Checks the machine, installs the display driver and the product. FALSE: the setup is over and
// the dialog is to end; TRUE: the dialog stays open (finished, stopped with a status text, or
// with the sensor phase posted).
BOOL RunSetupSequence(CSetupDialogView& dialog);
