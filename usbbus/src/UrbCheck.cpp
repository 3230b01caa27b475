// What the host stack checks of a URB before it takes it: a known function, a header Length that
// is that function's structure (the selections: at least their fixed part), and the members that
// are the stack's own or reserved left zero, as a client that zeroes its URB leaves them.
#include "Bus.h"

namespace {

// The structure's size for `function`; *variable when that is only the least.
BOOLEAN SizeOf(USHORT function, USHORT* size, BOOLEAN* variable) {
    *variable = FALSE;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        *variable = TRUE;
        *size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
        return TRUE;
    case URB_FUNCTION_SELECT_INTERFACE:
        *variable = TRUE;
        *size = offsetof(_URB_SELECT_INTERFACE, Interface);
        return TRUE;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        *size = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
        return TRUE;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        *size = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        return TRUE;
    case URB_FUNCTION_CONTROL_TRANSFER:
        *size = sizeof(_URB_CONTROL_TRANSFER);
        return TRUE;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        *size = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        return TRUE;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        *size = sizeof(_URB_PIPE_REQUEST);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

USBD_STATUS CheckUrb(PURB urb) {
    USHORT size;
    BOOLEAN variable;
    USHORT function = urb->UrbHeader.Function;
    if (!SizeOf(function, &size, &variable))
        return USBD_STATUS_INVALID_URB_FUNCTION;
    USHORT length = urb->UrbHeader.Length;
    if (variable ? length < size : length != size)
        return USBD_STATUS_INVALID_PARAMETER;
    if (urb->UrbHeader.UsbdFlags != 0)
        return USBD_STATUS_INVALID_PARAMETER;
    BOOLEAN vendorOrClass = size == sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) &&
                            function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
                            function != URB_FUNCTION_CONTROL_TRANSFER;
    const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
    if (vendorOrClass && (r.Reserved != NULL || r.Reserved1 != 0))
        return USBD_STATUS_INVALID_PARAMETER;
    return USBD_STATUS_SUCCESS;
}
