// The wire contract with the driver, taken from the header the driver itself is built with.
#include "talvik/Client.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#include <initguid.h>
#else
#include "native/WireTypes.h"
#endif
#include "TalvikPublic.h"

#include <cstddef>

namespace talvik {

namespace {

static_assert(sizeof(VENDOR_OR_CLASS_REQUEST_CONTROL) == kVendorBlockSize);

// Only a vendor request to the device is served: RequestType 2, Recipient 0.
constexpr uint8_t kRequestTypeVendor = 2;
constexpr uint8_t kRecipientDevice = 0;

void PutByte(VendorBlock& block, size_t offset, uint8_t value) {
    block[offset] = value;
}

// Multi-byte fields are little-endian on the wire whatever the host's order.
void PutWord(VendorBlock& block, size_t offset, uint16_t value) {
    block[offset] = static_cast<uint8_t>(value & 0xFF);
    block[offset + 1] = static_cast<uint8_t>(value >> 8);
}

InterfaceClass MakeInterfaceClass() {
#ifdef _WIN32
    const GUID& g = GUID_DEVINTERFACE_TALVIK;
    InterfaceClass cls{static_cast<uint32_t>(g.Data1), g.Data2, g.Data3, {}};
    for (int i = 0; i < 8; ++i)
        cls.data4[i] = g.Data4[i];
    return cls;
#else
    return GUID_DEVINTERFACE_TALVIK;
#endif
}

} // namespace

VendorBlock EncodeVendorBlock(Direction direction, uint8_t request, uint16_t value,
                              uint16_t index) {
    using Block = VENDOR_OR_CLASS_REQUEST_CONTROL;
    VendorBlock block{};
    PutByte(block, offsetof(Block, Direction), static_cast<uint8_t>(direction));
    PutByte(block, offsetof(Block, RequestType), kRequestTypeVendor);
    PutByte(block, offsetof(Block, Recipient), kRecipientDevice);
    PutByte(block, offsetof(Block, Request), request);
    PutWord(block, offsetof(Block, Value), value);
    PutWord(block, offsetof(Block, Index), index);
    return block;
}

uint32_t VendorRequestCode() {
    return IOCTL_VENDOR_OR_CLASS_REQUEST;
}
uint32_t ReadInterruptCode() {
    return IOCTL_READ_INTERRUPT_PIPE;
}

const InterfaceClass& ColorimeterInterfaceClass() {
    static const InterfaceClass cls = MakeInterfaceClass();
    return cls;
}

} // namespace talvik
