// What the client library's shared tests need of the system under them: a colorimeter plugged
// in with the driver started on it, a transport to reach it, its vendor answers scripted, its
// interrupt endpoint fed, the vendor requests it saw on the wire, and an unplug. Natively the
// simulated kernel stack (SimRig), on Wine the kernel test bed's virtual bus (WineBedRig).
// A step the rig cannot take fails the running test where it happens.
#pragma once

#include "talvik/Transport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace clientstack {

using Bytes = std::vector<std::uint8_t>;

// The colorimeter's answer to one vendor request.
struct Answer {
    enum class Kind { Data, Ack, Stall, UsbError, Nothing };
    Kind kind = Kind::Ack;
    Bytes data;                   // Data: the IN data stage, cut to wLength
    std::uint32_t usbdStatus = 0; // UsbError: a USBD status with its top bit set
    std::uint32_t delayMs = 0;    // the answer comes this much later

    static Answer Data(Bytes bytes) { return Of(Kind::Data, std::move(bytes)); }
    static Answer Ack() { return Of(Kind::Ack); } // OUT: takes all; IN: no data
    static Answer Stall() { return Of(Kind::Stall); }
    static Answer UsbError(std::uint32_t usbd) { return Of(Kind::UsbError, {}, usbd); }
    static Answer Nothing() { return Of(Kind::Nothing); } // pending until cancelled
    Answer& After(std::uint32_t ms) {
        delayMs = ms;
        return *this;
    }

private:
    static Answer Of(Kind kind, Bytes bytes = {}, std::uint32_t usbd = 0) {
        Answer answer;
        answer.kind = kind;
        answer.data = std::move(bytes);
        answer.usbdStatus = usbd;
        return answer;
    }
};

// A vendor request as the colorimeter saw it: its setup packet and, for OUT, the data it took.
struct WireRequest {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    Bytes hostData;
};

class ClientRig {
public:
    virtual ~ClientRig() = default;

    virtual talvik::Transport& Transport() = 0;
    // Plugs one colorimeter and returns once the driver has been started on it; false with the
    // reason when it was not.
    virtual bool Plug(std::string& why) = 0;
    // The next vendor requests' answers, in order, replacing those not used yet. A request no
    // answer is left for stalls.
    virtual void Script(const std::vector<Answer>& answers) = 0;
    // One transfer on the interrupt IN endpoint: it ends the oldest pending read, or waits for
    // the next.
    virtual void PushInterrupt(const Bytes& bytes) = 0;
    // The vendor requests the colorimeter saw since it was plugged or since ForgetSeen, in order.
    virtual std::vector<WireRequest> Seen() = 0;
    virtual void ForgetSeen() = 0;
    // Milliseconds of the rig's clock: virtual time natively, real time on Wine.
    virtual std::int64_t NowMs() = 0;
    // Pulls the colorimeter out (a surprise removal) and returns once the system has removed
    // its stack; false with the reason when it did not.
    virtual bool Unplug(std::string& why) = 0;
};

// The rig of the program the shared tests are linked into.
std::unique_ptr<ClientRig> MakeClientRig();

} // namespace clientstack
