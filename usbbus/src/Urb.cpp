// Internal device control on a child PDO: URBs (descriptors, configuration and interface
// selection, control, bulk and interrupt transfers, pipe requests) once the host stack has taken
// them (UrbCheck.cpp), port status and the idle notification.
#include "Bus.h"

namespace {

static_assert(offsetof(UrbTransfer, TransferBufferLength) ==
                  offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength),
              "transfer URBs share their layout");
static_assert(offsetof(UrbTransfer, TransferBufferMDL) ==
                  offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL),
              "transfer URBs share their layout");
static_assert(offsetof(UrbTransfer, TransferBuffer) ==
                  offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer),
              "transfer URBs share their layout");

NTSTATUS FailUrb(PIRP irp, NTSTATUS status, USBD_STATUS usbd) {
    UrbOf(irp)->UrbHeader.Status = usbd;
    return CompleteIrp(irp, status, 0);
}

NTSTATUS SucceedUrb(PIRP irp) {
    return FailUrb(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// Walks a configuration's descriptors: the interface `number`/`alternate`, NULL if none.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const USB_CONFIGURATION_DESCRIPTOR* config,
                                              UCHAR number, UCHAR alternate) {
    const UCHAR* p = reinterpret_cast<const UCHAR*>(config);
    const UCHAR* end = p + config->wTotalLength;
    for (p += config->bLength; p + 2 <= end && p[0] != 0; p += p[0]) {
        auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d->bInterfaceNumber == number &&
            d->bAlternateSetting == alternate)
            return d;
    }
    return NULL;
}

const USB_ENDPOINT_DESCRIPTOR* EndpointAfter(const USB_CONFIGURATION_DESCRIPTOR* config,
                                             const USB_INTERFACE_DESCRIPTOR* iface, ULONG index) {
    const UCHAR* p = reinterpret_cast<const UCHAR*>(iface) + iface->bLength;
    const UCHAR* end = reinterpret_cast<const UCHAR*>(config) + config->wTotalLength;
    for (ULONG seen = 0; p + 2 <= end && p[0] != 0 && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE;
         p += p[0])
        if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && seen++ == index)
            return reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
    return NULL;
}

// Configures one interface's pipes and fills the caller's interface information; FALSE when the
// caller's structure is too short for the pipes or names no such interface.
BOOLEAN SelectInterface(Child* child, PUSBD_INTERFACE_INFORMATION info, const UCHAR* limit) {
    const USB_CONFIGURATION_DESCRIPTOR* config = child->device->ConfigurationDescriptor();
    const USB_INTERFACE_DESCRIPTOR* iface =
        FindInterface(config, info->InterfaceNumber, info->AlternateSetting);
    if (iface == NULL || iface->bInterfaceNumber >= USBBUS_MAX_PIPES ||
        reinterpret_cast<const UCHAR*>(info) + info->Length > limit ||
        info->Length < USBD_INTERFACE_INFORMATION_SIZE(iface->bNumEndpoints))
        return FALSE;
    for (ULONG i = 0; i < USBBUS_MAX_PIPES; ++i) {
        BusPipe* pipe = &child->pipes[i];
        if (pipe->valid && pipe->interfaceNumber == iface->bInterfaceNumber) {
            FailPending(child, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
            FreeInData(pipe);
            pipe->valid = FALSE;
        }
    }
    info->Class = iface->bInterfaceClass;
    info->SubClass = iface->bInterfaceSubClass;
    info->Protocol = iface->bInterfaceProtocol;
    info->InterfaceHandle = &child->alternate[iface->bInterfaceNumber];
    info->NumberOfPipes = iface->bNumEndpoints;
    child->alternate[iface->bInterfaceNumber] = iface->bAlternateSetting;
    ULONG slot = 0;
    for (ULONG e = 0; e < iface->bNumEndpoints; ++e) {
        const USB_ENDPOINT_DESCRIPTOR* endpoint = EndpointAfter(config, iface, e);
        while (slot < USBBUS_MAX_PIPES && child->pipes[slot].valid)
            ++slot;
        if (endpoint == NULL || slot == USBBUS_MAX_PIPES)
            return FALSE;
        BusPipe* pipe = &child->pipes[slot];
        pipe->valid = TRUE;
        pipe->halted = FALSE;
        pipe->interfaceNumber = iface->bInterfaceNumber;
        pipe->endpoint = *endpoint;
        PUSBD_PIPE_INFORMATION out = &info->Pipes[e];
        out->MaximumPacketSize = endpoint->wMaxPacketSize;
        out->EndpointAddress = endpoint->bEndpointAddress;
        out->Interval = endpoint->bInterval;
        out->PipeType =
            static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        out->PipeHandle = pipe;
        if (out->MaximumTransferSize == 0)
            out->MaximumTransferSize = 0x400000;
    }
    return TRUE;
}

NTSTATUS SelectConfiguration(Child* child, PIRP irp, PURB urb) {
    auto* select = reinterpret_cast<_URB_SELECT_CONFIGURATION*>(urb);
    PUSB_CONFIGURATION_DESCRIPTOR wanted = select->ConfigurationDescriptor;
    USB_SETUP_PACKET setup = {0x00, 0x09,
                              static_cast<USHORT>(wanted ? wanted->bConfigurationValue : 0), 0, 0};
    LogSetup(child, 0, &setup);
    for (ULONG i = 0; i < USBBUS_MAX_PIPES; ++i)
        if (child->pipes[i].valid) {
            FailPending(child, &child->pipes[i], STATUS_CANCELLED, USBD_STATUS_CANCELED);
            FreeInData(&child->pipes[i]);
            child->pipes[i].valid = FALSE;
        }
    child->configurationValue = 0;
    if (wanted == NULL)
        return SucceedUrb(irp);
    const USB_CONFIGURATION_DESCRIPTOR* config = child->device->ConfigurationDescriptor();
    if (wanted->bConfigurationValue != config->bConfigurationValue)
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    const UCHAR* limit = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    PUSBD_INTERFACE_INFORMATION info = &select->Interface;
    for (ULONG i = 0; i < config->bNumInterfaces; ++i) {
        if (!SelectInterface(child, info, limit))
            return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                             info->Length);
    }
    child->configurationValue = config->bConfigurationValue;
    select->ConfigurationHandle = &child->configurationValue;
    return SucceedUrb(irp);
}

NTSTATUS SelectInterfaceUrb(Child* child, PIRP irp, PURB urb) {
    auto* select = reinterpret_cast<_URB_SELECT_INTERFACE*>(urb);
    if (child->configurationValue == 0 || select->ConfigurationHandle != &child->configurationValue)
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    USB_SETUP_PACKET setup = {0x01, 0x0B, select->Interface.AlternateSetting,
                              select->Interface.InterfaceNumber, 0};
    LogSetup(child, 0, &setup);
    const UCHAR* limit = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    if (!SelectInterface(child, &select->Interface, limit))
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    return SucceedUrb(irp);
}

NTSTATUS GetDescriptor(Child* child, PIRP irp, PURB urb) {
    auto* request = reinterpret_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(urb);
    USB_SETUP_PACKET setup = {
        0x80, 0x06, static_cast<USHORT>((request->DescriptorType << 8) | request->Index),
        request->LanguageId, static_cast<USHORT>(request->TransferBufferLength)};
    LogSetup(child, 0, &setup);
    const VOID* source = NULL;
    ULONG length = 0;
    if (request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        source = child->device->DeviceDescriptor();
        length = sizeof(USB_DEVICE_DESCRIPTOR);
    } else if (request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
               request->Index == 0) {
        source = child->device->ConfigurationDescriptor();
        length = child->device->ConfigurationDescriptor()->wTotalLength;
    } else if (request->DescriptorType == USB_STRING_DESCRIPTOR_TYPE) {
        source = child->device->StringDescriptor(request->Index, request->LanguageId, &length);
    }
    if (source == NULL)
        return CompleteUrb(child, irp, 0, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
    if (length > request->TransferBufferLength)
        length = request->TransferBufferLength;
    PUCHAR buffer = TransferBuffer(urb);
    if (buffer == NULL && length > 0)
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    RtlCopyMemory(buffer, source, length);
    LogData(child, 0, buffer, length);
    return CompleteUrb(child, irp, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS, length);
}

BusPipe* ValidPipe(Child* child, PVOID handle) {
    for (ULONG i = 0; i < USBBUS_MAX_PIPES; ++i)
        if (handle == &child->pipes[i] && child->pipes[i].valid)
            return &child->pipes[i];
    return NULL;
}

NTSTATUS Transfer(Child* child, PIRP irp, PURB urb) {
    UrbTransfer* t = TransferOf(urb);
    BusPipe* pipe = ValidPipe(child, t->Handle);
    if (pipe == NULL)
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    UCHAR endpoint = pipe->endpoint.bEndpointAddress;
    PUCHAR buffer = TransferBuffer(urb);
    if (buffer == NULL && t->TransferBufferLength > 0)
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (USB_ENDPOINT_DIRECTION_IN(endpoint))
        return SubmitPipeIn(child, pipe, irp);
    if (pipe->halted)
        return CompleteUrb(child, irp, endpoint, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED,
                           0);
    LogData(child, endpoint, buffer, t->TransferBufferLength);
    UsbReply reply = child->device->DataOut(endpoint, buffer, t->TransferBufferLength);
    if (reply.kind == UsbReplyStall) {
        pipe->halted = TRUE;
        return CompleteUrb(child, irp, endpoint, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
    }
    if (reply.kind == UsbReplyError)
        return CompleteUrb(child, irp, endpoint, STATUS_UNSUCCESSFUL, reply.usbdStatus, 0);
    return CompleteUrb(child, irp, endpoint, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
                       t->TransferBufferLength);
}

NTSTATUS PipeRequest(Child* child, PIRP irp, PURB urb) {
    auto* request = reinterpret_cast<_URB_PIPE_REQUEST*>(urb);
    BusPipe* pipe = ValidPipe(child, request->PipeHandle);
    if (pipe == NULL)
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        FailPending(child, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return SucceedUrb(irp);
    }
    // CLEAR_FEATURE(ENDPOINT_HALT) on the endpoint.
    USB_SETUP_PACKET setup = {0x02, 0x01, 0, pipe->endpoint.bEndpointAddress, 0};
    LogSetup(child, 0, &setup);
    pipe->halted = FALSE;
    return SucceedUrb(irp);
}

NTSTATUS SubmitUrb(Child* child, PIRP irp) {
    PURB urb = UrbOf(irp);
    if (urb == NULL)
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    if (!IsPresent(child)) {
        // A transfer the device is gone for moved nothing: its caller reads its length back.
        if (MovesData(urb->UrbHeader.Function))
            TransferOf(urb)->TransferBufferLength = 0;
        return FailUrb(irp, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    }
    USBD_STATUS checked = CheckUrb(urb);
    if (checked != USBD_STATUS_SUCCESS)
        return FailUrb(irp, STATUS_INVALID_PARAMETER, checked);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(child, irp, urb);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterfaceUrb(child, irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(child, irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_CONTROL_TRANSFER:
        if (TransferBuffer(urb) == NULL && TransferOf(urb)->TransferBufferLength > 0)
            return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        // wLength is 16 bits: a longer data stage cannot be stated in the setup packet.
        if (TransferOf(urb)->TransferBufferLength > 0xFFFF)
            return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        return SubmitControl(child, irp);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return Transfer(child, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return PipeRequest(child, irp, urb);
    default:
        return FailUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

} // namespace

// The buffer of a transfer URB: its own pointer, or its MDL's system address.
PUCHAR TransferBuffer(PURB urb) {
    UrbTransfer* t = TransferOf(urb);
    if (t->TransferBuffer != NULL)
        return static_cast<PUCHAR>(t->TransferBuffer);
    if (t->TransferBufferMDL != NULL)
        return static_cast<PUCHAR>(
            MmGetSystemAddressForMdlSafe(t->TransferBufferMDL, NormalPagePriority));
    return NULL;
}

NTSTATUS PdoInternal(Child* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(child, irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (status == NULL)
            return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        *status = IsPresent(child) ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        return SubmitIdle(child, irp);
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
