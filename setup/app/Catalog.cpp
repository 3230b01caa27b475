#include "app/Catalog.h"

#include "platform/SystemApi.h"

std::string LoadCatalogText(UINT id) {
    CSystemApi& api = SystemApi();
    // With a buffer size of 0 LoadStringW hands out a read-only pointer into the resource itself,
    // so texts of any length are read whole.
    const WCHAR* text = nullptr;
    int length = api.LoadStringW(AppInstance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text)
        return {};
    int size =
        api.WideCharToMultiByte(CP_THREAD_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    size =
        api.WideCharToMultiByte(CP_THREAD_ACP, 0, text, length, &narrow[0], size, nullptr, nullptr);
    narrow.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return narrow;
}
