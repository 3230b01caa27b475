// The system error codes the client tells apart, by value, so that builds without the Windows
// headers agree with DeviceIoControl (the Windows transport checks them against winerror.h).
#pragma once

#include <cstdint>

namespace talvik::syserr {

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kInvalidFunction = 1;      // STATUS_INVALID_DEVICE_REQUEST
constexpr uint32_t kFileNotFound = 2;         // STATUS_OBJECT_NAME_NOT_FOUND
constexpr uint32_t kAccessDenied = 5;         // STATUS_DELETE_PENDING, STATUS_ACCESS_DENIED
constexpr uint32_t kInvalidHandle = 6;        // STATUS_INVALID_HANDLE
constexpr uint32_t kNotReady = 21;            // STATUS_DEVICE_NOT_READY
constexpr uint32_t kBadCommand = 22;          // STATUS_INVALID_DEVICE_STATE
constexpr uint32_t kCrc = 23;                 // STATUS_DEVICE_DATA_ERROR
constexpr uint32_t kGenFailure = 31;          // STATUS_UNSUCCESSFUL
constexpr uint32_t kNotSupported = 50;        // STATUS_NOT_SUPPORTED
constexpr uint32_t kInvalidParameter = 87;    // STATUS_INVALID_PARAMETER
constexpr uint32_t kSemTimeout = 121;         // STATUS_IO_TIMEOUT
constexpr uint32_t kInsufficientBuffer = 122; // STATUS_BUFFER_TOO_SMALL
constexpr uint32_t kMoreData = 234;           // STATUS_BUFFER_OVERFLOW
constexpr uint32_t kNoMoreItems = 259;
constexpr uint32_t kMrMidNotFound = 317;    // a status without a translation
constexpr uint32_t kNoSuchDevice = 433;     // STATUS_NO_SUCH_DEVICE
constexpr uint32_t kOperationAborted = 995; // STATUS_CANCELLED
constexpr uint32_t kIoPending = 997;
constexpr uint32_t kDeviceNotConnected = 1167; // STATUS_DEVICE_NOT_CONNECTED
constexpr uint32_t kNoSystemResources = 1450;  // STATUS_INSUFFICIENT_RESOURCES
constexpr uint32_t kDeviceRemoved = 1617;      // STATUS_DEVICE_REMOVED

} // namespace talvik::syserr
