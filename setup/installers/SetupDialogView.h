// What the installer steps and the installation sequence need of the setup dialog, and no more:
// its window (hidden around a tool, owner of message boxes, target of the pump and of the posted
// sensor phase), its status-line update and the uninstall flag. The dialog implements it, so
// these steps know nothing of the dialog class above them.
#pragma once

#include <windows.h>

#include <string>

class CSetupDialogView {
public:
    virtual ~CSetupDialogView() = default;

    virtual HWND GetSafeHwnd() const = 0;
    // Controls to members, assign, members to controls.
    virtual void UpdateStatus(const std::string& text) = 0;
    // The uninstall switch was given: the sensor phase removes instead of installs.
    virtual BOOL IsUninstalling() const = 0;
};
