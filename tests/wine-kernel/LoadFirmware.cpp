#include "LoadFirmware.h"

#include <algorithm>

namespace load {

namespace {

bool Delayed(std::uint8_t request) {
    return std::find(std::begin(kDelayedCodes), std::end(kDelayedCodes), request) !=
           std::end(kDelayedCodes);
}

// IN data of 0 to 96 bytes, so that buffers come out longer, shorter and equal.
std::uint32_t InLengthOf(std::uint8_t request) {
    return (request * 37u) % 97u;
}

Request MakeAny(std::mt19937_64& rng, std::uint32_t silentOneIn, bool vendor);

} // namespace

std::uint8_t InByte(std::uint8_t request, std::size_t i) {
    return static_cast<std::uint8_t>(request * 31 + i * 7 + 1);
}

std::uint8_t OutByte(std::uint16_t index, std::size_t i) {
    return static_cast<std::uint8_t>(index + i * 13 + 5);
}

std::vector<Record> Script() {
    std::vector<Record> records;
    for (std::uint8_t type : {kVendorIn, kVendorOut}) {
        for (std::uint8_t request = kFirstCode; request < kFirstCode + kCodes; ++request) {
            Record r{type, request, AnswerOf(type, request), {}, 0};
            if (r.answer == Answer::Stall)
                continue; // no record: the bus stalls it
            if (r.answer == Answer::Data)
                for (std::size_t i = 0; i < InLengthOf(request); ++i)
                    r.data.push_back(InByte(request, i));
            if (Delayed(request))
                r.delayMs = 5 + (request & 1) * 25;
            records.push_back(r);
        }
    }
    return records;
}

Answer AnswerOf(std::uint8_t requestType, std::uint8_t request) {
    if (request < kFirstCode || request >= kFirstCode + kCodes || request == kStalledCode)
        return Answer::Stall;
    if (request == kErrorCode)
        return Answer::Error;
    if (request == kSilentCode)
        return Answer::Nothing;
    return requestType == kVendorIn ? Answer::Data : Answer::Ack;
}

Request MakeVendorRequest(std::mt19937_64& rng) {
    return MakeAny(rng, 0, true);
}

Request MakeRequest(std::mt19937_64& rng, std::uint32_t silentOneIn) {
    return MakeAny(rng, silentOneIn, false);
}

namespace {

Request MakeAny(std::mt19937_64& rng, std::uint32_t silentOneIn, bool vendor) {
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    Request r;
    const std::uint32_t roll = vendor ? 0 : pick(100);
    if (roll < 55) {
        r.expected.kind = stress::Kind::Vendor;
        r.code = kVendorCode;
        const bool in = pick(2) == 0;
        r.request = static_cast<std::uint8_t>(kFirstCode + pick(kCodes - 1)); // all but silent
        if (silentOneIn != 0 && pick(silentOneIn) == 0)
            r.request = kSilentCode;
        const std::uint16_t value = static_cast<std::uint16_t>(rng());
        r.index = static_cast<std::uint16_t>(rng());
        std::uint32_t length = pick(4) == 0 ? 0 : pick(129);
        if (pick(300) == 0)
            length = 0x10000 + pick(64); // longer than a setup packet can state
        r.in.assign(pick(8) == 0 ? 10 + pick(7) : 10, static_cast<std::uint8_t>(rng()));
        r.in[0] = in ? static_cast<std::uint8_t>(1 + pick(255)) : 0;
        // RequestType/Recipient pairs whose key is 8: vendor, device.
        static const std::uint8_t served[][2] = {{2, 0}, {0, 8}, {2, 8}};
        const auto& pair = served[pick(3)];
        r.in[1] = pair[0];
        r.in[2] = pair[1];
        r.in[4] = r.request;
        r.in[6] = static_cast<std::uint8_t>(value);
        r.in[7] = static_cast<std::uint8_t>(value >> 8);
        r.in[8] = static_cast<std::uint8_t>(r.index);
        r.in[9] = static_cast<std::uint8_t>(r.index >> 8);
        r.outLength = length;
        r.expected.outLength = length;
        if (length > 0xFFFF) {
            r.expected.status = stress::kInvalidParameter;
            return r;
        }
        switch (AnswerOf(in ? kVendorIn : kVendorOut, r.request)) {
        case Answer::Data:
            r.expected.bytes = std::min(InLengthOf(r.request), length);
            r.checkIn = true;
            break;
        case Answer::Ack:
            r.expected.bytes = length;
            break;
        case Answer::Error:
        case Answer::Stall:
            r.expected.status = stress::kUnsuccessful;
            break;
        case Answer::Nothing:
            r.expected.status = stress::kIoTimeout;
            break;
        }
        return r;
    }
    if (roll < 80) {
        r.expected.kind = stress::Kind::Read;
        r.code = kReadCode;
        r.outLength = pick(10) == 0 ? 0 : 1 + pick(64);
        r.expected.outLength = r.outLength;
        r.expected.status = r.outLength == 0 ? stress::kBufferTooSmall : stress::kSuccess;
        return r;
    }
    r.expected.kind = stress::Kind::Refused;
    r.expected.status = stress::kInvalidDeviceRequest;
    const std::uint32_t what = pick(4);
    if (what == 0) {
        // A vendor block shorter than 10 bytes.
        r.code = kVendorCode;
        r.in.assign(pick(10), static_cast<std::uint8_t>(rng()));
        r.outLength = pick(16);
        r.expected.status = stress::kBufferTooSmall;
    } else if (what == 1) {
        // A block whose key is not 8 (class requests among them).
        r.code = kVendorCode;
        r.in.assign(10, 0);
        for (auto& b : r.in)
            b = static_cast<std::uint8_t>(rng());
        while ((static_cast<std::uint32_t>(r.in[1]) * 4 | r.in[2]) == 8)
            r.in[2] = static_cast<std::uint8_t>(rng());
        r.outLength = pick(16);
    } else if (what == 2) {
        // One of the two codes with other method or access bits (access the handle has).
        const std::uint32_t base = pick(2) ? kVendorCode : kReadCode;
        std::uint32_t code;
        do
            code = (base & ~0xC003u) | pick(4) | (pick(4) << 14);
        while (code == base);
        r.code = code;
        r.in.assign(pick(12), 0);
        r.outLength = pick(16);
    } else {
        do
            r.code = static_cast<std::uint32_t>(rng()) & 0xFFFF3FFF;
        while (r.code == kVendorCode || r.code == kReadCode);
        r.in.assign(pick(12), 0);
        r.outLength = pick(16);
    }
    r.expected.outLength = r.outLength;
    return r;
}

} // namespace

} // namespace load
