// Internal device-control codes a USB client driver sends to its bus (the platform's usbioctl.h
// and usbiodef.h).
#pragma once

#include <ntddk.h>

#define USB_SUBMIT_URB 0
#define USB_GET_PORT_STATUS 4
#define USB_IDLE_NOTIFICATION 9

// FILE_DEVICE_USB is FILE_DEVICE_UNKNOWN on the platform.
#define IOCTL_INTERNAL_USB_SUBMIT_URB                                                              \
    CTL_CODE(FILE_DEVICE_UNKNOWN, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS                                                         \
    CTL_CODE(FILE_DEVICE_UNKNOWN, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION                                                \
    CTL_CODE(FILE_DEVICE_UNKNOWN, USB_IDLE_NOTIFICATION, METHOD_NEITHER, FILE_ANY_ACCESS)

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

typedef VOID (*USB_IDLE_CALLBACK)(PVOID Context);
typedef struct _USB_IDLE_CALLBACK_INFO {
    USB_IDLE_CALLBACK IdleCallback;
    PVOID IdleContext;
} USB_IDLE_CALLBACK_INFO, *PUSB_IDLE_CALLBACK_INFO;
