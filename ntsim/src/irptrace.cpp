// The IRP trace: what a test sees of an IRP's path when it switches the trace on. Off, it costs
// IoCallDriver and IoCompleteRequest one atomic load.
#include "Internal.h"

#include <usbioctl.h>
#include <usburb.h>

#include <cstdio>

using namespace ntsim;
using namespace ntsim::detail;

namespace {

std::string ServiceOf(PDEVICE_OBJECT device) {
    if (device == nullptr || device->DriverObject == nullptr)
        return "";
    const UNICODE_STRING& name = device->DriverObject->DriverName;
    std::string text = Narrow(name.Buffer, name.Length / sizeof(WCHAR));
    size_t slash = text.rfind('\\');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// The step a stack location describes (its device, function and control code).
IrpStep StepAt(IrpStep::Kind kind, PIRP irp, PIO_STACK_LOCATION stack) {
    IrpStep step{};
    step.kind = kind;
    step.irp = irp;
    step.device = stack->DeviceObject;
    step.driver = ServiceOf(stack->DeviceObject);
    step.major = stack->MajorFunction;
    step.minor = stack->MinorFunction;
    if (step.major == IRP_MJ_DEVICE_CONTROL || step.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        step.controlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    if (step.major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        step.controlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        stack->Parameters.Others.Argument1 != nullptr)
        step.urbFunction =
            static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Function;
    step.status = irp->IoStatus.Status;
    step.information = irp->IoStatus.Information;
    return step;
}

const char* MajorName(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE:
        return "CREATE";
    case IRP_MJ_CLOSE:
        return "CLOSE";
    case IRP_MJ_READ:
        return "READ";
    case IRP_MJ_WRITE:
        return "WRITE";
    case IRP_MJ_DEVICE_CONTROL:
        return "DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return "INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP:
        return "CLEANUP";
    case IRP_MJ_POWER:
        return "POWER";
    case IRP_MJ_SYSTEM_CONTROL:
        return "SYSTEM_CONTROL";
    case IRP_MJ_PNP:
        return "PNP";
    default:
        return "MJ?";
    }
}

} // namespace

namespace ntsim {

std::string IrpStepText(const IrpStep& step) {
    static const char* const kKinds[] = {"call", "complete", "top"};
    char text[200];
    if (step.kind == IrpStep::Kind::Cancel) {
        std::snprintf(text, sizeof text, "cancel IRP %p", static_cast<void*>(step.irp));
        return text;
    }
    int n = std::snprintf(text, sizeof text, "%s %s %s", kKinds[static_cast<int>(step.kind)],
                          step.driver.c_str(), MajorName(step.major));
    if (step.major == IRP_MJ_PNP || step.major == IRP_MJ_POWER)
        n += std::snprintf(text + n, sizeof text - n, " minor 0x%02X", step.minor);
    if (step.controlCode != 0)
        n += std::snprintf(text + n, sizeof text - n, " 0x%08X", step.controlCode);
    if (step.urbFunction != 0)
        n += std::snprintf(text + n, sizeof text - n, " URB 0x%04X", step.urbFunction);
    if (step.kind != IrpStep::Kind::Call)
        std::snprintf(text + n, sizeof text - n, " -> 0x%08X (%llu)",
                      static_cast<unsigned>(step.status),
                      static_cast<unsigned long long>(step.information));
    return text;
}

namespace detail {

void IrpTrace::Set(std::function<void(const IrpStep&)> callback) {
    std::lock_guard<std::mutex> lock(mu_);
    callback_ = callback
                    ? std::make_shared<std::function<void(const IrpStep&)>>(std::move(callback))
                    : nullptr;
    on_.store(callback_ != nullptr, std::memory_order_release);
}

void IrpTrace::Report(const IrpStep& step) {
    std::shared_ptr<std::function<void(const IrpStep&)>> callback;
    {
        std::lock_guard<std::mutex> lock(mu_);
        callback = callback_;
    }
    if (callback)
        (*callback)(step);
}

void TraceCall(PDEVICE_OBJECT device, PIRP irp) {
    IrpStep step = StepAt(IrpStep::Kind::Call, irp, IoGetCurrentIrpStackLocation(irp));
    step.device = device;
    K().irpTrace.Report(step);
}

void TraceComplete(PIRP irp) {
    if (irp->CurrentLocation > irp->StackCount) // completed by its owner before any call
        return;
    K().irpTrace.Report(StepAt(IrpStep::Kind::Complete, irp, IoGetCurrentIrpStackLocation(irp)));
}

IrpStep TopStepOf(PIRP irp) {
    // Locations are used from the last one down: the owner's first call got the last.
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1;
    return StepAt(IrpStep::Kind::CompletedToTop, irp, first);
}

void TraceCompletedToTop(IrpStep top, PIRP irp) {
    top.status = irp->IoStatus.Status;
    top.information = irp->IoStatus.Information;
    K().irpTrace.Report(top);
}

void TraceCancel(PIRP irp) {
    // Only the pointer: the IRP may be moving down or up a stack on another thread meanwhile.
    IrpStep step{};
    step.kind = IrpStep::Kind::Cancel;
    step.irp = irp;
    K().irpTrace.Report(step);
}

} // namespace detail
} // namespace ntsim
