// Run-time library and debug output: counted strings, DbgPrintEx, the pageable-code check.
#include "Internal.h"

#include <cstdio>

using namespace ntsim;

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

extern "C" ULONG vDbgPrintEx(ULONG componentId, ULONG level, PCSTR format, va_list arguments) {
    (void)componentId;
    (void)level;
    (void)format;
    (void)arguments;
    return 0; // STATUS_SUCCESS: debug output goes nowhere without a debugger
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
