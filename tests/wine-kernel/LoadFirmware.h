// The colorimeter of the load run on the kernel host: its answers are a script the bus runs
// (one repeating record per request code and direction), so each request's outcome follows from
// its setup packet alone and the thread that sent it knows what must come back. Also the random
// requests of the run, each with that expected outcome. Plain C++: the native tree tests it.
#pragma once

#include "StressContract.h"

#include <cstdint>
#include <random>
#include <vector>

namespace load {

constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kVendorOut = 0x40;

// How the device answers one request code in one direction.
enum class Answer { Data, Ack, Error, Nothing, Stall };

struct Record {
    std::uint8_t requestType; // kVendorIn or kVendorOut
    std::uint8_t request;
    Answer answer;
    std::vector<std::uint8_t> data; // Data: what an IN request gets (as much as it asks for)
    std::uint32_t delayMs = 0;
};

// The request codes the run sends: scripted ones, and one no record answers (it stalls).
constexpr std::uint8_t kFirstCode = 0x50;
constexpr std::uint8_t kDelayedCodes[] = {0x58, 0x59};
constexpr std::uint8_t kErrorCode = 0x5A;
constexpr std::uint8_t kStalledCode = 0x5B;
constexpr std::uint8_t kSilentCode = 0x5C; // never answered: the driver's 5 s timeout ends it
constexpr std::uint8_t kCodes = 13;        // 0x50 ... 0x5C
constexpr std::int32_t kUsbError = static_cast<std::int32_t>(0xC0000012u); // babble

// The script: at most USBBUS_SCRIPT_RECORDS records, every one repeating.
std::vector<Record> Script();
// What the script answers; Stall for what it has no record of.
Answer AnswerOf(std::uint8_t requestType, std::uint8_t request);

std::uint8_t InByte(std::uint8_t request, std::size_t i);
std::uint8_t OutByte(std::uint16_t index, std::size_t i);

// One random request and what it ends with when nothing disturbs it.
struct Request {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> in;
    std::uint32_t outLength = 0;
    stress::Expected expected;
    bool checkIn = false; // vendor IN data to compare with InByte(request, i)
    std::uint8_t request = 0;
    std::uint16_t index = 0;
};

// `silentOneIn`: one vendor request in that many uses the code never answered (each holds the
// device's vendor queue for 5 s).
Request MakeRequest(std::mt19937_64& rng, std::uint32_t silentOneIn);
// A vendor request of those, never the unanswered code.
Request MakeVendorRequest(std::mt19937_64& rng);

// The driver's two control codes (driver/TalvikPublic.h).
constexpr std::uint32_t kVendorCode = 0x00222059;
constexpr std::uint32_t kReadCode = 0x0022204E;

} // namespace load
