#include "FloorInterface.h"

#include "FloorIoctl.h"

#include <setupapi.h>

namespace wk {

const GUID kFloorInterface = FLOOR_INTERFACE_GUID_INIT;

std::vector<std::wstring> PresentInterfaces(const GUID& interfaceClass) {
    std::vector<std::wstring> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                        DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        std::vector<BYTE> buffer(size + sizeof(wchar_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(*detail);
        if (size && SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

DWORD Control(HANDLE device, DWORD code, void* out, DWORD outSize, DWORD& returned) {
    returned = 0;
    if (!DeviceIoControl(device, code, nullptr, 0, out, outSize, &returned, nullptr))
        return GetLastError();
    return 0;
}

} // namespace wk
