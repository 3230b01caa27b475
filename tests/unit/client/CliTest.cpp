#include "FakeTransport.h"

#include "Cli.h"
#include "talvik/SystemErrors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <limits>

namespace talvik::cli {
namespace {

using test::FakeTransport;
using Bytes = std::vector<uint8_t>;

TEST(CliParse, Numbers) {
    const struct {
        const char* text;
        uint32_t max;
        std::optional<uint32_t> value;
    } rows[] = {
        {"0", 0xFF, 0u},
        {"255", 0xFF, 255u},
        {"256", 0xFF, std::nullopt},
        {"0x10", 0xFF, 16u},
        {"0XfF", 0xFF, 255u},
        {"0x100", 0xFF, std::nullopt},
        {"010", 0xFF, 10u},
        {"", 0xFF, std::nullopt},
        {"0x", 0xFF, std::nullopt},
        {"-1", 0xFF, std::nullopt},
        {"1a", 0xFF, std::nullopt},
        {"12 ", 0xFF, std::nullopt},
        {"99999999999999999999", 0xFFFFFFFF, std::nullopt},
        {"0xFFFFFFFF", 0xFFFFFFFF, 0xFFFFFFFFu},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseNumber(row.text, row.max), row.value) << "'" << row.text << "'";
}

TEST(CliParse, HexData) {
    const struct {
        const char* text;
        std::optional<Bytes> bytes;
    } rows[] = {
        {"", Bytes{}},
        {"00", Bytes{0}},
        {"0a0B", Bytes{0x0A, 0x0B}},
        {"de ad:be-ef,01", Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01}},
        {"abc", std::nullopt}, // odd digit count
        {"a b", std::nullopt}, // separator inside a pair
        {"0g", std::nullopt},
        {"0x01", std::nullopt}, // no prefix in data
    };
    for (const auto& row : rows)
        EXPECT_EQ(ParseHex(row.text), row.bytes) << "'" << row.text << "'";
    const Bytes all{0x00, 0x7F, 0x80, 0xFF};
    EXPECT_EQ(FormatHex(all.data(), all.size()), "00 7f 80 ff");
}

TEST(CliParse, ScriptLines) {
    EXPECT_EQ(SplitWords("  vendor --in\t--request 1 # note"),
              (std::vector<std::string>{"vendor", "--in", "--request", "1"}));
    EXPECT_TRUE(SplitWords("# only a comment").empty());
    EXPECT_TRUE(SplitWords("   ").empty());
}

TEST(CliOutput, WholeNumbersInDecimal) {
    StringOutput out;
    out << 0 << " " << 42u << " " << -7 << " " << std::numeric_limits<int64_t>::min() << " "
        << std::numeric_limits<uint64_t>::max() << " " << size_t{3} << "\n";
    EXPECT_EQ(out.str(), "0 42 -7 -9223372036854775808 18446744073709551615 3\n");
}

class CliTest : public ::testing::Test {
protected:
    int Run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return cli::Run(args, client, out, err);
    }
    FakeTransport fake;
    Client client{fake};
    StringOutput out, err;
};

TEST_F(CliTest, UsageErrorsSendNothing) {
    fake.devices = {"dev0"};
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"frobnicate"},
        {"list", "extra"},
        {"vendor", "--request", "1"}, // no direction
        {"vendor", "--in"},           // no request
        {"vendor", "--in", "--request", "0x100"},
        {"vendor", "--in", "--request", "1", "--value", "65536"},
        {"vendor", "--in", "--request", "1", "--index", "x"},
        {"vendor", "--in", "--request", "1", "--length", "65536"},
        {"vendor", "--in", "--request", "1", "--data", "01"}, // data only goes out
        {"vendor", "--out", "--request", "1", "--data", "0102", "--length", "3"},
        {"vendor", "--out", "--request", "1", "--data", "012"},
        {"vendor", "--out", "--request"},
        {"vendor", "--out", "--request", "1", "--bogus", "1"},
        {"read", "--count", "0"},
        {"read", "--length"},
        {"read", "--speed", "9"},
        {"read", "--cancel-after", "3600001"},
        {"read", "--cancel-after", "-1"},
        {"--device"},
        {"script"},
    };
    for (const auto& args : rows) {
        EXPECT_EQ(Run(args), kExitUsage) << ::testing::PrintToString(args);
        EXPECT_FALSE(err.str().empty());
    }
    EXPECT_TRUE(fake.opened.empty());
    EXPECT_TRUE(fake.submissions.empty());
}

TEST_F(CliTest, ListPrintsEveryPath) {
    fake.devices = {"\\\\?\\usb#a", "\\\\?\\usb#b"};
    EXPECT_EQ(Run({"list"}), kExitOk);
    EXPECT_EQ(out.str(), "2 colorimeters\n  0  \\\\?\\usb#a\n  1  \\\\?\\usb#b\n");
    fake.devices.clear();
    EXPECT_EQ(Run({"list"}), kExitOk);
    EXPECT_EQ(out.str(), "0 colorimeters\n");
}

TEST_F(CliTest, VendorInPrintsBlockStatusAndData) {
    fake.devices = {"dev0"};
    fake.replies = {{0, 3, Bytes{0x4B, 0x41, 0x4C}}};
    EXPECT_EQ(Run({"vendor", "--in", "--request", "0x01", "--value", "0x1234", "--index", "2",
                   "--length", "64"}),
              kExitOk);
    EXPECT_EQ(out.str(), "vendor IN  request 0x01 value 0x1234 index 0x0002 length 64\n"
                         "  block   01 02 00 00 01 00 34 12 02 00\n"
                         "  status  success (error 0), 3 bytes\n"
                         "  data    4b 41 4c\n");
    ASSERT_EQ(fake.submissions.size(), 1u);
    EXPECT_EQ(fake.submissions[0].outLength, 64u);
}

TEST_F(CliTest, VendorOutSendsTheDataAndFailuresSetTheExitCode) {
    fake.devices = {"dev0"};
    fake.replies = {{syserr::kGenFailure, 0, {}}};
    EXPECT_EQ(Run({"vendor", "--out", "--request", "7", "--data", "a1 b2"}), kExitRequestFailed);
    EXPECT_EQ(out.str(), "vendor OUT request 0x07 value 0x0000 index 0x0000 length 2\n"
                         "  block   00 02 00 00 07 00 00 00 00 00\n"
                         "  data    a1 b2\n"
                         "  status  device error (error 31), 0 bytes\n");
    ASSERT_EQ(fake.submissions.size(), 1u);
    EXPECT_EQ(fake.submissions[0].outAtSubmit, (Bytes{0xA1, 0xB2}));
}

TEST_F(CliTest, VendorWithoutDataHasNoDataStage) {
    fake.devices = {"dev0"};
    EXPECT_EQ(Run({"vendor", "--out", "--request", "3"}), kExitOk);
    ASSERT_EQ(fake.submissions.size(), 1u);
    EXPECT_EQ(fake.submissions[0].outLength, 0u);
}

TEST_F(CliTest, ReadRepeatsAndReportsEachRead) {
    fake.devices = {"dev0"};
    fake.replies = {{0, 2, Bytes{1, 2}}, {syserr::kSemTimeout, 0, {}}, {0, 1, Bytes{3}}};
    EXPECT_EQ(Run({"read", "--count", "3", "--length", "8"}), kExitRequestFailed);
    EXPECT_EQ(out.str(), "read 1/3 length 8\n"
                         "  status  success (error 0), 2 bytes\n"
                         "  data    01 02\n"
                         "read 2/3 length 8\n"
                         "  status  timed out (error 121), 0 bytes\n"
                         "read 3/3 length 8\n"
                         "  status  success (error 0), 1 byte\n"
                         "  data    03\n");
    EXPECT_EQ(fake.submissions.size(), 3u);
    EXPECT_EQ(fake.opened.size(), 1u);
}

// A read still pending after --cancel-after is cancelled and then waited for: its own status is
// printed, and one that ends in time is left alone.
TEST_F(CliTest, ReadCancelsWhatDoesNotEndInTime) {
    fake.devices = {"dev0"};
    test::Reply pending{syserr::kOperationAborted, 0, {}};
    pending.pendsUntilCancelled = true;
    fake.replies = {pending, {0, 1, Bytes{7}}};
    EXPECT_EQ(Run({"read", "--count", "2", "--cancel-after", "250"}), kExitRequestFailed);
    EXPECT_EQ(out.str(), "read 1/2 length 64\n"
                         "  cancel  after 250 ms\n"
                         "  status  cancelled (error 995), 0 bytes\n"
                         "read 2/2 length 64\n"
                         "  status  success (error 0), 1 byte\n"
                         "  data    07\n");
    EXPECT_EQ(fake.events,
              (std::vector<std::string>{"submit 1", "waitfor 1 250", "cancel 1", "wait 1",
                                        "submit 2", "waitfor 2 250", "wait 2", "close dev0"}));
}

TEST_F(CliTest, DeviceIsChosenByIndexOrPath) {
    fake.devices = {"dev0", "dev1"};
    EXPECT_EQ(Run({"--device", "1", "read"}), kExitOk);
    EXPECT_EQ(Run({"--device", "\\\\?\\other", "read"}), kExitOk);
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"dev1", "\\\\?\\other"}));
    EXPECT_EQ(Run({"--device", "2", "read"}), kExitRequestFailed);
    EXPECT_EQ(out.str(), "no colorimeter 2 (2 present)\n");
    fake.devices.clear();
    EXPECT_EQ(Run({"read"}), kExitRequestFailed);
    fake.devices = {"dev0"};
    fake.openErrors["dev0"] = syserr::kAccessDenied;
    EXPECT_EQ(Run({"read"}), kExitRequestFailed);
    EXPECT_EQ(out.str(), "open    dev0: failed (error 5)\n");
    EXPECT_EQ(fake.submissions.size(), 2u);
}

TEST_F(CliTest, ScriptRunsEachLineAndStopsAtAUsageError) {
    fake.devices = {"dev0", "dev1"};
    const std::string path = ::testing::TempDir() + "talvikctl-script.txt";
    {
        std::ofstream file(path);
        // The last line has no line end.
        file << "# session\n\nlist\nread --length 4\nvendor --in --request 1 --length 2";
    }
    EXPECT_EQ(Run({"--device", "1", "script", path}), kExitOk);
    EXPECT_NE(out.str().find("> read --length 4\nread 1/1 length 4\n"), std::string::npos);
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"dev1", "dev1"}));
    {
        std::ofstream file(path);
        file << "read\nread --count x\nread\n";
    }
    EXPECT_EQ(Run({"script", path}), kExitUsage);
    EXPECT_EQ(fake.submissions.size(), 3u);
    std::remove(path.c_str());
    EXPECT_EQ(Run({"script", path}), kExitUsage);
}

} // namespace
} // namespace talvik::cli
