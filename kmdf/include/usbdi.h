// The platform's usbdi.h carries the URB definitions of usb.h for client drivers.
#pragma once
#include <usb.h>
#include <usburb.h>
