// Device interfaces: registered on a PDO under a class GUID, enabled and disabled by the driver;
// a user-mode caller finds the enabled ones and opens them by path.
#include "Internal.h"

#include <cctype>

using namespace ntsim;
using namespace ntsim::detail;

namespace {

constexpr ULONG kLinkTag = 'lIsN';

std::string LinkFor(const std::string& deviceId, const std::string& instanceId, const GUID& guid,
                    const std::string& reference) {
    std::string link = "\\??\\";
    for (char c : deviceId + "\\" + instanceId)
        link.push_back(c == '\\' ? '#' : c);
    link += "#" + GuidText(guid);
    if (!reference.empty())
        link += "\\" + reference;
    return link;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

namespace ntsim::detail {

// A user-mode path (\\?\...) or a kernel link (\??\...) to the interface's PDO, if enabled.
PDEVICE_OBJECT FindEnabledInterface(const std::string& path) {
    if (path.size() < 4)
        return nullptr;
    std::string wanted = Lower("\\??\\" + path.substr(4));
    std::lock_guard<std::mutex> lock(K().interfaces.mu);
    for (auto& [link, record] : K().interfaces.byLink)
        if (record.enabled && Lower(link) == wanted)
            return record.pdo;
    return nullptr;
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(K().interfaces.mu);
    for (auto& [link, record] : K().interfaces.byLink)
        if (record.pdo == pdo)
            record.enabled = false;
}

std::vector<std::string> EnabledInterfaces(const GUID& guid) {
    std::vector<std::string> paths;
    std::lock_guard<std::mutex> lock(K().interfaces.mu);
    for (auto& [link, record] : K().interfaces.byLink)
        if (record.enabled && memcmp(&record.guid, &guid, sizeof guid) == 0)
            paths.push_back("\\\\?\\" + link.substr(4));
    return paths;
}

} // namespace ntsim::detail

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, CONST GUID* guid,
                                                    PUNICODE_STRING reference,
                                                    PUNICODE_STRING symbolicLink) {
    CheckIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL);
    std::string deviceId, instanceId;
    if (!IsPdo(pdo, &deviceId, &instanceId))
        return STATUS_INVALID_DEVICE_REQUEST;
    std::string referenceText;
    if (reference != nullptr && reference->Buffer != nullptr)
        referenceText = Narrow(reference->Buffer, reference->Length / sizeof(WCHAR));
    std::string link = LinkFor(deviceId, instanceId, *guid, referenceText);
    {
        std::lock_guard<std::mutex> lock(K().interfaces.mu);
        // The interface is the device instance's: a device arriving again under the same
        // instance id (same port) takes it over from the removed PDO, or opening the link would
        // reach the old, deleted stack.
        auto found = K().interfaces.byLink.find(link);
        if (found == K().interfaces.byLink.end())
            K().interfaces.byLink[link] = InterfaceRecord{pdo, *guid, false};
        else if (found->second.pdo != pdo)
            found->second = InterfaceRecord{pdo, *guid, false};
    }
    std::u16string wide = Widen(link);
    size_t bytes = (wide.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, kLinkTag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, wide.c_str(), bytes);
    symbolicLink->Buffer = buffer;
    symbolicLink->Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
    symbolicLink->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLink, BOOLEAN enable) {
    CheckIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
    std::string link = Narrow(symbolicLink->Buffer, symbolicLink->Length / sizeof(WCHAR));
    std::lock_guard<std::mutex> lock(K().interfaces.mu);
    auto found = K().interfaces.byLink.find(link);
    if (found == K().interfaces.byLink.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    found->second.enabled = enable != FALSE;
    return STATUS_SUCCESS;
}
