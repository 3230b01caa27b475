#include "RootDevice.h"

#include <setupapi.h>

#include <functional>
#include <vector>

namespace wk {
namespace {

bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& wanted) {
    wchar_t ids[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids),
                                           sizeof(ids) - 2 * sizeof(wchar_t), nullptr))
        return false;
    for (const wchar_t* id = ids; *id; id += wcslen(id) + 1) {
        if (_wcsicmp(id, wanted.c_str()) == 0)
            return true;
    }
    return false;
}

// Calls `each` for every device node with the id; returns how many there were.
int ForEachDevice(const std::wstring& hardwareId,
                  const std::function<void(HDEVINFO, SP_DEVINFO_DATA&)>& each,
                  DWORD flags = DIGCF_ALLCLASSES) {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    std::vector<SP_DEVINFO_DATA> matches;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (HasHardwareId(set, device, hardwareId))
            matches.push_back(device);
    }
    for (SP_DEVINFO_DATA& match : matches)
        each(set, match);
    SetupDiDestroyDeviceInfoList(set);
    return int(matches.size());
}

} // namespace

bool CreateRootDevice(const GUID& classGuid, const std::wstring& className,
                      const std::wstring& hardwareId) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    std::wstring ids = hardwareId + L'\0' + L'\0';
    bool ok = SetupDiCreateDeviceInfoW(set, className.c_str(), &classGuid, nullptr, nullptr,
                                       DICD_GENERATE_ID, &device) &&
              SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(ids.c_str()),
                                                DWORD(ids.size() * sizeof(wchar_t))) &&
              SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

int CountDevicesWithId(const std::wstring& hardwareId) {
    return ForEachDevice(hardwareId, [](HDEVINFO, SP_DEVINFO_DATA&) {});
}

int CountPresentDevicesWithId(const std::wstring& hardwareId) {
    return ForEachDevice(
        hardwareId, [](HDEVINFO, SP_DEVINFO_DATA&) {}, DIGCF_ALLCLASSES | DIGCF_PRESENT);
}

int RemoveDevicesWithId(const std::wstring& hardwareId) {
    return ForEachDevice(hardwareId, [](HDEVINFO set, SP_DEVINFO_DATA& device) {
        SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
    });
}

} // namespace wk
