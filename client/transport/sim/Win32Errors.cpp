#include "Win32Errors.h"

namespace talvik {

uint32_t Win32ErrorOf(int32_t ntStatus) {
    switch (static_cast<uint32_t>(ntStatus)) {
    case 0x00000000:
        return 0; // ERROR_SUCCESS
    case 0x00000103:
        return 997; // ERROR_IO_PENDING
    case 0xC0000001:
        return 31; // ERROR_GEN_FAILURE
    case 0xC0000005:
        return 998; // ERROR_NOACCESS
    case 0xC0000008:
        return 6; // ERROR_INVALID_HANDLE
    case 0xC000000D:
        return 87; // ERROR_INVALID_PARAMETER
    case 0xC000000E:
        return 433; // ERROR_NO_SUCH_DEVICE
    case 0xC0000010:
        return 1; // ERROR_INVALID_FUNCTION
    case 0xC0000022:
        return 5; // ERROR_ACCESS_DENIED
    case 0xC0000023:
        return 122; // ERROR_INSUFFICIENT_BUFFER
    case 0xC0000034:
        return 2; // ERROR_FILE_NOT_FOUND
    case 0xC000003A:
        return 3; // ERROR_PATH_NOT_FOUND
    case 0xC000003F:
        return 23; // ERROR_CRC
    case 0xC0000056:
        return 5; // ERROR_ACCESS_DENIED (delete pending)
    case 0xC000009A:
        return 1450; // ERROR_NO_SYSTEM_RESOURCES
    case 0xC000009D:
        return 1167; // ERROR_DEVICE_NOT_CONNECTED
    case 0xC00000A3:
        return 21; // ERROR_NOT_READY
    case 0xC00000B5:
        return 121; // ERROR_SEM_TIMEOUT
    case 0xC00000BB:
        return 50; // ERROR_NOT_SUPPORTED
    case 0xC00000E8:
        return 1784; // ERROR_INVALID_USER_BUFFER
    case 0xC0000120:
        return 995; // ERROR_OPERATION_ABORTED
    case 0xC0000184:
        return 22; // ERROR_BAD_COMMAND
    case 0xC0000225:
        return 1168; // ERROR_NOT_FOUND
    case 0xC00002B6:
        return 1617; // ERROR_DEVICE_REMOVED
    default:
        return 317; // ERROR_MR_MID_NOT_FOUND
    }
}

} // namespace talvik
