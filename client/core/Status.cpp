#include "talvik/Client.h"
#include "talvik/SystemErrors.h"

namespace talvik {

const char* StatusName(Status status) {
    switch (status) {
    case Status::Success:
        return "success";
    case Status::InvalidRequest:
        return "invalid request";
    case Status::BufferTooSmall:
        return "buffer too small";
    case Status::Timeout:
        return "timed out";
    case Status::Cancelled:
        return "cancelled";
    case Status::DeviceError:
        return "device error";
    case Status::DeviceGone:
        return "device gone";
    case Status::InvalidArgument:
        return "invalid argument";
    case Status::NotOpen:
        return "not open";
    case Status::Failed:
        return "failed";
    }
    return "failed";
}

Status StatusFromError(uint32_t error) {
    using namespace syserr;
    switch (error) {
    case kSuccess:
        return Status::Success;
    case kInvalidFunction:
    case kNotSupported:
        return Status::InvalidRequest;
    case kInsufficientBuffer:
        return Status::BufferTooSmall;
    case kSemTimeout:
        return Status::Timeout;
    case kOperationAborted:
        return Status::Cancelled;
    case kGenFailure:
    case kCrc:
    case kBadCommand:
    case kNotReady:
        return Status::DeviceError;
    case kFileNotFound:
    case kNoSuchDevice:
    case kDeviceNotConnected:
    case kDeviceRemoved:
        return Status::DeviceGone;
    case kInvalidParameter:
        return Status::InvalidArgument;
    case kInvalidHandle:
        return Status::NotOpen;
    default:
        return Status::Failed;
    }
}

} // namespace talvik
