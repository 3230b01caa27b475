#include "display/EnumDisplay.h"

#include "platform/SystemApi.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

DISPLAY_DEVICEA EmptyDevice() {
    DISPLAY_DEVICEA device;
    std::memset(&device, 0, sizeof(device));
    device.cb = sizeof(device);
    return device;
}

// The system's fixed-size fields are terminated in practice; never rely on it.
template <size_t N> std::string Text(const CHAR (&field)[N]) {
    return std::string(field, std::find(field, field + N, '\0'));
}

// The first active monitor of the adapter; when none is active, the last one it returned; when
// it returned none, an empty record. A failed query leaves the record as it was.
DISPLAY_DEVICEA ChooseMonitor(const std::string& adapterName) {
    DISPLAY_DEVICEA monitor = EmptyDevice();
    for (DWORD index = 0; SystemApi().EnumDisplayDevicesA(adapterName.c_str(), index, &monitor, 0);
         ++index) {
        if (monitor.StateFlags & DISPLAY_DEVICE_ACTIVE)
            break;
    }
    if (monitor.DeviceString[0] == '\0')
        SystemApi().EnumDisplayDevicesA(adapterName.c_str(), 0, &monitor, 0);
    return monitor;
}

} // namespace

CEnumDisplay::CEnumDisplay() : m_bValid(0) {
    m_bValid = Enumerate();
}

CEnumDisplay::~CEnumDisplay() = default;

int CEnumDisplay::Enumerate() {
    int nextKey = 1;
    for (DWORD adapterIndex = 0;; ++adapterIndex) {
        DISPLAY_DEVICEA adapter = EmptyDevice();
        if (!SystemApi().EnumDisplayDevicesA(nullptr, adapterIndex, &adapter, 0))
            return 1;
        // A mirroring driver shadows another adapter's output; it has no monitor of its own.
        if (adapter.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER)
            continue;

        const std::string adapterName = Text(adapter.DeviceName);
        const DISPLAY_DEVICEA monitor = ChooseMonitor(adapterName);
        std::string monitorName = Text(monitor.DeviceString);
        if (monitorName.empty())
            monitorName = "Default Monitor";

        DisplayInfo info{};
        info.strMonitorId = Text(monitor.DeviceID);
        info.bHasEdid = GetMonitorEdid(info.edid, info.strMonitorId.c_str()) ? 1 : 0;
        info.strMonitorName = std::move(monitorName);
        info.strAdapterName = adapterName;
        m_mapDisplay.insert(std::make_pair(nextKey, info));
        ++nextKey;
    }
}

int CEnumDisplay::HasSupportedDisplay() const {
    if (!m_bValid)
        return 0;
    for (const auto& entry : m_mapDisplay) {
        if (entry.second.bHasEdid && IsSupportedEdid(entry.second.edid))
            return 1;
    }
    return 0;
}
