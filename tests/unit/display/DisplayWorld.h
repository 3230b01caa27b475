// Building blocks for scripted display worlds: EDID blocks and the device registry as Windows
// lays it out under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\DISPLAY.
#pragma once

#include "FakeSystemApi.h"

#include <string>
#include <vector>

const char kEnumDisplay[] = "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY";
const char kMonitorClass[] = "{4D36E96E-E325-11CE-BFC1-08002BE10318}";

// A block of `size` bytes whose bytes 8-11 are the maker and product fields; the rest is a
// recognisable filler so that a copy of the wrong bytes shows.
inline std::vector<BYTE> EdidBlock(BYTE b8, BYTE b9, BYTE b10, BYTE b11, size_t size = 128) {
    std::vector<BYTE> block(size);
    for (size_t i = 0; i < size; ++i)
        block[i] = static_cast<BYTE>(0xA0 + i % 16);
    if (size >= 12) {
        block[8] = b8;
        block[9] = b9;
        block[10] = b10;
        block[11] = b11;
    }
    return block;
}

// "VQT" with product 0x5C26, and the same bytes with the product code swapped.
inline std::vector<BYTE> SupportedEdid(size_t size = 128) {
    return EdidBlock(0x5A, 0x34, 0x26, 0x5C, size);
}
inline std::vector<BYTE> UnsupportedEdid(size_t size = 128) {
    return EdidBlock(0x5A, 0x34, 0x5C, 0x26, size);
}

inline std::string InstancePath(const std::string& model, const std::string& instance) {
    return std::string(kEnumDisplay) + "\\" + model + "\\" + instance;
}

inline std::string MonitorId(const std::string& model, const std::string& instance = "0000") {
    return "MONITOR\\" + model + "\\" + kMonitorClass + "\\" + instance;
}

// One instance key of a monitor model: its "Driver" text (none when empty) and, when `edid` is
// not empty, a "Device Parameters" key holding it.
inline void AddInstance(CFakeSystemApi& world, const std::string& model,
                        const std::string& instance, const std::string& driver,
                        const std::vector<BYTE>& edid) {
    const std::string path = InstancePath(model, instance);
    world.AddRegistryKey(path);
    if (!driver.empty())
        world.SetRegistryString(path, "Driver", driver);
    if (!edid.empty())
        world.SetRegistryValue(path + "\\Device Parameters", "EDID", edid);
}

inline std::string DriverOf(const std::string& instance = "0000") {
    return std::string(kMonitorClass) + "\\" + instance;
}
