// A device on the virtual USB bus: its descriptors and its answers to the transfers the bus does
// not answer itself. Defined by whoever plugs it in; the bus calls it at IRQL <= DISPATCH_LEVEL,
// with no lock held, from any thread, so an answer is computed at once and never waits.
#pragma once

#include <wdm.h>
#include <usburb.h>

#include <usbbus/BusControl.h>

enum UsbReplyKind {
    UsbReplyData,     // `length` bytes moved (IN: written into the buffer), then success
    UsbReplyStall,    // the endpoint stalls (a bulk or interrupt pipe is halted until reset)
    UsbReplyError,    // a transfer error with `usbdStatus`
    UsbReplyNoAnswer, // the device never finishes: the transfer stays pending until cancelled
};

struct UsbReply {
    UsbReplyKind kind;
    ULONG length;
    USBD_STATUS usbdStatus;
    ULONG delayMs; // the answer arrives this much (virtual) time later
};

inline UsbReply UsbReplyOf(UsbReplyKind kind, ULONG length = 0, ULONG delayMs = 0,
                           USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS) {
    UsbReply reply = {kind, length, usbdStatus, delayMs};
    return reply;
}

class UsbVirtualDevice {
public:
    virtual const USB_DEVICE_DESCRIPTOR* DeviceDescriptor() = 0;
    // The whole configuration: configuration, interface and endpoint descriptors.
    virtual const USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor() = 0;
    // A string descriptor, or NULL when the device has none at that index.
    virtual const UCHAR* StringDescriptor(UCHAR index, USHORT languageId, ULONG* length) {
        (void)index;
        (void)languageId;
        *length = 0;
        return NULL;
    }
    // A vendor or class control transfer. IN: write up to setup.wLength bytes into `data`;
    // OUT: `data` holds setup.wLength bytes from the host.
    virtual UsbReply Control(const USB_SETUP_PACKET& setup, UCHAR* data) = 0;
    // Bytes the host sends on a bulk or interrupt OUT endpoint.
    virtual UsbReply DataOut(UCHAR endpointAddress, const UCHAR* data, ULONG length) {
        (void)endpointAddress;
        (void)data;
        return UsbReplyOf(UsbReplyData, length);
    }

protected:
    ~UsbVirtualDevice() {}
};
