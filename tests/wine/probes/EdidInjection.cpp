#include "EdidInjection.h"

namespace edid {

const char kWineMonitorParameters[] =
    "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\Default_Monitor\\0000&0000\\Device Parameters";

std::vector<BYTE> Block(BYTE maker8, BYTE maker9, BYTE product10, BYTE product11, int extensions) {
    std::vector<BYTE> block(128, 0);
    const BYTE header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    for (int i = 0; i < 8; ++i)
        block[i] = header[i];
    block[8] = maker8;
    block[9] = maker9;
    block[10] = product10;
    block[11] = product11;
    block[12] = 0x01; // serial number
    block[16] = 1;    // week and year of manufacture (2015)
    block[17] = 25;
    block[18] = 1; // EDID 1.3
    block[19] = 3;
    block[126] = static_cast<BYTE>(extensions);
    BYTE sum = 0;
    for (int i = 0; i < 127; ++i)
        sum = static_cast<BYTE>(sum + block[i]);
    block[127] = static_cast<BYTE>(0x100 - sum);
    for (int e = 0; e < extensions; ++e) {
        std::vector<BYTE> extension(128, 0);
        extension[0] = 0x02;   // CEA extension tag
        extension[1] = 0x03;   // revision
        extension[127] = 0xFB; // checksum of the above
        block.insert(block.end(), extension.begin(), extension.end());
    }
    return block;
}

std::vector<BYTE> Supported(int extensions) {
    return Block(0x5A, 0x34, 0x26, 0x5C, extensions);
}

std::vector<BYTE> Unsupported(int extensions) {
    return Block(0x5A, 0x34, 0x5C, 0x26, extensions);
}

LONG Inject(const std::vector<BYTE>& edid, const char* parametersKey) {
    HKEY key = nullptr;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, parametersKey, 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    result =
        RegSetValueExA(key, "EDID", 0, REG_BINARY, edid.data(), static_cast<DWORD>(edid.size()));
    RegCloseKey(key);
    return result;
}

LONG Remove(const char* parametersKey) {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, parametersKey, 0, KEY_SET_VALUE, &key);
    if (result == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS)
        return result;
    result = RegDeleteValueA(key, "EDID");
    RegCloseKey(key);
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

bool ParseHex(const std::string& text, std::vector<BYTE>& bytes) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}

} // namespace edid
