#include "DisplayWorld.h"
#include "display/EnumDisplay.h"

#include <gtest/gtest.h>

namespace {

struct EdidCase {
    const char* what;
    BYTE b8, b9, b10, b11;
    int expected;
};

const EdidCase kEdidCases[] = {
    {"VQT 5C20", 0x5A, 0x34, 0x20, 0x5C, 1},
    {"VQT 5C21", 0x5A, 0x34, 0x21, 0x5C, 1},
    {"VQT 5C26, the worked example", 0x5A, 0x34, 0x26, 0x5C, 1},
    {"VQT 5C27", 0x5A, 0x34, 0x27, 0x5C, 1},
    {"product bytes swapped", 0x5A, 0x34, 0x5C, 0x26, 0},
    {"VQT 5C22, inside the gap", 0x5A, 0x34, 0x22, 0x5C, 0},
    {"VQT 5C25, inside the gap", 0x5A, 0x34, 0x25, 0x5C, 0},
    {"VQT 5C1F, below", 0x5A, 0x34, 0x1F, 0x5C, 0},
    {"VQT 5C28, above", 0x5A, 0x34, 0x28, 0x5C, 0},
    {"VQT 0000", 0x5A, 0x34, 0x00, 0x00, 0},
    {"VQU with a supported product", 0x5A, 0x35, 0x26, 0x5C, 0},
    {"UQT with a supported product", 0x56, 0x34, 0x26, 0x5C, 0},
    {"VPT with a supported product", 0x5A, 0x14, 0x26, 0x5C, 0},
    {"maker bytes swapped", 0x34, 0x5A, 0x26, 0x5C, 0},
    {"maker word zero decodes to @@@", 0x00, 0x00, 0x26, 0x5C, 0},
    {"unused top bit set is ignored", 0xDA, 0x34, 0x26, 0x5C, 1},
};

void PrintTo(const EdidCase& c, std::ostream* os) {
    *os << c.what;
}

class SupportedEdid : public testing::TestWithParam<EdidCase> {};

TEST_P(SupportedEdid, DecidesFromMakerAndProductOnly) {
    const EdidCase& c = GetParam();
    std::vector<BYTE> block = EdidBlock(c.b8, c.b9, c.b10, c.b11);
    EXPECT_EQ(CEnumDisplay::IsSupportedEdid(block.data()), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, SupportedEdid, testing::ValuesIn(kEdidCases));

TEST(SupportedEdidBlock, HeaderAndChecksumAreNotLookedAt) {
    std::vector<BYTE> block(128, 0xFF);
    block[8] = 0x5A;
    block[9] = 0x34;
    block[10] = 0x21;
    block[11] = 0x5C;
    EXPECT_EQ(CEnumDisplay::IsSupportedEdid(block.data()), 1);
}

} // namespace
