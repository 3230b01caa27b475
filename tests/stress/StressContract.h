// What Talvik2's device-control surface may end a request with, shared by every bed that loads
// it (the simulated kernel stack, Wine's kernel): the statuses, the interrupt packets the beds
// feed, and the judgement of one ended request against what it was expected to end with when
// nothing disturbed it. Plain C++ (no kernel or Windows headers), so both trees compile it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stress {

using Status = std::int32_t;

constexpr Status S(std::uint32_t v) {
    return static_cast<Status>(v);
}
constexpr Status kSuccess = 0;
constexpr Status kPending = 0x103;
constexpr Status kUnsuccessful = S(0xC0000001);
constexpr Status kInvalidHandle = S(0xC0000008);
constexpr Status kInvalidParameter = S(0xC000000D);
constexpr Status kNoSuchDevice = S(0xC000000E);
constexpr Status kInvalidDeviceRequest = S(0xC0000010);
constexpr Status kBufferTooSmall = S(0xC0000023);
constexpr Status kDeletePending = S(0xC0000056);
constexpr Status kIoTimeout = S(0xC00000B5);
constexpr Status kCancelled = S(0xC0000120);
constexpr Status kFileDeleted = S(0xC0000123);
constexpr Status kInvalidDeviceState = S(0xC0000184);
constexpr Status kWdfBusy = S(0xC0200203);

// The driver's time limit on everything it hands to the USB stack.
constexpr std::int64_t kSendTimeoutMs = 5000;

enum class Kind { Vendor, Read, Refused };

inline const char* KindName(Kind kind) {
    return kind == Kind::Vendor ? "vendor" : kind == Kind::Read ? "read" : "refused";
}

inline std::string Hex(std::uint32_t v) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        text += kDigits[(v >> shift) & 0xF];
    return text;
}

// What requests of an unplugged device end with: refused by the I/O manager (Wine's says the
// handle's file is deleted), failed by the bus as the device goes, failed at the removed USB
// target, or refused by a queue being purged.
inline bool IsGone(Status s) {
    return s == kDeletePending || s == kFileDeleted || s == kNoSuchDevice || s == kInvalidHandle ||
           s == kInvalidDeviceState || s == kWdfBusy;
}

// A request as sent, and what it ends with when nothing disturbs it.
struct Expected {
    Kind kind = Kind::Refused;
    std::uint32_t outLength = 0; // the caller's output buffer
    Status status = kSuccess;
    std::uint32_t bytes = 0;
};

// What may have happened to it on the way.
struct Circumstances {
    bool cancelled = false;   // CancelIoEx was called on it
    bool closedUnder = false; // its handle was closed while it was in flight
    bool disturbed = false;   // the device was unplugged (or replugged) while it was in flight
    std::int64_t elapsedMs = 0;
};

enum class Verdict {
    AsExpected, // the undisturbed outcome: the caller checks the data
    Allowed,    // another outcome the circumstances explain
    Violation,
};

struct Judgement {
    Verdict verdict = Verdict::AsExpected;
    std::string why; // for a violation
};

// Interrupt transfers the beds feed: a length byte, then `sequence`-derived bytes, a checksum of
// all before it last (from two bytes on). 1 to 12 bytes.
inline std::vector<std::uint8_t> InterruptPacket(std::uint16_t sequence, std::size_t length) {
    std::vector<std::uint8_t> packet(length < 1 ? 1 : length > 12 ? 12 : length);
    packet[0] = static_cast<std::uint8_t>(packet.size());
    std::uint8_t sum = packet[0];
    for (std::size_t i = 1; i + 1 < packet.size(); ++i) {
        packet[i] = static_cast<std::uint8_t>(sequence + i);
        sum = static_cast<std::uint8_t>(sum + packet[i]);
    }
    if (packet.size() >= 2)
        packet.back() = sum;
    return packet;
}

// Empty when `packet` is one of those, whole; else what is wrong with it.
inline std::string CheckInterruptPacket(const std::uint8_t* packet, std::size_t length) {
    if (length == 0 || packet[0] != length)
        return "interrupt data of another length than its packet says";
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; ++i)
        sum = static_cast<std::uint8_t>(sum + packet[i]);
    if (length >= 2 && packet[length - 1] != sum)
        return "interrupt data corrupted";
    return {};
}

// Judges one ended request; `out` is its output buffer (the first `bytes` of it were written).
inline Judgement Judge(const Expected& expected, const std::uint8_t* out, Status status,
                       std::uint64_t bytes, const Circumstances& c) {
    auto fail = [](const std::string& why) { return Judgement{Verdict::Violation, why}; };
    const Judgement allowed{Verdict::Allowed, {}};
    if (status == kPending)
        return fail("still pending after its wait");
    if (bytes > expected.outLength)
        return fail("more bytes than the buffer holds");
    // Whatever was handed to the USB stack may run into its 5 s timeout, and only then.
    const bool mayTimeOut = c.elapsedMs >= kSendTimeoutMs && expected.kind != Kind::Refused;
    if (status == kIoTimeout && !mayTimeOut)
        return fail("timed out before 5 s had passed");
    const bool mayBeCancelled = c.cancelled || c.closedUnder || c.disturbed;
    if (expected.kind == Kind::Read && expected.status == kSuccess) {
        // Reads end with data, or fail: nothing came within 5 s, cancellation, removal.
        if (status == kSuccess) {
            std::string wrong = CheckInterruptPacket(out, static_cast<std::size_t>(bytes));
            return wrong.empty() ? Judgement{} : fail(wrong);
        }
        // STATUS_UNSUCCESSFUL: a packet longer than the buffer, which the stack filled (data
        // overrun); the driver passes the length the stack reported. No other failure moves data.
        if (bytes != 0 && status != kUnsuccessful)
            return fail("a failed read with a count");
        if (status == kIoTimeout || status == kUnsuccessful ||
            (status == kCancelled && mayBeCancelled))
            return allowed;
        if (c.disturbed && IsGone(status))
            return allowed;
        return fail("a read failure nothing explains");
    }
    if (status == expected.status && bytes == expected.bytes)
        return {};
    if (bytes != 0)
        return fail("a failed request with a count");
    if (expected.kind != Kind::Refused && status == kIoTimeout)
        return allowed;
    if (status == kCancelled && mayBeCancelled)
        return allowed; // a refused request, too, may be cancelled while it waits on a queue
    if (c.disturbed && IsGone(status))
        return allowed;
    return fail("expected " + Hex(static_cast<std::uint32_t>(expected.status)) + " with " +
                std::to_string(expected.bytes) + " bytes");
}

} // namespace stress
