#include "Devices.h"

#include <setupapi.h>
#include <newdev.h>

namespace sensorinst {
namespace {

class DeviceSet {
public:
    explicit DeviceSet(DWORD flags)
        : set_(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | flags)) {}
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    ~DeviceSet() {
        if (valid())
            SetupDiDestroyDeviceInfoList(set_);
    }
    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }
    bool Device(DWORD index, SP_DEVINFO_DATA& device) const {
        device.cbSize = sizeof(device);
        return SetupDiEnumDeviceInfo(set_, index, &device) != FALSE;
    }

private:
    HDEVINFO set_;
};

// A multi-string property (hardware or compatible ids); empty when the device has none.
std::vector<std::wstring> ReadIds(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::vector<std::wstring> ids;
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, nullptr, 0, &size);
    if (size == 0)
        return ids;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr))
        return ids;
    for (const wchar_t* id = buffer.data(); *id; id += wcslen(id) + 1)
        ids.push_back(id);
    return ids;
}

bool HasAnyId(HDEVINFO set, SP_DEVINFO_DATA& device, const std::vector<std::wstring>& wanted) {
    for (DWORD property : {DWORD(SPDRP_HARDWAREID), DWORD(SPDRP_COMPATIBLEIDS)}) {
        for (const std::wstring& id : ReadIds(set, device, property)) {
            for (const std::wstring& one : wanted) {
                if (_wcsicmp(id.c_str(), one.c_str()) == 0)
                    return true;
            }
        }
    }
    return false;
}

// The INF the device's driver was installed from, as its driver key records it.
std::wstring DriverInfName(HDEVINFO set, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return std::wstring();
    wchar_t name[MAX_PATH] = {};
    DWORD size = sizeof(name) - sizeof(wchar_t);
    DWORD type = 0;
    LONG status =
        RegQueryValueExW(key, L"InfPath", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::wstring(name) : std::wstring();
}

bool NeedsRestart(HDEVINFO set, SP_DEVINFO_DATA& device) {
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    return SetupDiGetDeviceInstallParamsW(set, &device, &params) &&
           (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART));
}

DWORD RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
    SP_REMOVEDEVICE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(params.ClassInstallHeader);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    // Global removal is also what DIF_REMOVE does without the parameters; Wine does not store
    // them (the call fails), so its failure is not one of the removal.
    SetupDiSetClassInstallParamsW(set, &device, &params.ClassInstallHeader, sizeof(params));
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
        return GetLastError();
    return 0;
}

} // namespace

bool IsDevicePresentWithId(const std::wstring& id) {
    DeviceSet devices(DIGCF_PRESENT);
    SP_DEVINFO_DATA device;
    for (DWORD i = 0; devices.valid() && devices.Device(i, device); ++i) {
        if (HasAnyId(devices.get(), device, {id}))
            return true;
    }
    return false;
}

DWORD UpdatePresentDevices(const std::wstring& id, const std::wstring& infPath, bool& reboot) {
    BOOL needsReboot = FALSE;
    // No INSTALLFLAG_FORCE: a device that has a better-ranked driver keeps it.
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, id.c_str(), infPath.c_str(), 0, &needsReboot))
        return GetLastError();
    reboot = reboot || needsReboot;
    return 0;
}

DWORD RemoveDevicesOfInf(const std::vector<std::wstring>& ids, const std::wstring& storedName,
                         unsigned& removed, bool& reboot) {
    DeviceSet devices(0);
    if (!devices.valid())
        return GetLastError();
    // Chosen first, removed after: a removal may take the element out of the enumeration.
    std::vector<SP_DEVINFO_DATA> chosen;
    SP_DEVINFO_DATA device;
    for (DWORD i = 0; devices.Device(i, device); ++i) {
        if (HasAnyId(devices.get(), device, ids) &&
            _wcsicmp(DriverInfName(devices.get(), device).c_str(), storedName.c_str()) == 0)
            chosen.push_back(device);
    }
    DWORD firstError = 0;
    for (SP_DEVINFO_DATA& one : chosen) {
        DWORD error = RemoveDevice(devices.get(), one);
        if (error) {
            if (!firstError)
                firstError = error;
            continue;
        }
        ++removed;
        reboot = reboot || NeedsRestart(devices.get(), one);
    }
    return firstError;
}

} // namespace sensorinst
