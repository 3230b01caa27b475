// The USB target device: the device and configuration descriptors read with URBs when it is
// made, configuration and interface selection, and requests formatted with the driver's URB.
// Every URB goes to the lower device as IOCTL_INTERNAL_USB_SUBMIT_URB.
#include "FxIo.h"
#include "FxExports.h"

static VOID FxUsbDeviceDispose(FxObject* object) {
    FxUsbDevice* usb = reinterpret_cast<FxUsbDevice*>(object);
    FxTargetUnlink(&usb->Target);
    if (usb->Config != NULL)
        ExFreePoolWithTag(usb->Config, FX_IO_POOL_TAG);
}

static PVOID FxUsbAllocate(SIZE_T size) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, FX_URB_POOL_TAG);
    if (p != NULL)
        RtlZeroMemory(p, size);
    return p;
}

// GET_DESCRIPTOR_FROM_DEVICE into `buffer`; the bytes the device gave in *length.
static NTSTATUS FxUsbGetDescriptor(FxDevice* device, UCHAR type, PVOID buffer, ULONG* length) {
    auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(
        FxUsbAllocate(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->DescriptorType = type;
    urb->TransferBuffer = buffer;
    urb->TransferBufferLength = *length;
    NTSTATUS status = FxSubmitUrbSync(device, reinterpret_cast<PURB>(urb));
    *length = urb->TransferBufferLength;
    ExFreePoolWithTag(urb, FX_URB_POOL_TAG);
    return status;
}

static NTSTATUS FxUsbReadDescriptors(FxUsbDevice* usb) {
    FxDevice* device = usb->Target.Device;
    ULONG length = sizeof(USB_DEVICE_DESCRIPTOR);
    PVOID buffer = FxUsbAllocate(length);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = FxUsbGetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, buffer, &length);
    if (NT_SUCCESS(status) && length < sizeof(USB_DEVICE_DESCRIPTOR))
        status = STATUS_DEVICE_NOT_CONNECTED;
    if (NT_SUCCESS(status))
        RtlCopyMemory(&usb->DeviceDescriptor, buffer, sizeof usb->DeviceDescriptor);
    ExFreePoolWithTag(buffer, FX_URB_POOL_TAG);
    if (!NT_SUCCESS(status))
        return status;
    // The configuration's header first, for its total length.
    USB_CONFIGURATION_DESCRIPTOR* header = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(
        FxUsbAllocate(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
    if (header == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    length = sizeof *header;
    status = FxUsbGetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, &length);
    ULONG total = header->wTotalLength;
    ExFreePoolWithTag(header, FX_URB_POOL_TAG);
    if (!NT_SUCCESS(status))
        return status;
    if (length < sizeof *header || total < sizeof *header)
        return STATUS_DEVICE_NOT_CONNECTED;
    usb->Config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, total, FX_IO_POOL_TAG));
    if (usb->Config == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    length = total;
    status = FxUsbGetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, usb->Config, &length);
    if (NT_SUCCESS(status) && length < total)
        status = STATUS_DEVICE_NOT_CONNECTED;
    return status;
}

// The interface descriptor `number`/`setting` of the configuration, or NULL.
static PUSB_INTERFACE_DESCRIPTOR FxUsbFindInterface(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                    LONG number, UCHAR setting) {
    PUCHAR p = reinterpret_cast<PUCHAR>(config) + config->bLength;
    PUCHAR end = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
    for (; p + 2 <= end && p[0] >= 2 && p + p[0] <= end; p += p[0]) {
        auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof *d &&
            (number < 0 || d->bInterfaceNumber == number) && d->bAlternateSetting == setting)
            return d;
    }
    return NULL;
}

static NTSTATUS FxUsbInterfaceCreate(FxUsbDevice* usb, UCHAR number, FxUsbInterface** created) {
    FxObject* object;
    NTSTATUS status =
        FxObjectCreate(sizeof(FxUsbInterface), FxTypeUsbInterface, NULL, &usb->Target.Object, NULL,
                       "WdfUsbTargetDeviceSelectConfig", &object);
    if (!NT_SUCCESS(status))
        return status;
    FxUsbInterface* usbInterface = reinterpret_cast<FxUsbInterface*>(object);
    usbInterface->UsbDevice = usb;
    usbInterface->Number = number;
    *created = usbInterface;
    return STATUS_SUCCESS;
}

NTSTATUS imp_WdfUsbTargetDeviceCreate(PWDF_DRIVER_GLOBALS globals, WDFDEVICE Device,
                                      PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxDevice* device = FxResolve<FxDevice>(Device, FX_API);
    if (device == NULL || UsbDevice == NULL)
        return STATUS_INVALID_PARAMETER;
    FxObject* object;
    status = FxObjectCreate(sizeof(FxUsbDevice), FxTypeIoTarget, Attributes, FxDeviceObject(device),
                            FxUsbDeviceDispose, FX_API, &object);
    if (!NT_SUCCESS(status))
        return status;
    FxUsbDevice* usb = reinterpret_cast<FxUsbDevice*>(object);
    FxTargetInit(&usb->Target, FxTargetUsbDevice, device);
    status = FxUsbReadDescriptors(usb);
    if (!NT_SUCCESS(status)) {
        FxObjectDelete(object);
        return status;
    }
    FxEvent("WdfUsbTargetDeviceCreate %04x:%04x", usb->DeviceDescriptor.idVendor,
            usb->DeviceDescriptor.idProduct);
    *UsbDevice = FxHandle<WDFUSBDEVICE>(usb);
    return STATUS_SUCCESS;
}

static FxUsbDevice* FxUsbDeviceResolve(WDFUSBDEVICE handle, PCSTR api) {
    return reinterpret_cast<FxUsbDevice*>(
        FxTargetResolve(reinterpret_cast<WDFIOTARGET>(handle), FxTargetUsbDevice, FALSE, api));
}

NTSTATUS imp_WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS globals,
                                                   WDFUSBDEVICE UsbDevice,
                                                   PWDF_USB_DEVICE_INFORMATION Information) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxUsbDevice* usb = FxUsbDeviceResolve(UsbDevice, FX_API);
    if (usb == NULL || Information == NULL)
        return STATUS_INVALID_PARAMETER;
    if (Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        FxViolation("WdfUsbTargetDeviceRetrieveInformation: Size is wrong");
        return STATUS_INVALID_PARAMETER;
    }
    Information->UsbdVersionInformation.USBDI_Version = 0x500;
    Information->UsbdVersionInformation.Supported_USB_Version = usb->DeviceDescriptor.bcdUSB;
    Information->HcdPortCapabilities = 0;
    UCHAR attributes = usb->Config->bmAttributes;
    Information->Traits =
        ((attributes & USB_CONFIG_SELF_POWERED) ? WDF_USB_DEVICE_TRAIT_SELF_POWERED : 0) |
        ((attributes & USB_CONFIG_REMOTE_WAKEUP) ? WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE : 0);
    return STATUS_SUCCESS;
}

// Configures the device with its only interface, setting 0, and makes that interface's pipes.
NTSTATUS imp_WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE UsbDevice,
                                            PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                            PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxUsbDevice* usb = FxUsbDeviceResolve(UsbDevice, FX_API);
    if (usb == NULL || Params == NULL)
        return STATUS_INVALID_PARAMETER;
    if (Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS) ||
        Params->Type != WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        FxViolation("WdfUsbTargetDeviceSelectConfig: only initialised single-interface "
                    "parameters are supported");
        return STATUS_INVALID_PARAMETER;
    }
    Params->Types.SingleInterface.ConfiguredUsbInterface = NULL;
    Params->Types.SingleInterface.NumberConfiguredPipes = 0;
    if (usb->Interface != NULL) {
        FxObjectDelete(&usb->Interface->Object);
        usb->Interface = NULL;
    }
    PUSB_INTERFACE_DESCRIPTOR descriptor =
        usb->Config->bNumInterfaces == 0 ? NULL : FxUsbFindInterface(usb->Config, -1, 0);
    if (usb->Config->bNumInterfaces > 1)
        return STATUS_INVALID_PARAMETER;
    ULONG pipes = descriptor != NULL ? descriptor->bNumEndpoints : 0;
    if (pipes > FX_USB_MAX_PIPES)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                 FxInterfaceInfoSize(pipes);
    auto* urb = static_cast<_URB_SELECT_CONFIGURATION*>(FxUsbAllocate(size));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    urb->Hdr.Length = static_cast<USHORT>(size);
    urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->ConfigurationDescriptor = usb->Config;
    if (descriptor != NULL) {
        urb->Interface.Length = static_cast<USHORT>(FxInterfaceInfoSize(pipes));
        urb->Interface.InterfaceNumber = descriptor->bInterfaceNumber;
        urb->Interface.AlternateSetting = 0;
    }
    status = FxSubmitUrbSync(usb->Target.Device, reinterpret_cast<PURB>(urb));
    if (NT_SUCCESS(status) && descriptor != NULL) {
        usb->ConfigHandle = urb->ConfigurationHandle;
        FxUsbInterface* usbInterface;
        status = FxUsbInterfaceCreate(usb, descriptor->bInterfaceNumber, &usbInterface);
        if (NT_SUCCESS(status)) {
            usb->Interface = usbInterface;
            status = FxUsbMakePipes(usbInterface, &urb->Interface, PipeAttributes);
        }
        if (NT_SUCCESS(status)) {
            Params->Types.SingleInterface.ConfiguredUsbInterface =
                FxHandle<WDFUSBINTERFACE>(usbInterface);
            Params->Types.SingleInterface.NumberConfiguredPipes = usbInterface->PipeCount;
        }
    } else if (NT_SUCCESS(status)) {
        usb->ConfigHandle = urb->ConfigurationHandle;
    }
    ExFreePoolWithTag(urb, FX_URB_POOL_TAG);
    FxEvent("WdfUsbTargetDeviceSelectConfig -> 0x%08x", (ULONG)status);
    return status;
}

// A setting of the interface chosen by index: the bus configures it, the pipes are made anew.
NTSTATUS imp_WdfUsbInterfaceSelectSetting(PWDF_DRIVER_GLOBALS globals, WDFUSBINTERFACE UsbInterface,
                                          PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                          PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, PASSIVE_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxUsbInterface* usbInterface = FxResolve<FxUsbInterface>(UsbInterface, FX_API);
    if (usbInterface == NULL || Params == NULL)
        return STATUS_INVALID_PARAMETER;
    if (Params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS) ||
        Params->Type != WdfUsbInterfaceSelectSettingTypeSetting) {
        FxViolation("WdfUsbInterfaceSelectSetting: only initialised by-index parameters are "
                    "supported");
        return STATUS_INVALID_PARAMETER;
    }
    FxUsbDevice* usb = usbInterface->UsbDevice;
    UCHAR setting = Params->Types.Interface.SettingIndex;
    PUSB_INTERFACE_DESCRIPTOR descriptor =
        FxUsbFindInterface(usb->Config, usbInterface->Number, setting);
    if (descriptor == NULL)
        return STATUS_INVALID_PARAMETER;
    ULONG pipes = descriptor->bNumEndpoints;
    if (pipes > FX_USB_MAX_PIPES)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG size = sizeof(_URB_SELECT_INTERFACE) - sizeof(USBD_INTERFACE_INFORMATION) +
                 FxInterfaceInfoSize(pipes);
    auto* urb = static_cast<_URB_SELECT_INTERFACE*>(FxUsbAllocate(size));
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    urb->Hdr.Length = static_cast<USHORT>(size);
    urb->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->ConfigurationHandle = usb->ConfigHandle;
    urb->Interface.Length = static_cast<USHORT>(FxInterfaceInfoSize(pipes));
    urb->Interface.InterfaceNumber = usbInterface->Number;
    urb->Interface.AlternateSetting = setting;
    status = FxSubmitUrbSync(usb->Target.Device, reinterpret_cast<PURB>(urb));
    if (NT_SUCCESS(status)) {
        usbInterface->Setting = setting;
        status = FxUsbMakePipes(usbInterface, &urb->Interface, PipesAttributes);
    }
    ExFreePoolWithTag(urb, FX_URB_POOL_TAG);
    return status;
}

NTSTATUS imp_WdfUsbTargetDeviceFormatRequestForUrb(PWDF_DRIVER_GLOBALS globals,
                                                   WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                   WDFMEMORY UrbMemory,
                                                   PWDFMEMORY_OFFSET UrbMemoryOffset) {
    NTSTATUS status;
    if (!FxEnter(globals, __func__, DISPATCH_LEVEL))
        return STATUS_INVALID_PARAMETER;
    if (FxInjected(__func__, &status))
        return status;
    FxUsbDevice* usb = FxUsbDeviceResolve(UsbDevice, FX_API);
    FxRequest* request = FxRequestOwnedByDriver(Request, FX_API);
    FxMemory* memory = FxResolve<FxMemory>(UrbMemory, FX_API);
    if (usb == NULL || request == NULL || memory == NULL)
        return STATUS_INVALID_PARAMETER;
    if (request->OnTarget)
        return STATUS_INVALID_DEVICE_STATE;
    size_t offset = UrbMemoryOffset != NULL ? UrbMemoryOffset->BufferOffset : 0;
    if (offset > memory->Size || memory->Size - offset < sizeof(_URB_HEADER))
        return STATUS_INVALID_BUFFER_SIZE;
    request->Urb = reinterpret_cast<PURB>(static_cast<PUCHAR>(memory->Buffer) + offset);
    request->Format = FxFormatUsbUrb;
    request->FormatTarget = &usb->Target;
    request->Memory = UrbMemory;
    request->Offset = offset;
    return STATUS_SUCCESS;
}
