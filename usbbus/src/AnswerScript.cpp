// Scripted answers: the records of a script request, checked against the bytes that came with
// them before any is read, and the matching of a setup packet against them.
#include "AnswerScript.h"

namespace {

const UCHAR kKnownFlags = USBBUS_MATCH_REQUEST_TYPE | USBBUS_MATCH_REQUEST | USBBUS_RECORD_REPEATS;
// A control transfer's data stage is at most this long (wLength).
const ULONG kMaxData = 0xFFFF;

struct ScriptedAnswer {
    USBBUS_SCRIPT_RECORD record;
    ULONG dataOffset; // into the script's bytes
    BOOLEAN used;
};

bool RecordValid(const USBBUS_SCRIPT_RECORD& r) {
    if ((r.Flags & ~kKnownFlags) != 0 || r.Answer >= UsbBusAnswerKinds ||
        r.DelayMs > USBBUS_SCRIPT_DELAY_MS || r.Length > kMaxData)
        return false;
    if (r.Length != 0 && r.Answer != UsbBusAnswerData)
        return false;
    return r.Answer != UsbBusAnswerError || USBD_ERROR(r.UsbdStatus);
}

bool Matches(const USBBUS_SCRIPT_RECORD& r, const USB_SETUP_PACKET& setup) {
    if ((r.Flags & USBBUS_MATCH_REQUEST_TYPE) && r.bmRequestType != setup.bmRequestType)
        return false;
    return !(r.Flags & USBBUS_MATCH_REQUEST) || r.bRequest == setup.bRequest;
}

} // namespace

struct AnswerScript {
    ULONG count;
    ScriptedAnswer answers[USBBUS_SCRIPT_RECORDS];
    // The records' data bytes follow the structure.
    const UCHAR* Bytes() const { return reinterpret_cast<const UCHAR*>(this + 1); }
    UCHAR* Bytes() { return reinterpret_cast<UCHAR*>(this + 1); }
};

AnswerScript* CreateAnswerScript(const UCHAR* records, ULONG length, ULONG count,
                                 NTSTATUS* status) {
    *status = STATUS_INVALID_PARAMETER;
    if (count > USBBUS_SCRIPT_RECORDS)
        return NULL;
    // First pass: every record and its bytes lie inside the request, and nothing follows them.
    ULONG at = 0, dataBytes = 0;
    for (ULONG i = 0; i < count; ++i) {
        USBBUS_SCRIPT_RECORD r;
        if (length - at < sizeof r)
            return NULL;
        RtlCopyMemory(&r, records + at, sizeof r);
        at += sizeof r;
        if (!RecordValid(r) || r.Length > length - at)
            return NULL;
        at += r.Length;
        dataBytes += r.Length;
    }
    if (at != length)
        return NULL;

    *status = STATUS_INSUFFICIENT_RESOURCES;
    auto* script = static_cast<AnswerScript*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(AnswerScript) + dataBytes, USBBUS_TAG));
    if (script == NULL)
        return NULL;
    RtlZeroMemory(script, sizeof *script);
    script->count = count;
    at = 0;
    ULONG dataAt = 0;
    for (ULONG i = 0; i < count; ++i) {
        ScriptedAnswer& a = script->answers[i];
        RtlCopyMemory(&a.record, records + at, sizeof a.record);
        at += sizeof a.record;
        a.dataOffset = dataAt;
        RtlCopyMemory(script->Bytes() + dataAt, records + at, a.record.Length);
        at += a.record.Length;
        dataAt += a.record.Length;
    }
    *status = STATUS_SUCCESS;
    return script;
}

VOID FreeAnswerScript(AnswerScript* script) {
    if (script != NULL)
        ExFreePoolWithTag(script, USBBUS_TAG);
}

UsbReply AnswerFromScript(AnswerScript* script, const USB_SETUP_PACKET& setup, UCHAR* data) {
    ScriptedAnswer* found = NULL;
    for (ULONG i = 0; script != NULL && i < script->count && found == NULL; ++i) {
        ScriptedAnswer& a = script->answers[i];
        if (!a.used && Matches(a.record, setup))
            found = &a;
    }
    if (found == NULL)
        return UsbReplyOf(UsbReplyStall);
    if (!(found->record.Flags & USBBUS_RECORD_REPEATS))
        found->used = TRUE;
    const USBBUS_SCRIPT_RECORD& r = found->record;
    bool in = (setup.bmRequestType & 0x80) != 0;
    switch (r.Answer) {
    case UsbBusAnswerData:
    case UsbBusAnswerAck: {
        if (!in) // the host's bytes are taken whole
            return UsbReplyOf(UsbReplyData, setup.wLength, r.DelayMs);
        ULONG length = r.Length < setup.wLength ? r.Length : setup.wLength;
        if (length > 0) // a zero-length stage may have no buffer
            RtlCopyMemory(data, script->Bytes() + found->dataOffset, length);
        return UsbReplyOf(UsbReplyData, length, r.DelayMs);
    }
    case UsbBusAnswerError:
        return UsbReplyOf(UsbReplyError, 0, r.DelayMs, r.UsbdStatus);
    case UsbBusAnswerNothing:
        return UsbReplyOf(UsbReplyNoAnswer);
    default:
        return UsbReplyOf(UsbReplyStall, 0, r.DelayMs);
    }
}
