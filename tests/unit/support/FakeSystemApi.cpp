#include "FakeSystemApi.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void CopyText(char* to, size_t size, const std::string& from) {
    std::memset(to, 0, size);
    std::memcpy(to, from.data(), std::min(from.size(), size - 1));
}

HWND const kDialogWindow = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0xD1A1));
HMENU const kSystemMenu = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(0x3E40));
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x7C800000));

INT_PTR WINAPI FakeWow64Probe() {
    return 0;
}

} // namespace

// Native builds have no Windows of their own: the world in force by default fails everything.
CSystemApi& DefaultSystemApi() {
    static CFakeSystemApi emptyWorld;
    return emptyWorld;
}

DISPLAY_DEVICEA MakeDisplayDevice(const std::string& name, const std::string& string,
                                  DWORD stateFlags, const std::string& id) {
    DISPLAY_DEVICEA device{};
    device.cb = sizeof(device);
    CopyText(device.DeviceName, sizeof(device.DeviceName), name);
    CopyText(device.DeviceString, sizeof(device.DeviceString), string);
    device.StateFlags = stateFlags;
    CopyText(device.DeviceID, sizeof(device.DeviceID), id);
    return device;
}

CFakeSystemApi::CFakeSystemApi() : dialogWindow(kDialogWindow) {
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 1;
    version.dwBuildNumber = 7601;
    version.dwPlatformId = 2;
    runProcess = [](const std::string&) -> std::optional<DWORD> { return std::nullopt; };
    systemMetrics = {{SM_CXICON, 32}, {SM_CYICON, 32}, {SM_CXSCREEN, 1024}, {SM_CYSCREEN, 768}};
    monitors = {{RECT{0, 0, 1024, 768}, RECT{0, 0, 1024, 738}}};
}

WIN32_FIND_DATAA CFakeSystemApi::Entry(const std::string& name, bool directory) {
    WIN32_FIND_DATAA data{};
    data.dwFileAttributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    CopyText(data.cFileName, sizeof(data.cFileName), name);
    return data;
}

void CFakeSystemApi::SetRegistryValue(const std::string& keyPath, const std::string& name,
                                      const std::vector<BYTE>& data) {
    AddRegistryKey(keyPath);
    registry[Lower(keyPath)].values[name] = data;
}

void CFakeSystemApi::AddRegistryKey(const std::string& keyPath) {
    // Create the key and make it a sub-key of its parent, as a real registry would.
    std::string path = keyPath;
    registry[Lower(path)];
    for (;;) {
        size_t slash = path.rfind('\\');
        if (slash == std::string::npos)
            break;
        std::string parent = path.substr(0, slash), child = path.substr(slash + 1);
        auto& subKeys = registry[Lower(parent)].subKeys;
        if (std::find(subKeys.begin(), subKeys.end(), child) == subKeys.end())
            subKeys.push_back(child);
        path = parent;
    }
}

void CFakeSystemApi::SetRegistryString(const std::string& keyPath, const std::string& name,
                                       const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    SetRegistryValue(keyPath, name, data);
}

int CFakeSystemApi::OpenHandleCount() const {
    return static_cast<int>(m_handles.size());
}

HANDLE CFakeSystemApi::NewHandle(OpenHandle handle) {
    UINT_PTR value = m_nextHandle;
    m_nextHandle += 4;
    m_handles[value] = std::move(handle);
    return reinterpret_cast<HANDLE>(value);
}

CFakeSystemApi::OpenHandle* CFakeSystemApi::Find(HANDLE handle, Kind kind) {
    auto it = m_handles.find(reinterpret_cast<UINT_PTR>(handle));
    if (it == m_handles.end() || it->second.kind != kind)
        return nullptr;
    return &it->second;
}

const FakeRegistryKey* CFakeSystemApi::KeyAt(const std::string& path) const {
    auto it = registry.find(Lower(path));
    return it == registry.end() ? nullptr : &it->second;
}

HANDLE CFakeSystemApi::CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner,
                                    LPCSTR name) {
    std::string key = name ? name : "";
    mutexCreations.push_back({key, attributes == nullptr, initialOwner});
    if (mutexCreationError != 0) {
        lastError = mutexCreationError;
        return nullptr;
    }
    bool existed = mutexes[key];
    mutexes[key] = true;
    lastError = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    log.push_back("CreateMutexA(" + key + ")");
    return NewHandle({Kind::Mutex, key});
}

BOOL CFakeSystemApi::ReleaseMutex(HANDLE handle) {
    OpenHandle* h = Find(handle, Kind::Mutex);
    if (!h)
        return FALSE;
    log.push_back("ReleaseMutex(" + h->name + ")");
    return TRUE;
}

BOOL CFakeSystemApi::CloseHandle(HANDLE handle) {
    auto it = m_handles.find(reinterpret_cast<UINT_PTR>(handle));
    if (it == m_handles.end() || it->second.kind == Kind::Find || it->second.kind == Kind::Key)
        return FALSE;
    static const char* const kKindNames[] = {"mutex", "process", "thread"};
    closedHandles.push_back(kKindNames[static_cast<int>(it->second.kind)]);
    if (it->second.kind == Kind::Mutex)
        log.push_back("CloseHandle(" + it->second.name + ")");
    m_handles.erase(it);
    return TRUE;
}

DWORD CFakeSystemApi::GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    // As Windows does: a path that does not fit is truncated, terminated, and the size returned.
    if (size == 0)
        return 0;
    if (modulePath.size() >= size) {
        std::memcpy(buffer, modulePath.data(), size - 1);
        buffer[size - 1] = '\0';
        lastError = 122; // ERROR_INSUFFICIENT_BUFFER
        return size;
    }
    std::memcpy(buffer, modulePath.c_str(), modulePath.size() + 1);
    return static_cast<DWORD>(modulePath.size());
}

HMODULE CFakeSystemApi::GetModuleHandleA(LPCSTR name) {
    if (hasKernel32 && name && Lower(name) == "kernel32.dll")
        return kKernel32;
    return nullptr;
}

FARPROC CFakeSystemApi::GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == kKernel32 && hasWow64Probe && name &&
        std::strcmp(name, "GetSystemWow64DirectoryW") == 0)
        return &FakeWow64Probe;
    return nullptr;
}

UINT CFakeSystemApi::CallGetSystemWow64DirectoryW(FARPROC function, LPWSTR buffer, UINT size) {
    if (function != &FakeWow64Probe)
        return 0;
    wow64ProbeBufferSize = size;
    if (wow64ProbeResult != 0 && buffer && size > 0)
        buffer[0] = 0;
    lastError = wow64ProbeError;
    return wow64ProbeResult;
}

BOOL CFakeSystemApi::CreateProcessA(LPCSTR application, LPSTR commandLine,
                                    LPSECURITY_ATTRIBUTES processAttributes,
                                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                    DWORD creationFlags, LPVOID environment,
                                    LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                                    LPPROCESS_INFORMATION info) {
    std::string line = commandLine ? commandLine : "";
    FakeProcessRun run;
    run.commandLine = line;
    run.currentDirectoryWasNull = currentDirectory == nullptr;
    run.currentDirectory = currentDirectory ? currentDirectory : "";
    run.applicationWasNull = application == nullptr;
    run.securityAttributesWereNull = processAttributes == nullptr && threadAttributes == nullptr;
    run.inheritHandles = inheritHandles;
    run.creationFlags = creationFlags;
    run.environmentWasNull = environment == nullptr;
    if (startupInfo) {
        STARTUPINFOA sized{};
        sized.cb = startupInfo->cb;
        run.startupInfoSize = startupInfo->cb;
        run.startupInfoOnlySized = std::memcmp(&sized, startupInfo, sizeof(sized)) == 0;
    }
    processRuns.push_back(run);
    log.push_back("CreateProcessA(" + line + ")");
    std::optional<DWORD> exitCode = runProcess(line);
    if (!exitCode) {
        lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    info->hProcess =
        startWithoutProcessHandle ? nullptr : NewHandle({Kind::Process, line, 0, *exitCode});
    info->hThread = NewHandle({Kind::Thread, line});
    info->dwProcessId = 100 + static_cast<DWORD>(processRuns.size());
    info->dwThreadId = 200 + static_cast<DWORD>(processRuns.size());
    return TRUE;
}

DWORD CFakeSystemApi::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    log.push_back("WaitForSingleObject(" + std::to_string(milliseconds) + ")");
    return Find(handle, Kind::Process) ? 0 : 0xFFFFFFFFu;
}

BOOL CFakeSystemApi::GetExitCodeProcess(HANDLE handle, LPDWORD exitCode) {
    OpenHandle* h = Find(handle, Kind::Process);
    if (!h || exitCodeUnreadable)
        return FALSE;
    *exitCode = h->exitCode;
    return TRUE;
}

void CFakeSystemApi::Sleep(DWORD milliseconds) {
    sleeps.push_back(milliseconds);
    log.push_back("Sleep(" + std::to_string(milliseconds) + ")");
}

BOOL CFakeSystemApi::IsDBCSLeadByte(BYTE byte) {
    if (!doubleByteCodePage)
        return FALSE;
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The system's own stepping, which its text functions use; kept apart from the setup's rule so
// that the world does not borrow the code it tests.
size_t CFakeSystemApi::SystemCharLength(const char* text, size_t at, size_t size) {
    return IsDBCSLeadByte(static_cast<BYTE>(text[at])) && at + 1 < size ? 2 : 1;
}

HANDLE CFakeSystemApi::FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    std::string key = pattern ? pattern : "";
    log.push_back("FindFirstFileA(" + key + ")");
    auto it = listings.find(key);
    if (it == listings.end() || it->second.empty()) {
        lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    *data = it->second.front();
    return NewHandle({Kind::Find, key, 1});
}

BOOL CFakeSystemApi::FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
    OpenHandle* h = Find(find, Kind::Find);
    if (!h)
        return FALSE;
    const auto& entries = listings[h->name];
    if (h->position >= entries.size()) {
        lastError = ERROR_NO_MORE_ITEMS;
        return FALSE;
    }
    *data = entries[h->position++];
    return TRUE;
}

BOOL CFakeSystemApi::FindClose(HANDLE find) {
    if (!Find(find, Kind::Find))
        return FALSE;
    m_handles.erase(reinterpret_cast<UINT_PTR>(find));
    return TRUE;
}

BOOL CFakeSystemApi::GetVersionExA(LPOSVERSIONINFOA info) {
    DWORD size = info->dwOSVersionInfoSize;
    bool accepted = (size == sizeof(OSVERSIONINFOEXA) && acceptExtendedVersion) ||
                    (size == sizeof(OSVERSIONINFOA) && acceptBasicVersion);
    if (!accepted) {
        lastError = 122;
        return FALSE;
    }
    OSVERSIONINFOEXA filled = version;
    filled.dwOSVersionInfoSize = size;
    std::memcpy(info, &filled, size);
    return TRUE;
}

BOOL CFakeSystemApi::IsUserAnAdmin() {
    log.push_back("IsUserAnAdmin");
    return isAdmin;
}

INT CFakeSystemApi::MsiQueryProductStateA(LPCSTR productCode) {
    productQueries.push_back(productCode ? productCode : "");
    log.push_back("MsiQueryProductStateA(" + productQueries.back() + ")");
    return productState;
}

BOOL CFakeSystemApi::EnumDisplayDevicesA(LPCSTR device, DWORD index, PDISPLAY_DEVICEA out,
                                         DWORD flags) {
    displayQueryFlags.push_back(flags);
    BOOL found = FindDisplayDevice(device, index, out);
    if (onDisplayQuery)
        onDisplayQuery(device, index);
    return found;
}

BOOL CFakeSystemApi::FindDisplayDevice(LPCSTR device, DWORD index, PDISPLAY_DEVICEA out) const {
    if (!device) {
        if (index >= adapters.size())
            return FALSE;
        DWORD cb = out->cb;
        *out = adapters[index].adapter;
        out->cb = cb;
        return TRUE;
    }
    for (const auto& a : adapters) {
        if (std::strcmp(a.adapter.DeviceName, device) != 0)
            continue;
        if (index >= a.monitors.size())
            return FALSE;
        DWORD cb = out->cb;
        *out = a.monitors[index];
        out->cb = cb;
        return TRUE;
    }
    return FALSE;
}

LONG CFakeSystemApi::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired,
                                   PHKEY result) {
    std::string path = subKey ? subKey : "";
    keyOpenAttempts.push_back(path);
    keyOpenRequests.push_back({path, options, desired});
    if (key != HKEY_LOCAL_MACHINE) {
        OpenHandle* parent = Find(reinterpret_cast<HANDLE>(key), Kind::Key);
        if (!parent)
            return 6; // ERROR_INVALID_HANDLE
        path = parent->name + "\\" + path;
    }
    if (!KeyAt(path))
        return ERROR_FILE_NOT_FOUND;
    openedKeys.push_back(path);
    *result = reinterpret_cast<HKEY>(NewHandle({Kind::Key, path}));
    return ERROR_SUCCESS;
}

LONG CFakeSystemApi::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD,
                                   LPSTR, LPDWORD, PFILETIME) {
    OpenHandle* h = Find(reinterpret_cast<HANDLE>(key), Kind::Key);
    if (!h)
        return 6;
    const FakeRegistryKey* k = KeyAt(h->name);
    if (!k || index >= k->subKeys.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& sub = k->subKeys[index];
    if (sub.size() + 1 > *nameSize)
        return ERROR_MORE_DATA;
    std::memcpy(name, sub.c_str(), sub.size() + 1);
    *nameSize = static_cast<DWORD>(sub.size());
    return ERROR_SUCCESS;
}

LONG CFakeSystemApi::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type,
                                      LPBYTE data, LPDWORD dataSize) {
    OpenHandle* h = Find(reinterpret_cast<HANDLE>(key), Kind::Key);
    if (!h)
        return 6;
    const FakeRegistryKey* k = KeyAt(h->name);
    auto it = k->values.find(valueName ? valueName : "");
    if (it == k->values.end())
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = REG_BINARY;
    DWORD size = static_cast<DWORD>(it->second.size());
    if (data && size > *dataSize) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data && size) // an empty value has no bytes to copy (and no pointer to them)
        std::memcpy(data, it->second.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG CFakeSystemApi::RegCloseKey(HKEY key) {
    if (!Find(reinterpret_cast<HANDLE>(key), Kind::Key))
        return 6;
    m_handles.erase(reinterpret_cast<UINT_PTR>(key));
    return ERROR_SUCCESS;
}

LPSTR CFakeSystemApi::CharUpperA(LPSTR text) {
    // Steps over double-byte characters as the system's upper-casing does.
    const size_t size = std::strlen(text);
    for (size_t i = 0, n = 0; i < size; i += n) {
        n = SystemCharLength(text, i, size);
        if (n == 1)
            text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    return text;
}

HICON CFakeSystemApi::LoadIconA(HINSTANCE, LPCSTR) {
    return reinterpret_cast<HICON>(static_cast<UINT_PTR>(0x1C0));
}

int CFakeSystemApi::LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int bufferMax) {
    auto it = strings.find(id);
    if (it == strings.end()) {
        if (bufferMax > 0 && buffer)
            buffer[0] = 0;
        return 0;
    }
    if (bufferMax == 0) { // read-only pointer into the table, as Windows gives it
        *reinterpret_cast<const WCHAR**>(buffer) =
            reinterpret_cast<const WCHAR*>(it->second.data());
        return static_cast<int>(it->second.size());
    }
    int n = std::min<int>(static_cast<int>(it->second.size()), bufferMax - 1);
    std::memcpy(buffer, it->second.data(), n * sizeof(WCHAR));
    buffer[n] = 0;
    return n;
}

int CFakeSystemApi::WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideLength, LPSTR narrow,
                                        int narrowLength, LPCSTR, LPBOOL) {
    // Test texts are converted as UTF-8: enough to compare what the logic composed.
    std::string out;
    int count = wideLength < 0 ? static_cast<int>(std::char_traits<char16_t>::length(
                                     reinterpret_cast<const char16_t*>(wide))) +
                                     1
                               : wideLength;
    for (int i = 0; i < count; ++i) {
        char32_t c = static_cast<char16_t>(wide[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (narrowLength == 0)
        return static_cast<int>(out.size());
    if (static_cast<int>(out.size()) > narrowLength)
        return 0;
    std::memcpy(narrow, out.data(), out.size());
    return static_cast<int>(out.size());
}

INT_PTR CFakeSystemApi::DialogBoxParamA(HINSTANCE, LPCSTR templateName, HWND owner, DLGPROC proc,
                                        LPARAM param) {
    log.push_back("DialogBoxParamA");
    UINT templateId = static_cast<UINT>(reinterpret_cast<UINT_PTR>(templateName));
    dialogTemplates.push_back(templateId);
    dialogOwners.push_back(owner);
    if (!runDialog)
        return -1;
    HWND window = m_dialogDepth == 0
                      ? dialogWindow
                      : reinterpret_cast<HWND>(reinterpret_cast<UINT_PTR>(dialogWindow) +
                                               0x100 * m_dialogDepth);
    ++m_dialogDepth;
    INT_PTR result = runDialog(templateId, window, proc, param);
    --m_dialogDepth;
    return result;
}

BOOL CFakeSystemApi::EndDialog(HWND dialog, INT_PTR result) {
    endDialogResult = result;
    endDialogWindow = dialog;
    log.push_back("EndDialog(" + std::to_string(result) + ")");
    return TRUE;
}

int CFakeSystemApi::MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    messageBoxes.push_back({owner, text ? text : "", caption ? caption : "", type});
    log.push_back("MessageBoxA(" + messageBoxes.back().text + ")");
    return IDOK;
}

BOOL CFakeSystemApi::ShowWindow(HWND, int command) {
    bool wasVisible = dialogVisible;
    dialogVisible = command != SW_HIDE;
    log.push_back("ShowWindow(" + std::to_string(command) + ")");
    return wasVisible;
}

BOOL CFakeSystemApi::SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy,
                                  UINT flags) {
    windowPlacements.push_back({window, insertAfter, x, y, cx, cy, flags});
    if (insertAfter == HWND_TOPMOST)
        dialogTopmost = true;
    log.push_back("SetWindowPos(" + std::string(insertAfter == HWND_TOPMOST ? "topmost" : "other") +
                  "," + std::to_string(flags) + ")");
    return TRUE;
}

HWND CFakeSystemApi::GetDlgItem(HWND, int id) {
    return reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x10000 + id));
}

BOOL CFakeSystemApi::EnableWindow(HWND window, BOOL enable) {
    int id = static_cast<int>(reinterpret_cast<UINT_PTR>(window) - 0x10000);
    bool wasDisabled = enabledItems.count(id) && !enabledItems[id];
    enabledItems[id] = enable != FALSE;
    log.push_back("EnableWindow(" + std::to_string(id) + "," + std::to_string(enable) + ")");
    return wasDisabled;
}

UINT CFakeSystemApi::GetDlgItemTextA(HWND, int id, LPSTR text, int max) {
    const std::string& current = dialogItemTexts[id];
    if (max <= 0)
        return 0;
    if (unreadableItems.count(id)) {
        std::memset(text, 0xCC, static_cast<size_t>(max));
        return 0;
    }
    // A text that does not fit is cut, as Windows cuts it: never inside a double-byte character.
    size_t n = 0;
    while (n < current.size()) {
        size_t step = SystemCharLength(current.data(), n, current.size());
        if (n + step > static_cast<size_t>(max - 1))
            break;
        n += step;
    }
    std::memcpy(text, current.data(), n);
    text[n] = '\0';
    return static_cast<UINT>(n);
}

BOOL CFakeSystemApi::SetDlgItemTextA(HWND, int id, LPCSTR text) {
    dialogItemTexts[id] = text ? text : "";
    log.push_back("SetDlgItemTextA(" + std::to_string(id) + "," + dialogItemTexts[id] + ")");
    return TRUE;
}

BOOL CFakeSystemApi::PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    postedMessages.push_back({window, message, wParam, lParam});
    log.push_back("PostMessageA(" + std::to_string(message) + ")");
    return TRUE;
}

LRESULT CFakeSystemApi::SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    sentMessages.push_back({window, message, wParam, lParam});
    log.push_back("SendMessageA(" + std::to_string(message) + ")");
    return 0;
}

BOOL CFakeSystemApi::PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax,
                                  UINT remove) {
    if (logPeeks)
        log.push_back("PeekMessageA(" + std::to_string(reinterpret_cast<UINT_PTR>(window)) + "," +
                      std::to_string(filterMin) + "," + std::to_string(filterMax) + "," +
                      std::to_string(remove) + ")");
    if (pendingMessages.empty())
        return FALSE;
    *msg = pendingMessages.front();
    if (remove & PM_REMOVE)
        pendingMessages.erase(pendingMessages.begin());
    return TRUE;
}

BOOL CFakeSystemApi::IsDialogMessageA(HWND dialog, LPMSG msg) {
    dialogMessageWindows.push_back(dialog);
    return msg->message == WM_KEYDOWN;
}

BOOL CFakeSystemApi::TranslateMessage(const MSG* msg) {
    translatedMessages.push_back(msg->message);
    return FALSE;
}

LRESULT CFakeSystemApi::DispatchMessageA(const MSG* msg) {
    dispatchedMessages.push_back(msg->message);
    return 0;
}

HMENU CFakeSystemApi::GetSystemMenu(HWND, BOOL) {
    return hasSystemMenu ? kSystemMenu : nullptr;
}

BOOL CFakeSystemApi::AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR item) {
    if (menu != kSystemMenu)
        return FALSE;
    systemMenu.push_back((flags & MF_SEPARATOR) ? "-" : std::string(item ? item : ""));
    systemMenuIds.push_back(id);
    return TRUE;
}

BOOL CFakeSystemApi::IsIconic(HWND) {
    return dialogIconic;
}

HDC CFakeSystemApi::BeginPaint(HWND, LPPAINTSTRUCT paint) {
    *paint = PAINTSTRUCT{};
    paint->hdc = paintDc;
    return paint->hdc;
}

BOOL CFakeSystemApi::EndPaint(HWND, const PAINTSTRUCT*) {
    return TRUE;
}

int CFakeSystemApi::GetSystemMetrics(int index) {
    auto it = systemMetrics.find(index);
    return it == systemMetrics.end() ? 0 : it->second;
}

BOOL CFakeSystemApi::GetClientRect(HWND, LPRECT rect) {
    *rect = clientRect;
    return TRUE;
}

BOOL CFakeSystemApi::DrawIcon(HDC, int x, int y, HICON) {
    log.push_back("DrawIcon(" + std::to_string(x) + "," + std::to_string(y) + ")");
    return TRUE;
}

LONG_PTR CFakeSystemApi::SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    LONG_PTR& slot = windowLongs[{window, index}];
    LONG_PTR previous = slot;
    slot = value;
    return previous;
}

LONG_PTR CFakeSystemApi::GetWindowLongPtrA(HWND window, int index) {
    auto it = windowLongs.find({window, index});
    return it == windowLongs.end() ? 0 : it->second;
}

BOOL CFakeSystemApi::GetWindowRect(HWND window, LPRECT rect) {
    auto it = windowRects.find(window);
    if (it == windowRects.end())
        return FALSE;
    *rect = it->second;
    return TRUE;
}

namespace {

LONG Overlap(LONG aFrom, LONG aTo, LONG bFrom, LONG bTo) {
    return std::max<LONG>(0, std::min(aTo, bTo) - std::max(aFrom, bFrom));
}

// How far a rectangle lies outside another, as the larger of the two axis gaps.
LONG Distance(const RECT& a, const RECT& b) {
    LONG dx = std::max<LONG>({0, b.left - a.right, a.left - b.right});
    LONG dy = std::max<LONG>({0, b.top - a.bottom, a.top - b.bottom});
    return std::max(dx, dy);
}

HMONITOR MonitorHandle(size_t index) {
    return reinterpret_cast<HMONITOR>(static_cast<UINT_PTR>(0x4D00 + index + 1));
}

} // namespace

// The monitor the window overlaps most; without overlap, as the flags say: none, the primary
// one, or the nearest.
HMONITOR CFakeSystemApi::MonitorFromWindow(HWND window, DWORD flags) {
    auto it = windowRects.find(window);
    if (monitors.empty() || it == windowRects.end())
        return nullptr;
    const RECT& w = it->second;
    size_t best = monitors.size();
    LONG bestArea = 0;
    for (size_t i = 0; i < monitors.size(); ++i) {
        const RECT& m = monitors[i].monitor;
        LONG area =
            Overlap(w.left, w.right, m.left, m.right) * Overlap(w.top, w.bottom, m.top, m.bottom);
        if (area > bestArea)
            best = i, bestArea = area;
    }
    if (best < monitors.size())
        return MonitorHandle(best);
    if (flags == MONITOR_DEFAULTTOPRIMARY)
        return MonitorHandle(0);
    if (flags != MONITOR_DEFAULTTONEAREST)
        return nullptr;
    best = 0;
    for (size_t i = 1; i < monitors.size(); ++i)
        if (Distance(w, monitors[i].monitor) < Distance(w, monitors[best].monitor))
            best = i;
    return MonitorHandle(best);
}

BOOL CFakeSystemApi::GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info) {
    size_t index = static_cast<size_t>(reinterpret_cast<UINT_PTR>(monitor)) - 0x4D00 - 1;
    if (index >= monitors.size() || !info || info->cbSize < sizeof(MONITORINFO))
        return FALSE;
    info->rcMonitor = monitors[index].monitor;
    info->rcWork = monitors[index].work;
    info->dwFlags = index == 0 ? MONITORINFOF_PRIMARY : 0;
    return TRUE;
}
