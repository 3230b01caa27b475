#include "app/Catalogue.h"

#include "platform/SystemApi.h"
#include "res/resource.h"

#include <vector>

namespace {

// The program's own path; empty if it does not fit any buffer we are willing to use, since a
// truncated path would name another file.
std::string ModulePath() {
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::vector<char> buffer(size);
        DWORD length = SystemApi().GetModuleFileNameA(nullptr, buffer.data(), size);
        if (length == 0)
            return {};
        if (length < size)
            return std::string(buffer.data(), length);
    }
    return {};
}

// The file's base name without extension; the scan steps over double-byte characters, whose
// second byte may equal a backslash.
std::string BaseNameWithoutExtension(const std::string& path) {
    size_t nameStart = 0, dot = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (SystemApi().IsDBCSLeadByte(c) && i + 1 < path.size()) {
            ++i;
            continue;
        }
        if (c == '\\' || c == '/' || c == ':') {
            nameStart = i + 1;
            dot = std::string::npos;
        } else if (c == '.') {
            dot = i;
        }
    }
    size_t end = dot == std::string::npos ? path.size() : dot;
    return path.substr(nameStart, end - nameStart);
}

} // namespace

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

std::string GetAppName() {
    std::string title = LoadCatalogueText(AFX_IDS_APP_TITLE);
    if (!title.empty())
        return title;
    return BaseNameWithoutExtension(ModulePath());
}

void ShowCatalogueMessage(HWND owner, UINT textId, UINT icon) {
    std::string text = LoadCatalogueText(textId);
    std::string caption = GetAppName();
    SystemApi().MessageBoxA(owner, text.c_str(), caption.c_str(), MB_OK | icon);
}
