// The framework's USB target objects (the platform's wdfusb.h, interface version 1.1): the USB
// target device, its interfaces and configured pipes, and the request formatting the driver uses.
#pragma once

#include <wdf.h>
#include <usb.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum _WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef enum _WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE;

typedef enum _WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType;

typedef enum _WdfUsbTargetDeviceSelectSettingType {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
    WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
} WdfUsbTargetDeviceSelectSettingType;

#define WDF_USB_DEVICE_TRAIT_SELF_POWERED 0x00000001
#define WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE 0x00000002
#define WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED 0x00000004

#pragma pack(push, 1)
typedef struct _WDF_USB_CONTROL_SETUP_PACKET {
    union {
        struct {
            union {
                struct {
                    UCHAR Recipient : 2;
                    UCHAR Reserved : 3;
                    UCHAR Type : 2;
                    UCHAR Dir : 1;
                } Request;
                UCHAR Byte;
            } bm;
            UCHAR bRequest;
            union {
                struct {
                    UCHAR LowByte;
                    UCHAR HiByte;
                } Bytes;
                USHORT Value;
            } wValue;
            union {
                struct {
                    UCHAR LowByte;
                    UCHAR HiByte;
                } Bytes;
                USHORT Value;
            } wIndex;
            USHORT wLength;
        } Packet;
        struct {
            UCHAR Bytes[8];
        } Generic;
    };
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;
#pragma pack(pop)

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            USHORT LangID;
            UCHAR StringIndex;
            UCHAR RequiredSize;
        } DeviceString;
        struct {
            WDFMEMORY Buffer;
            WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
            ULONG Length;
        } DeviceControlTransfer;
        struct {
            WDFMEMORY Buffer;
        } DeviceUrb;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits;
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

FORCEINLINE VOID WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Udi) {
    RtlZeroMemory(Udi, sizeof(WDF_USB_DEVICE_INFORMATION));
    Udi->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct {
            PURB Urb;
        } Urb;
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

typedef struct _WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectSettingType Type;
    union {
        struct {
            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
        } Descriptor;
        struct {
            UCHAR SettingIndex;
        } Interface;
        struct {
            PURB Urb;
        } Urb;
    } Types;
} WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, *PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS;

FORCEINLINE VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, UCHAR SettingIndex) {
    RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    Params->Types.Interface.SettingIndex = SettingIndex;
}

typedef struct _WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

FORCEINLINE VOID WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
    RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

typedef NTSTATUS (*PFN_WDFUSBTARGETDEVICECREATE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                 WDFDEVICE Device,
                                                 PWDF_OBJECT_ATTRIBUTES Attributes,
                                                 WDFUSBDEVICE* UsbDevice);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                             WDFUSBDEVICE* UsbDevice) {
    return ((PFN_WDFUSBTARGETDEVICECREATE)WdfFunctions[WdfUsbTargetDeviceCreateTableIndex])(
        WdfDriverGlobals, Device, Attributes, UsbDevice);
}
typedef NTSTATUS (*PFN_WDFUSBTARGETDEVICERETRIEVEINFORMATION)(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBDEVICE UsbDevice,
    PWDF_USB_DEVICE_INFORMATION Information);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice,
                                          PWDF_USB_DEVICE_INFORMATION Information) {
    return ((PFN_WDFUSBTARGETDEVICERETRIEVEINFORMATION)
                WdfFunctions[WdfUsbTargetDeviceRetrieveInformationTableIndex])(
        WdfDriverGlobals, UsbDevice, Information);
}
typedef NTSTATUS (*PFN_WDFUSBTARGETDEVICESELECTCONFIG)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFUSBDEVICE UsbDevice,
                                                       PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                       PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                   PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    return (
        (PFN_WDFUSBTARGETDEVICESELECTCONFIG)WdfFunctions[WdfUsbTargetDeviceSelectConfigTableIndex])(
        WdfDriverGlobals, UsbDevice, PipeAttributes, Params);
}
typedef NTSTATUS (*PFN_WDFUSBTARGETDEVICEFORMATREQUESTFORURB)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                              WDFUSBDEVICE UsbDevice,
                                                              WDFREQUEST Request,
                                                              WDFMEMORY UrbMemory,
                                                              PWDFMEMORY_OFFSET UrbMemoryOffset);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfUsbTargetDeviceFormatRequestForUrb(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                          WDFMEMORY UrbMemory, PWDFMEMORY_OFFSET UrbMemoryOffset) {
    return ((PFN_WDFUSBTARGETDEVICEFORMATREQUESTFORURB)
                WdfFunctions[WdfUsbTargetDeviceFormatRequestForUrbTableIndex])(
        WdfDriverGlobals, UsbDevice, Request, UrbMemory, UrbMemoryOffset);
}
typedef NTSTATUS (*PFN_WDFUSBINTERFACESELECTSETTING)(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBINTERFACE UsbInterface,
    PWDF_OBJECT_ATTRIBUTES PipesAttributes, PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params);
_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL) FORCEINLINE NTSTATUS
    WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface,
                                 PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                 PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
    return ((PFN_WDFUSBINTERFACESELECTSETTING)WdfFunctions[WdfUsbInterfaceSelectSettingTableIndex])(
        WdfDriverGlobals, UsbInterface, PipesAttributes, Params);
}
typedef UCHAR (*PFN_WDFUSBINTERFACEGETNUMCONFIGUREDPIPES)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFUSBINTERFACE UsbInterface);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE UCHAR
    WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
    return ((PFN_WDFUSBINTERFACEGETNUMCONFIGUREDPIPES)
                WdfFunctions[WdfUsbInterfaceGetNumConfiguredPipesTableIndex])(WdfDriverGlobals,
                                                                              UsbInterface);
}
typedef WDFUSBPIPE (*PFN_WDFUSBINTERFACEGETCONFIGUREDPIPE)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                           WDFUSBINTERFACE UsbInterface,
                                                           UCHAR PipeIndex,
                                                           PWDF_USB_PIPE_INFORMATION PipeInfo);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE WDFUSBPIPE
    WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                     PWDF_USB_PIPE_INFORMATION PipeInfo) {
    return ((PFN_WDFUSBINTERFACEGETCONFIGUREDPIPE)
                WdfFunctions[WdfUsbInterfaceGetConfiguredPipeTableIndex])(
        WdfDriverGlobals, UsbInterface, PipeIndex, PipeInfo);
}
typedef VOID (*PFN_WDFUSBTARGETPIPESETNOMAXIMUMPACKETSIZECHECK)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                WDFUSBPIPE Pipe);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE VOID
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe) {
    ((PFN_WDFUSBTARGETPIPESETNOMAXIMUMPACKETSIZECHECK)
         WdfFunctions[WdfUsbTargetPipeSetNoMaximumPacketSizeCheckTableIndex])(WdfDriverGlobals,
                                                                              Pipe);
}
typedef BOOLEAN (*PFN_WDFUSBTARGETPIPEISINENDPOINT)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                    WDFUSBPIPE Pipe);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE BOOLEAN
    WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe) {
    return ((PFN_WDFUSBTARGETPIPEISINENDPOINT)WdfFunctions[WdfUsbTargetPipeIsInEndpointTableIndex])(
        WdfDriverGlobals, Pipe);
}
typedef BOOLEAN (*PFN_WDFUSBTARGETPIPEISOUTENDPOINT)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                     WDFUSBPIPE Pipe);
_IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE BOOLEAN
    WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe) {
    return (
        (PFN_WDFUSBTARGETPIPEISOUTENDPOINT)WdfFunctions[WdfUsbTargetPipeIsOutEndpointTableIndex])(
        WdfDriverGlobals, Pipe);
}
typedef NTSTATUS (*PFN_WDFUSBTARGETPIPEFORMATREQUESTFORREAD)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                             WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                             WDFMEMORY ReadMemory,
                                                             PWDFMEMORY_OFFSET ReadOffset);
_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL) FORCEINLINE NTSTATUS
    WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                         PWDFMEMORY_OFFSET ReadOffset) {
    return ((PFN_WDFUSBTARGETPIPEFORMATREQUESTFORREAD)
                WdfFunctions[WdfUsbTargetPipeFormatRequestForReadTableIndex])(
        WdfDriverGlobals, Pipe, Request, ReadMemory, ReadOffset);
}

// A USB target device and each of its pipes are I/O targets; the handle converts as it is.
FORCEINLINE WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice) {
    return (WDFIOTARGET)UsbDevice;
}
FORCEINLINE WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) {
    return (WDFIOTARGET)Pipe;
}

#ifdef __cplusplus
}
#endif
