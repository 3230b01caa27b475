// Fuzzes the status line of the sensor phase: one package whose INF files have any names the
// listing can hold, the catalogue's installing/uninstalling text either as shipped or any UTF-16
// text, and installer starts that fail or succeed.
//
// Checked on every input, beyond what the sanitizers catch: for each INF the installer is tried
// with, the status line shows the text with its first %s replaced by the file's base name exactly
// as it stands - a "%", "%s" or "%n" in the name is shown, never interpreted - with %% shown as
// one % and nothing else of the text changed, double-byte characters kept whole; the installer
// is tried for the files in listing order until one starts, each with its own path; the line is
// emptied at the end, and every handle is closed.
#include "FakeSystemApi.h"
#include "FuzzCheck.h"
#include "app/Catalogue.h"
#include "app/KLDRSetupDlg.h"
#include "installers/PathSplit.h"
#include "installers/SensorDrivers.h"
#include "res/resource.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const char16_t kInstalling[] = u"%s をインストールしています...";
const char16_t kUninstalling[] = u"%s をアンインストールしています...";
const std::string kStatusSet = "SetDlgItemTextA(1000,";

class CFuzzedSetupDlg : public CKLDRSetupDlg {
public:
    explicit CFuzzedSetupDlg(HWND window) { m_hWnd = window; }
};

bool IsLeadByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The text with its first %s filled, read the way the user is meant to read it.
std::string Filled(const std::string& text, const std::string& name) {
    std::string out;
    bool filled = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool next = i + 1 < text.size();
        if (IsLeadByte(text[i]) && next) {
            out.append(text, i++, 2);
        } else if (text[i] == '%' && next && text[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (text[i] == '%' && next && text[i + 1] == 's' && !filled) {
            out += name;
            filled = true;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out.substr(0, out.find('\0')); // what a window text can hold
}

std::string WithoutNul(std::string text) {
    for (char& c : text)
        if (c == '\0')
            c = '%';
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CFakeSystemApi world; // code page 932
    const bool uninstall = in.ConsumeBool();
    const UINT textId = uninstall ? IDS_UNINSTALLING : IDS_INSTALLING;
    if (in.ConsumeBool()) {
        world.strings[textId] = uninstall ? kUninstalling : kInstalling;
    } else {
        // ASCII as it comes, so that "%s" and its kin are easy to find; every other byte a wide
        // character (whose narrow form starts with a lead byte in the fake's conversion).
        std::u16string text;
        for (const char c : in.ConsumeRandomLengthString(200)) {
            const auto b = static_cast<unsigned char>(c);
            text += static_cast<char16_t>(b < 0x80 ? b : 0x3000 + b);
        }
        world.strings[textId] = text;
    }

    const std::string package = WithoutNul(in.ConsumeRandomLengthString(MAX_PATH));
    std::vector<std::string> names;
    std::vector<bool> starts; // for each file the installer is tried with: whether it starts
    const int entries = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < entries; ++i) {
        std::string name;
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
            name = ".";
            break;
        case 1:
            name = "..";
            break;
        default:
            name = WithoutNul(in.ConsumeRandomLengthString(MAX_PATH - 1));
            starts.push_back(in.ConsumeBool());
        }
        world.listings[package + "\\*.inf"].push_back(CFakeSystemApi::Entry(name, false));
        names.push_back(name);
    }
    size_t run = 0;
    world.runProcess = [&](const std::string&) -> std::optional<DWORD> {
        const bool started = run < starts.size() && starts[run];
        ++run;
        return started ? std::optional<DWORD>(0) : std::nullopt;
    };

    std::string text;
    std::vector<std::string> expected; // status texts, in order
    std::vector<std::string> infPaths; // the files the installer is tried with
    {
        CScopedSystemApi scope(world);
        CFuzzedSetupDlg dialog(world.dialogWindow);
        dialog.m_bUninstall = uninstall;
        text = LoadCatalogueText(textId);
        InstallSensorPackage(package, dialog);
        // A listing pattern too long for the ANSI find functions is not searched.
        const bool listed = (package + "\\*.inf").size() < MAX_PATH;
        for (const std::string& name : listed ? names : std::vector<std::string>{}) {
            if (name == "." || name == "..")
                continue;
            const std::string infPath = package + "\\" + name;
            expected.push_back(Filled(text, GetFileBaseName(infPath)));
            infPaths.push_back(infPath);
            if (starts[infPaths.size() - 1])
                break;
        }
    }
    expected.push_back("");

    std::vector<std::string> shown;
    for (const std::string& line : world.log)
        if (line.compare(0, kStatusSet.size(), kStatusSet) == 0)
            shown.push_back(line.substr(kStatusSet.size(), line.size() - kStatusSet.size() - 1));
    Check(shown == expected, "status texts as filled, one per file tried, then empty");
    Check(world.dialogItemTexts[IDC_STATUS].empty(), "the status line is emptied at the end");

    Check(world.processRuns.size() == infPaths.size(), "one installer start per file tried");
    const std::string option = uninstall ? " /uninstall \"" : " \"";
    for (size_t i = 0; i < infPaths.size(); ++i) {
        const std::string tail = option + infPaths[i] + "\"";
        const std::string& commandLine = world.processRuns[i].commandLine;
        Check(commandLine.size() > tail.size() &&
                  commandLine.compare(commandLine.size() - tail.size(), tail.size(), tail) == 0,
              "the installer is given the file's own path");
    }
    Check(world.OpenHandleCount() == 0, "every handle closed");
    return 0;
}
