// A virtual device from a plug request's descriptors. Every length in the request is checked
// against the bytes that came with it before the bus reads a descriptor.
#include "DescribedDevice.h"

#include "AnswerScript.h"

#include <new>

namespace {

const ULONG kMaxStrings = 16;

class DescribedDevice final : public UsbVirtualDevice {
public:
    // `bytes` (pool, owned from now on) holds the request as checked by CreateDescribedDevice.
    DescribedDevice(UCHAR* bytes, ULONG configOffset, const ULONG* stringOffsets, ULONG strings)
        : bytes_(bytes), configOffset_(configOffset), strings_(strings), script_(NULL) {
        for (ULONG i = 0; i < strings; ++i)
            stringOffsets_[i] = stringOffsets[i];
        KeInitializeSpinLock(&scriptLock_);
    }

    const USB_DEVICE_DESCRIPTOR* DeviceDescriptor() override {
        return reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(bytes_);
    }
    const USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor() override {
        return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(bytes_ + configOffset_);
    }
    const UCHAR* StringDescriptor(UCHAR index, USHORT languageId, ULONG* length) override {
        UNREFERENCED_PARAMETER(languageId);
        if (index >= strings_) {
            *length = 0;
            return NULL;
        }
        const UCHAR* descriptor = bytes_ + stringOffsets_[index];
        *length = descriptor[0];
        return descriptor;
    }
    // The bus calls this from any thread while user mode may replace the script.
    UsbReply Control(const USB_SETUP_PACKET& setup, UCHAR* data) override {
        KIRQL irql;
        KeAcquireSpinLock(&scriptLock_, &irql);
        UsbReply reply = AnswerFromScript(script_, setup, data);
        KeReleaseSpinLock(&scriptLock_, irql);
        return reply;
    }
    AnswerScript* ReplaceScript(AnswerScript* script) {
        KIRQL irql;
        KeAcquireSpinLock(&scriptLock_, &irql);
        AnswerScript* old = script_;
        script_ = script;
        KeReleaseSpinLock(&scriptLock_, irql);
        return old;
    }
    UCHAR* Bytes() const { return bytes_; }

private:
    UCHAR* bytes_;
    ULONG configOffset_;
    ULONG stringOffsets_[kMaxStrings];
    ULONG strings_;
    KSPIN_LOCK scriptLock_;
    AnswerScript* script_;
};

// The descriptors inside a configuration each fit in it and make progress.
bool ConfigurationWellFormed(const UCHAR* config, ULONG total) {
    for (ULONG at = config[0]; at < total;) {
        if (total - at < 2 || config[at] < 2 || config[at] > total - at)
            return false;
        at += config[at];
    }
    return true;
}

} // namespace

UsbVirtualDevice* CreateDescribedDevice(const UCHAR* request, ULONG length, NTSTATUS* status) {
    *status = STATUS_INVALID_PARAMETER;
    if (length < sizeof(USB_DEVICE_DESCRIPTOR) || request[0] != sizeof(USB_DEVICE_DESCRIPTOR) ||
        request[1] != USB_DEVICE_DESCRIPTOR_TYPE)
        return NULL;
    ULONG configOffset = sizeof(USB_DEVICE_DESCRIPTOR);
    const UCHAR* config = request + configOffset;
    if (length - configOffset < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return NULL;
    ULONG total = config[2] | (ULONG(config[3]) << 8);
    if (total < config[0] || total > length - configOffset ||
        !ConfigurationWellFormed(config, total))
        return NULL;
    ULONG stringOffsets[kMaxStrings];
    ULONG strings = 0;
    for (ULONG at = configOffset + total; at < length; at += request[at]) {
        if (strings == kMaxStrings || length - at < 2 || request[at] < 2 ||
            request[at] > length - at || request[at + 1] != USB_STRING_DESCRIPTOR_TYPE)
            return NULL;
        stringOffsets[strings++] = at;
    }
    *status = STATUS_INSUFFICIENT_RESOURCES;
    auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, length, USBBUS_TAG));
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DescribedDevice), USBBUS_TAG);
    if (bytes == NULL || memory == NULL) {
        if (bytes != NULL)
            ExFreePoolWithTag(bytes, USBBUS_TAG);
        if (memory != NULL)
            ExFreePoolWithTag(memory, USBBUS_TAG);
        return NULL;
    }
    RtlCopyMemory(bytes, request, length);
    *status = STATUS_SUCCESS;
    return new (memory) DescribedDevice(bytes, configOffset, stringOffsets, strings);
}

VOID FreeDescribedDevice(UsbVirtualDevice* device) {
    if (device == NULL)
        return;
    auto* described = static_cast<DescribedDevice*>(device);
    UCHAR* bytes = described->Bytes();
    FreeAnswerScript(described->ReplaceScript(NULL));
    described->~DescribedDevice();
    ExFreePoolWithTag(described, USBBUS_TAG);
    ExFreePoolWithTag(bytes, USBBUS_TAG);
}

AnswerScript* ReplaceDescribedDeviceScript(UsbVirtualDevice* device, AnswerScript* script) {
    return static_cast<DescribedDevice*>(device)->ReplaceScript(script);
}
