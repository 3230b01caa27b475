#include "WineBedRig.h"

#include "BusClient.h"
#include "FloorInterface.h"
#include "Harness.h"

#include "sim/BusTransfers.h"

#include <winioctl.h>

#include <TalvikPublic.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace clientstack {

namespace {

wk::Talvik2Bed* theBed = nullptr;

USBBUS_ANSWER BusAnswerOf(Answer::Kind kind) {
    switch (kind) {
    case Answer::Kind::Data:
        return UsbBusAnswerData;
    case Answer::Kind::Ack:
        return UsbBusAnswerAck;
    case Answer::Kind::Stall:
        return UsbBusAnswerStall;
    case Answer::Kind::UsbError:
        return UsbBusAnswerError;
    case Answer::Kind::Nothing:
        return UsbBusAnswerNothing;
    }
    return UsbBusAnswerStall;
}

bool Present(const std::wstring& path) {
    const std::vector<std::wstring> paths = wk::PresentInterfaces(GUID_DEVINTERFACE_TALVIK);
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

} // namespace

void UseBed(wk::Talvik2Bed& bed) {
    theBed = &bed;
}

std::unique_ptr<ClientRig> MakeClientRig() {
    return std::make_unique<WineBedRig>(*theBed);
}

WineBedRig::~WineBedRig() {
    std::string why;
    if (plugged_ && !Unplug(why))
        ADD_FAILURE() << "the colorimeter left plugged is unplugged: " << why;
}

bool WineBedRig::Plug(std::string& why) {
    firstEntry_ = bed_.NextLogSequence();
    plugged_ = bed_.Plug(port_, path_, why);
    return plugged_;
}

void WineBedRig::Script(const std::vector<Answer>& answers) {
    std::vector<wk::ScriptRecord> records;
    for (const Answer& a : answers) {
        wk::ScriptRecord r{};
        r.answer = BusAnswerOf(a.kind);
        r.data = a.data;
        r.usbdStatus = static_cast<LONG>(a.usbdStatus);
        r.delayMs = a.delayMs;
        r.anyRequest = true;
        records.push_back(r);
    }
    const std::vector<BYTE> script = wk::ScriptRequest(port_, records);
    DWORD returned = 0;
    const DWORD error = wk::Control(bed_.Bus(), IOCTL_USBBUS_SCRIPT, script.data(),
                                    DWORD(script.size()), nullptr, 0, returned);
    EXPECT_EQ(error, 0u) << "the colorimeter's answers are scripted";
}

void WineBedRig::PushInterrupt(const Bytes& bytes) {
    EXPECT_EQ(bed_.FeedInterrupt(port_, bytes), 0u) << "the interrupt endpoint is fed";
}

std::vector<WireRequest> WineBedRig::Seen() {
    const std::vector<USBBUS_LOG_ENTRY> log = wk::ReadLog(bed_.Bus(), firstEntry_);
    std::vector<WireRequest> seen;
    for (const ::sim::TransferRecord& t : ::sim::TransfersOf(
             log, port_, [](std::uint8_t) { return ::sim::TransferRecord::Kind::Other; })) {
        // Vendor and class requests only: the host's own (descriptors, configuration) are not
        // the client's.
        if (t.kind != ::sim::TransferRecord::Kind::Control || (t.setup.bmRequestType & 0x60) == 0)
            continue;
        seen.push_back({t.setup.bmRequestType, t.setup.bRequest, t.setup.wValue, t.setup.wIndex,
                        t.setup.wLength, t.dataOut});
    }
    return seen;
}

void WineBedRig::ForgetSeen() {
    firstEntry_ = bed_.NextLogSequence();
}

std::int64_t WineBedRig::NowMs() {
    return static_cast<std::int64_t>(GetTickCount64());
}

bool WineBedRig::Unplug(std::string& why) {
    if (!bed_.Unplug(port_, why))
        return false;
    plugged_ = false;
    if (wt::WaitUntil([this] { return !Present(path_); }, wk::kPnpTimeoutMs, 20))
        return true;
    why = "the host did not remove its stack: the interface is still present";
    return false;
}

} // namespace clientstack
