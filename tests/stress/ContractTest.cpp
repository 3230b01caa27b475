// The rules every load run judges Talvik2's requests by (StressContract.h), and the Wine load
// run's scripted colorimeter (tests/wine-kernel/LoadFirmware): its script and the outcome each
// random request is expected to end with must agree, or the run reports faults that are not.
#include "StressContract.h"

#include "LoadFirmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

namespace {

using stress::Circumstances;
using stress::Expected;
using stress::Judge;
using stress::Kind;
using stress::Verdict;

Verdict VerdictOf(const Expected& e, stress::Status status, std::uint64_t bytes,
                  const Circumstances& c = {}, const std::vector<std::uint8_t>& out = {}) {
    std::vector<std::uint8_t> buffer = out;
    buffer.resize(std::max<size_t>(buffer.size(), e.outLength));
    return Judge(e, buffer.data(), status, bytes, c).verdict;
}

TEST(StressContract, AVendorRequestEndsAsExpectedOrAsItsCircumstancesExplain) {
    const Expected e{Kind::Vendor, 16, stress::kSuccess, 12};
    EXPECT_EQ(VerdictOf(e, stress::kSuccess, 12), Verdict::AsExpected);
    EXPECT_EQ(VerdictOf(e, stress::kSuccess, 11), Verdict::Violation);
    EXPECT_EQ(VerdictOf(e, stress::kSuccess, 17), Verdict::Violation); // past the buffer
    EXPECT_EQ(VerdictOf(e, stress::kPending, 0), Verdict::Violation);
    // A failure never carries a count.
    EXPECT_EQ(VerdictOf(e, stress::kUnsuccessful, 12), Verdict::Violation);
    // The driver's timeout, only once 5 s have passed.
    EXPECT_EQ(VerdictOf(e, stress::kIoTimeout, 0, {false, false, false, 4999}), Verdict::Violation);
    EXPECT_EQ(VerdictOf(e, stress::kIoTimeout, 0, {false, false, false, 5000}), Verdict::Allowed);
    // Cancelled: only when it was, its handle went, or the device did.
    EXPECT_EQ(VerdictOf(e, stress::kCancelled, 0), Verdict::Violation);
    EXPECT_EQ(VerdictOf(e, stress::kCancelled, 0, {true, false, false, 1}), Verdict::Allowed);
    EXPECT_EQ(VerdictOf(e, stress::kCancelled, 0, {false, true, false, 1}), Verdict::Allowed);
    EXPECT_EQ(VerdictOf(e, stress::kCancelled, 0, {false, false, true, 1}), Verdict::Allowed);
}

TEST(StressContract, GoneStatusesNeedAnUnplug) {
    const Expected e{Kind::Refused, 8, stress::kInvalidDeviceRequest, 0};
    for (stress::Status gone :
         {stress::kDeletePending, stress::kFileDeleted, stress::kNoSuchDevice,
          stress::kInvalidHandle, stress::kInvalidDeviceState, stress::kWdfBusy}) {
        EXPECT_TRUE(stress::IsGone(gone));
        EXPECT_EQ(VerdictOf(e, gone, 0), Verdict::Violation) << stress::Hex(gone);
        EXPECT_EQ(VerdictOf(e, gone, 0, {false, false, true, 1}), Verdict::Allowed);
    }
    EXPECT_FALSE(stress::IsGone(stress::kUnsuccessful));
    // A refused request was never handed to the USB stack: no timeout for it.
    EXPECT_EQ(VerdictOf(e, stress::kIoTimeout, 0, {false, false, true, 6000}), Verdict::Violation);
}

TEST(StressContract, ReadsEndWithAWholePacketOrFailWithoutData) {
    const Expected e{Kind::Read, 16, stress::kSuccess, 0};
    const std::vector<std::uint8_t> packet = stress::InterruptPacket(41, 7);
    EXPECT_EQ(stress::CheckInterruptPacket(packet.data(), packet.size()), "");
    EXPECT_EQ(VerdictOf(e, stress::kSuccess, 7, {}, packet), Verdict::AsExpected);
    // Cut short, or a byte changed on the way.
    EXPECT_EQ(VerdictOf(e, stress::kSuccess, 6, {}, packet), Verdict::Violation);
    std::vector<std::uint8_t> corrupted = packet;
    corrupted[3] ^= 0x10;
    EXPECT_EQ(VerdictOf(e, stress::kSuccess, 7, {}, corrupted), Verdict::Violation);
    EXPECT_EQ(VerdictOf(e, stress::kSuccess, 0, {}, packet), Verdict::Violation);
    // Failures: no data came in time; a packet longer than the buffer, which the stack filled
    // (its length passed on); no other failure with a count.
    EXPECT_EQ(VerdictOf(e, stress::kIoTimeout, 0, {false, false, false, 5000}), Verdict::Allowed);
    EXPECT_EQ(VerdictOf(e, stress::kIoTimeout, 7, {false, false, false, 5000}), Verdict::Violation);
    EXPECT_EQ(VerdictOf(e, stress::kUnsuccessful, 0), Verdict::Allowed);
    EXPECT_EQ(VerdictOf(e, stress::kUnsuccessful, 7), Verdict::Allowed);
    EXPECT_EQ(VerdictOf(e, stress::kNoSuchDevice, 7, {false, false, true, 1}), Verdict::Violation);
    EXPECT_EQ(VerdictOf(e, stress::kNoSuchDevice, 0), Verdict::Violation);
    // A one-byte packet is its length alone.
    const std::vector<std::uint8_t> one = stress::InterruptPacket(3, 1);
    EXPECT_EQ(one, std::vector<std::uint8_t>{1});
}

TEST(LoadFirmware, TheScriptFitsTheBusAndAnswersEachCodeOnce) {
    const std::vector<load::Record> script = load::Script();
    EXPECT_LE(script.size(), 64u); // USBBUS_SCRIPT_RECORDS
    std::map<std::pair<int, int>, int> seen;
    for (const load::Record& r : script) {
        EXPECT_EQ(++seen[std::make_pair(int(r.requestType), int(r.request))], 1);
        EXPECT_EQ(r.answer, load::AnswerOf(r.requestType, r.request));
        EXPECT_NE(r.answer, load::Answer::Stall); // stalls need no record
        EXPECT_LE(r.data.size(), 96u);
        if (r.requestType == load::kVendorOut) {
            EXPECT_TRUE(r.data.empty());
        }
        for (size_t i = 0; i < r.data.size(); ++i)
            EXPECT_EQ(r.data[i], load::InByte(r.request, i));
    }
    EXPECT_EQ(seen.count(std::make_pair(int(load::kVendorIn), int(load::kStalledCode))), 0u);
    EXPECT_EQ(load::AnswerOf(load::kVendorIn, load::kSilentCode), load::Answer::Nothing);
    EXPECT_EQ(load::AnswerOf(load::kVendorOut, 0x01), load::Answer::Stall);
}

// What each random request is expected to end with follows from the script the bus runs.
TEST(LoadFirmware, EveryRequestsExpectationFollowsFromTheScript) {
    std::map<std::pair<int, int>, const load::Record*> byCode;
    const std::vector<load::Record> script = load::Script();
    for (const load::Record& r : script)
        byCode[{r.requestType, r.request}] = &r;
    std::mt19937_64 rng(5);
    std::map<Kind, int> kinds;
    int silent = 0, long_ = 0;
    for (int n = 0; n < 20000; ++n) {
        const load::Request r = load::MakeRequest(rng, 50);
        ++kinds[r.expected.kind];
        EXPECT_EQ(r.expected.outLength, r.outLength);
        if (r.expected.kind == Kind::Read) {
            EXPECT_EQ(r.code, load::kReadCode);
            EXPECT_EQ(r.expected.status,
                      r.outLength == 0 ? stress::kBufferTooSmall : stress::kSuccess);
            continue;
        }
        const bool served =
            r.code == load::kVendorCode && r.in.size() >= 10 && (r.in[1] * 4u | r.in[2]) == 8;
        EXPECT_EQ(r.expected.kind == Kind::Vendor, served);
        if (!served) {
            EXPECT_TRUE(r.expected.status == stress::kInvalidDeviceRequest ||
                        (r.expected.status == stress::kBufferTooSmall && r.in.size() < 10));
            continue;
        }
        EXPECT_EQ(r.in[4], r.request);
        EXPECT_EQ(r.in[8] | r.in[9] << 8, r.index);
        if (r.outLength > 0xFFFF) {
            ++long_;
            EXPECT_EQ(r.expected.status, stress::kInvalidParameter);
            continue;
        }
        const std::uint8_t type = r.in[0] != 0 ? load::kVendorIn : load::kVendorOut;
        auto record = byCode.find({type, r.request});
        silent += r.request == load::kSilentCode;
        if (record == byCode.end()) {
            EXPECT_EQ(r.expected.status, stress::kUnsuccessful); // stalled
        } else if (record->second->answer == load::Answer::Data) {
            EXPECT_EQ(r.expected.status, stress::kSuccess);
            EXPECT_EQ(
                r.expected.bytes,
                std::min<std::uint32_t>(std::uint32_t(record->second->data.size()), r.outLength));
            EXPECT_TRUE(r.checkIn);
        } else if (record->second->answer == load::Answer::Ack) {
            EXPECT_EQ(r.expected.status, stress::kSuccess);
            EXPECT_EQ(r.expected.bytes, r.outLength);
        } else if (record->second->answer == load::Answer::Error) {
            EXPECT_EQ(r.expected.status, stress::kUnsuccessful);
        } else {
            EXPECT_EQ(r.expected.status, stress::kIoTimeout);
        }
    }
    EXPECT_GT(kinds[Kind::Vendor], 9000);
    EXPECT_GT(kinds[Kind::Read], 4000);
    EXPECT_GT(kinds[Kind::Refused], 3000);
    EXPECT_GT(silent, 100);
    EXPECT_GT(long_, 10);
    for (int n = 0; n < 2000; ++n) {
        const load::Request v = load::MakeVendorRequest(rng);
        EXPECT_EQ(v.expected.kind, Kind::Vendor);
        EXPECT_NE(v.request, load::kSilentCode);
    }
}

} // namespace
