// Run-time library and debug output: counted strings, DbgPrintEx as a debugger shows it, the
// pageable-code check.
#include "Internal.h"

#include <cstdio>
#include <cstring>

using namespace ntsim;
using namespace ntsim::detail;

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    size_t length = 0;
    while (source != nullptr && source[length] != 0)
        ++length;
    destination->Buffer = const_cast<PWCH>(source);
    destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    destination->MaximumLength =
        static_cast<USHORT>(source != nullptr ? destination->Length + sizeof(WCHAR) : 0);
}

// Frees a string the kernel allocated (a device interface's link).
extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING string) {
    if (string->Buffer != nullptr)
        ExFreePool(string->Buffer);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

namespace ntsim::detail {
void DebugLog::Add(DebugLine line) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(std::move(line));
    if (lines_.size() > kKept)
        lines_.pop_front();
}

std::vector<DebugLine> DebugLog::Lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return std::vector<DebugLine>(lines_.begin(), lines_.end());
}
} // namespace ntsim::detail

// What a debugger attached to the kernel would show. Its printf knows the C conversions only: a
// trace-format extension such as "%!STATUS!" must be rendered by the driver before it gets here,
// so a format still carrying one is kept as it is and reported.
extern "C" ULONG vDbgPrintEx(ULONG componentId, ULONG level, PCSTR format, va_list arguments) {
    DebugLine line{componentId, level, {}};
    if (format == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (std::strstr(format, "%!") != nullptr) {
        line.text = format;
        Violate(ViolationKind::Debug,
                std::string("DbgPrintEx format with a trace-format extension: ") + format);
    } else {
        va_list copy;
        va_copy(copy, arguments);
        int length = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (length > 0) {
            std::vector<char> text(static_cast<size_t>(length) + 1);
            std::vsnprintf(text.data(), text.size(), format, arguments);
            line.text.assign(text.data(), static_cast<size_t>(length));
        }
    }
    K().debugLog.Add(std::move(line));
    return STATUS_SUCCESS;
}

extern "C" ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    ULONG result = vDbgPrintEx(componentId, level, format, arguments);
    va_end(arguments);
    return result;
}

// As the kernel's export behaves: -1 when the text does not fit, and then no terminator.
extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments) {
    if (count == 0)
        return -1;
    int length = std::vsnprintf(buffer, count, format, arguments);
    if (length < 0 || static_cast<size_t>(length) >= count) {
        // Callers must not rely on the terminator here either.
        return -1;
    }
    return length;
}

// Pageable code runs below DISPATCH_LEVEL.
extern "C" VOID KmdfVerifierCheckPagedCode(PCSTR routine) {
    if (detail::Current().irql > APC_LEVEL)
        detail::Violate(ViolationKind::Irql, std::string("pageable code in ") + routine +
                                                 " ran at IRQL " +
                                                 std::to_string(detail::Current().irql));
}
