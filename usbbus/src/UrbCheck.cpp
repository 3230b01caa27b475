// What the host stack checks of a URB before it takes it: a known function, a header Length that
// is that function's structure (the selections: at least their fixed part), and the members that
// are the stack's own or reserved left zero, as a client that zeroes its URB leaves them.
#include "Bus.h"

namespace {

// One URB function as the stack knows it.
struct UrbShape {
    USHORT function;
    USHORT size;           // its structure's size
    BOOLEAN variable;      // the size is only the least (the selections' interface arrays)
    BOOLEAN transfer;      // the transfer layout (UrbTransfer): it moves data
    BOOLEAN vendorOrClass; // _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, with its reserved members
};

constexpr USHORT kVendorOrClassSize = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);

const UrbShape kShapes[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, offsetof(_URB_SELECT_CONFIGURATION, Interface), TRUE, FALSE,
     FALSE},
    {URB_FUNCTION_SELECT_INTERFACE, offsetof(_URB_SELECT_INTERFACE, Interface), TRUE, FALSE, FALSE},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), FALSE, TRUE,
     FALSE},
    {URB_FUNCTION_VENDOR_DEVICE, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_VENDOR_INTERFACE, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_VENDOR_ENDPOINT, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_VENDOR_OTHER, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_CLASS_DEVICE, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_CLASS_INTERFACE, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_CLASS_ENDPOINT, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_CLASS_OTHER, kVendorOrClassSize, FALSE, TRUE, TRUE},
    {URB_FUNCTION_CONTROL_TRANSFER, sizeof(_URB_CONTROL_TRANSFER), FALSE, TRUE, FALSE},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), FALSE, TRUE,
     FALSE},
    {URB_FUNCTION_ABORT_PIPE, sizeof(_URB_PIPE_REQUEST), FALSE, FALSE, FALSE},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(_URB_PIPE_REQUEST), FALSE, FALSE, FALSE},
    {URB_FUNCTION_SYNC_RESET_PIPE, sizeof(_URB_PIPE_REQUEST), FALSE, FALSE, FALSE},
    {URB_FUNCTION_SYNC_CLEAR_STALL, sizeof(_URB_PIPE_REQUEST), FALSE, FALSE, FALSE},
};

const UrbShape* ShapeOf(USHORT function) {
    for (const UrbShape& shape : kShapes)
        if (shape.function == function)
            return &shape;
    return NULL;
}

} // namespace

BOOLEAN MovesData(USHORT function) {
    const UrbShape* shape = ShapeOf(function);
    return shape != NULL && shape->transfer;
}

USBD_STATUS CheckUrb(PURB urb) {
    const UrbShape* shape = ShapeOf(urb->UrbHeader.Function);
    if (shape == NULL)
        return USBD_STATUS_INVALID_URB_FUNCTION;
    USHORT length = urb->UrbHeader.Length;
    if (shape->variable ? length < shape->size : length != shape->size)
        return USBD_STATUS_INVALID_PARAMETER;
    if (urb->UrbHeader.UsbdFlags != 0)
        return USBD_STATUS_INVALID_PARAMETER;
    const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    if (shape->vendorOrClass && (r.Reserved != NULL || r.Reserved1 != 0))
        return USBD_STATUS_INVALID_PARAMETER;
    return USBD_STATUS_SUCCESS;
}
