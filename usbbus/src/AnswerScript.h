// Answers to vendor and class control transfers that user mode scripted for a device the bus owns
// (IOCTL_USBBUS_SCRIPT in BusControl.h): checked, then held in one pool block.
#pragma once

#include "Bus.h"

struct AnswerScript;

// Checks `count` records laid out in `length` bytes and copies them; NULL when they are malformed
// (`*status` STATUS_INVALID_PARAMETER) or no memory is left. No record at all is a valid script.
AnswerScript* CreateAnswerScript(const UCHAR* records, ULONG length, ULONG count, NTSTATUS* status);
VOID FreeAnswerScript(AnswerScript* script);

// The answer to `setup`, from the first record left that matches it (used up unless it repeats);
// an IN answer's bytes are written into `data`, at most setup.wLength. No record, or no script:
// a stall. The caller serialises calls on one script.
UsbReply AnswerFromScript(AnswerScript* script, const USB_SETUP_PACKET& setup, UCHAR* data);
