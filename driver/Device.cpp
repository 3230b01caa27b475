// USB configuration, hardware preparation and release, power policy, D0 entry and exit.
#include "Talvik.h"

NTSTATUS TalvikEvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourceList,
                                        WDFCMRESLIST ResourceListTranslated) {
    WDF_USB_DEVICE_INFORMATION info;
    PDEVICE_CONTEXT pDeviceContext;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(ResourceList);
    UNREFERENCED_PARAMETER(ResourceListTranslated);
    PAGED_CODE();

    pDeviceContext = GetDeviceContext(Device);

    status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &pDeviceContext->UsbDevice);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP,
                    "WdfUsbTargetDeviceCreate failed with Status code %!STATUS!\n", status);
        return status;
    }

    status = SelectInterfaces(Device);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "SelectInterfaces failed 0x%x\n", status);
        return status;
    }

    // A failed query leaves the record zero-filled: no traits, so no power policy.
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    (VOID) WdfUsbTargetDeviceRetrieveInformation(pDeviceContext->UsbDevice, &info);
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "IsDeviceSelfPowered: %s\n",
                (info.Traits & WDF_USB_DEVICE_TRAIT_SELF_POWERED) ? "TRUE" : "FALSE");
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "IsDeviceRemoteWakeable: %s\n",
                (info.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) ? "TRUE" : "FALSE");

    if (info.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) {
        status = TalvikSetPowerPolicy(Device);
        if (!NT_SUCCESS(status)) {
            TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "TalvikSetPowerPolicy failed  %!STATUS!\n",
                        status);
            return status;
        }
    }

    pDeviceContext->UrbBuffer =
        ExAllocatePoolWithTag(NonPagedPool, TALVIK_URB_SIZE, TALVIK_POOL_TAG);
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                "TalvikEvtDevicePrepareHardware:Urb  memory created\n");
    if (pDeviceContext->UrbBuffer == NULL) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                    "URB_FUNCTION_VENDOR_DEVICE:User's urb  memory create failed\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, pDeviceContext->UrbBuffer,
                                         TALVIK_URB_SIZE, &pDeviceContext->UrbMemory);
    TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                "TalvikEvtDevicePrepareHardware:WDF  memory created\n");
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                    "WdfMemoryCreatePreallocated: User's WDF memory failed\n");
        ExFreePoolWithTag(pDeviceContext->UrbBuffer, TALVIK_POOL_TAG);
        pDeviceContext->UrbBuffer = NULL;
        return status;
    }
    return status;
}

NTSTATUS SelectInterfaces(WDFDEVICE Device) {
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS configParams;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS settingParams;
    WDF_USB_PIPE_INFORMATION pipeInfo;
    PDEVICE_CONTEXT pDeviceContext;
    WDFUSBPIPE pipe;
    NTSTATUS status;
    UCHAR numberConfiguredPipes;
    UCHAR index;

    PAGED_CODE();

    pDeviceContext = GetDeviceContext(Device);

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&configParams);
    status = WdfUsbTargetDeviceSelectConfig(pDeviceContext->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES,
                                            &configParams);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "WdfUsbTargetDeviceSelectConfig failed %!STATUS!\n",
                    status);
        return status;
    }

    pDeviceContext->UsbInterface = configParams.Types.SingleInterface.ConfiguredUsbInterface;
    if (pDeviceContext->UsbInterface == NULL) {
        status = STATUS_INVALID_DEVICE_STATE;
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "Device Interface can not set %!STATUS!\n", status);
        return status;
    }

    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&settingParams, 0);
    status = WdfUsbInterfaceSelectSetting(pDeviceContext->UsbInterface, WDF_NO_OBJECT_ATTRIBUTES,
                                          &settingParams);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "WdfUsbInterfaceSelectSetting failed %!STATUS!\n",
                    status);
        return status;
    }

    numberConfiguredPipes = WdfUsbInterfaceGetNumConfiguredPipes(pDeviceContext->UsbInterface);
    if (numberConfiguredPipes == 0) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "Wrong number of pipes %d\n",
                    numberConfiguredPipes);
        return STATUS_INVALID_DEVICE_STATE;
    }

    // The last pipe of each kind wins.
    for (index = 0; index < numberConfiguredPipes; index++) {
        WDF_USB_PIPE_INFORMATION_INIT(&pipeInfo);
        pipe = WdfUsbInterfaceGetConfiguredPipe(pDeviceContext->UsbInterface, index, &pipeInfo);

        // Reads go into the caller's buffer as it comes, of any length.
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);

        if (pipeInfo.PipeType == WdfUsbPipeTypeInterrupt) {
            pDeviceContext->InterruptPipe = pipe;
        }
        if (pipeInfo.PipeType == WdfUsbPipeTypeBulk) {
            if (WdfUsbTargetPipeIsInEndpoint(pipe)) {
                pDeviceContext->BulkInPipe = pipe;
            }
            if (WdfUsbTargetPipeIsOutEndpoint(pipe)) {
                pDeviceContext->BulkOutPipe = pipe;
            }
        }
        if (pipeInfo.PipeType == WdfUsbPipeTypeControl) {
            pDeviceContext->ControlPipe = pipe;
        }
    }

    if (pDeviceContext->InterruptPipe == NULL) {
        status = STATUS_INVALID_DEVICE_STATE;
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "Device is not configured properly %!STATUS!\n",
                    status);
        return status;
    }
    return status;
}

NTSTATUS TalvikSetPowerPolicy(WDFDEVICE Device) {
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idleSettings;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wakeSettings;
    NTSTATUS status;

    PAGED_CODE();

    // Selective suspend after 10 s without I/O; the user may change it.
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idleSettings, IdleUsbSelectiveSuspend);
    idleSettings.IdleTimeout = 10000;
    status = WdfDeviceAssignS0IdleSettings(Device, &idleSettings);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "WdfDeviceSetPowerPolicyS0IdlePolicy failed %x\n",
                    status);
        return status;
    }

    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wakeSettings);
    status = WdfDeviceAssignSxWakeSettings(Device, &wakeSettings);
    if (!NT_SUCCESS(status)) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_PNP, "WdfDeviceAssignSxWakeSettings failed %x\n",
                    status);
        return status;
    }
    return status;
}

// Nonpaged: the URB block is freed before the memory object laid over it goes.
NTSTATUS TalvikEvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourceListTranslated) {
    PDEVICE_CONTEXT pDeviceContext;

    UNREFERENCED_PARAMETER(ResourceListTranslated);

    pDeviceContext = GetDeviceContext(Device);

    if (pDeviceContext->UrbBuffer != NULL) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                    "TalvikEvtDeviceReleaseHardware:Urb memory deleted\n");
        ExFreePoolWithTag(pDeviceContext->UrbBuffer, TALVIK_POOL_TAG);
        pDeviceContext->UrbBuffer = NULL;
    }
    if (pDeviceContext->UrbMemory != NULL) {
        TalvikTrace(TRACE_LEVEL_ERROR, DBG_IOCTL,
                    "TalvikEvtDeviceReleaseHardware: WDF memory deleted\n");
        WdfObjectDelete(pDeviceContext->UrbMemory);
        pDeviceContext->UrbMemory = NULL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TalvikEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    PDEVICE_CONTEXT pDeviceContext;

    UNREFERENCED_PARAMETER(PreviousState);
    PAGED_CODE();

    pDeviceContext = GetDeviceContext(Device);
    return WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(pDeviceContext->InterruptPipe));
}

// Reads still pending on the interrupt pipe are cancelled; their completion routine ends them.
NTSTATUS TalvikEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    PDEVICE_CONTEXT pDeviceContext;

    UNREFERENCED_PARAMETER(TargetState);
    PAGED_CODE();

    pDeviceContext = GetDeviceContext(Device);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(pDeviceContext->InterruptPipe),
                    WdfIoTargetCancelSentIo);
    return STATUS_SUCCESS;
}
