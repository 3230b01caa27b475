// wt_edid: sets the EDID of Wine's monitor inside a running Wine session, for tests and the
// demo.
//
//   wt_edid [hold SECONDS] supported | supported256 | unsupported | oversized | hex <HEX>
//   wt_edid remove
//
// With a virtual desktop (as the test bed runs Wine), every process rewrites the monitor's
// registry key, without an EDID, at its first display query. "hold" keeps the value in place
// for that long: it writes it again as soon as the key changes.
#include "EdidInjection.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool HasEdid(const std::vector<BYTE>& expected) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, edid::kWineMonitorParameters, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return false;
    std::vector<BYTE> value(expected.size() + 1);
    DWORD size = static_cast<DWORD>(value.size());
    LONG result = RegQueryValueExA(key, "EDID", nullptr, nullptr, value.data(), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && size == expected.size() &&
           std::equal(expected.begin(), expected.end(), value.begin());
}

// Writes the value again whenever something under Enum\DISPLAY changes, until the time is up.
int Hold(const std::vector<BYTE>& block, DWORD seconds) {
    HKEY display = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY", 0, KEY_NOTIFY,
                      &display) != ERROR_SUCCESS)
        return 1;
    HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const DWORD start = GetTickCount();
    int rewrites = 0;
    for (;;) {
        RegNotifyChangeKeyValue(display, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                changed, TRUE);
        if (!HasEdid(block)) {
            edid::Inject(block);
            ++rewrites;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= seconds * 1000)
            break;
        WaitForSingleObject(changed, seconds * 1000 - elapsed);
    }
    CloseHandle(changed);
    RegCloseKey(display);
    std::printf("EDID held for %lu s, written %d times\n", static_cast<unsigned long>(seconds),
                rewrites);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    DWORD holdSeconds = 0;
    if (argc > 3 && std::strcmp(argv[1], "hold") == 0) {
        holdSeconds = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
        argv += 2;
        argc -= 2;
    }
    if (argc < 2) {
        std::fprintf(
            stderr,
            "usage: wt_edid [hold SECONDS] supported|supported256|unsupported|oversized|hex HEX\n"
            "       wt_edid remove\n");
        return 2;
    }
    const char* what = argv[1];
    std::vector<BYTE> block;
    if (std::strcmp(what, "remove") == 0) {
        LONG result = edid::Remove();
        std::printf("EDID removed: %ld\n", static_cast<long>(result));
        return result == ERROR_SUCCESS ? 0 : 1;
    }
    if (std::strcmp(what, "supported") == 0)
        block = edid::Supported();
    else if (std::strcmp(what, "supported256") == 0)
        block = edid::Supported(1);
    else if (std::strcmp(what, "unsupported") == 0)
        block = edid::Unsupported();
    else if (std::strcmp(what, "oversized") == 0)
        block = edid::Supported(2);
    else if (std::strcmp(what, "hex") == 0 && argc > 2 && edid::ParseHex(argv[2], block))
        ;
    else {
        std::fprintf(stderr, "wt_edid: unknown request %s\n", what);
        return 2;
    }
    if (holdSeconds)
        return Hold(block, holdSeconds);
    LONG result = edid::Inject(block);
    std::printf("EDID of %u bytes set: %ld\n", static_cast<unsigned>(block.size()),
                static_cast<long>(result));
    return result == ERROR_SUCCESS ? 0 : 1;
}
