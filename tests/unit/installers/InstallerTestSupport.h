// Shared pieces of the installer tests: the dialog as the steps see it, and log filters.
#pragma once

#include "FakeSystemApi.h"
#include "installers/SetupDialogView.h"

#include <string>
#include <vector>

// The setup dialog's view on the fake's dialog window, whose control 1000 is the status line.
class CFakeSetupDialogView : public CSetupDialogView {
public:
    explicit CFakeSetupDialogView(HWND window) : m_window(window) {}

    HWND GetSafeHwnd() const override { return m_window; }
    void UpdateStatus(const std::string& text) override {
        SystemApi().SetDlgItemTextA(m_window, 1000, text.c_str());
    }
    BOOL IsUninstalling() const override { return uninstalling; }

    BOOL uninstalling = FALSE;

private:
    HWND m_window;
};

// The entries of the call log that start with one of the prefixes, in order.
inline std::vector<std::string> LogOf(const CFakeSystemApi& world,
                                      const std::vector<std::string>& prefixes) {
    std::vector<std::string> out;
    for (const std::string& line : world.log)
        for (const std::string& prefix : prefixes)
            if (line.compare(0, prefix.size(), prefix) == 0) {
                out.push_back(line);
                break;
            }
    return out;
}

// Scripts the 64-bit probe: "x64", "x86" (the call is not implemented), or the variants.
enum class Probe { X64, X86, NoKernel32, NoFunction, OtherError };
inline void SetProbe(CFakeSystemApi& world, Probe probe) {
    world.hasKernel32 = probe != Probe::NoKernel32;
    world.hasWow64Probe = probe != Probe::NoFunction;
    world.wow64ProbeResult = probe == Probe::X64 ? 260 : 0;
    world.wow64ProbeError = probe == Probe::OtherError ? ERROR_ACCESS_DENIED
                            : probe == Probe::X86      ? ERROR_CALL_NOT_IMPLEMENTED
                                                       : 0;
}
