#include "platform/StringTable.h"

#include "platform/SystemApi.h"

std::string LoadCatalogueText(UINT id) {
    // With a zero buffer size the call hands out a read-only pointer to the stored text.
    const WCHAR* stored = nullptr;
    int length = SystemApi().LoadStringW(AppInstance(), id, reinterpret_cast<LPWSTR>(&stored), 0);
    if (length <= 0 || !stored)
        return {};
    int size = SystemApi().WideCharToMultiByte(CP_THREAD_ACP, 0, stored, length, nullptr, 0,
                                               nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string text(static_cast<size_t>(size), '\0');
    size = SystemApi().WideCharToMultiByte(CP_THREAD_ACP, 0, stored, length, &text[0], size,
                                           nullptr, nullptr);
    text.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return text;
}
