// The handle owner and the code-page stepping rule that every scan of the setup shares.
#include "FakeSystemApi.h"
#include "platform/CodePageText.h"
#include "platform/ScopedHandle.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A handle kind whose "nothing" is -1 (as INVALID_HANDLE_VALUE is for find handles), so that a
// test sees every close.
std::vector<int> g_closed;
struct CountedTraits {
    using Handle = int;
    static Handle Invalid() { return -1; }
    static void Close(Handle handle) { g_closed.push_back(handle); }
};
using CCounted = CScopedHandle<CountedTraits>;

TEST(ScopedHandle, ClosesWhatItHoldsOnceAndNeverItsNothing) {
    g_closed.clear();
    {
        CCounted none;
        EXPECT_FALSE(none.IsValid());
        CCounted zero(0); // 0 is a handle for this kind: only -1 means none
        EXPECT_TRUE(zero.IsValid());
        CCounted held(7);
        held.Reset(8); // the previous one is closed first
        EXPECT_EQ(g_closed, std::vector<int>{7});
        held.Reset();
        EXPECT_FALSE(held.IsValid());
        held.Reset(-1);
        EXPECT_EQ(g_closed, (std::vector<int>{7, 8}));
        held.Reset(9);
    }
    // Destroyed in reverse order of declaration; the empty one closes nothing.
    EXPECT_EQ(g_closed, (std::vector<int>{7, 8, 9, 0}));
}

TEST(ScopedHandle, FindHandleOwnsOnlyAListingThatOpened) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    world.listings["C:\\P\\*"] = {CFakeSystemApi::Entry("a", false)};
    {
        CScopedFindHandle missing(world.FindFirstFileA("C:\\Q\\*", nullptr));
        EXPECT_FALSE(missing.IsValid());
        WIN32_FIND_DATAA entry;
        CScopedFindHandle found(world.FindFirstFileA("C:\\P\\*", &entry));
        EXPECT_TRUE(found.IsValid());
        EXPECT_EQ(world.OpenHandleCount(), 1);
    }
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

TEST(CodePageText, LeadBytesTakeTheNextByteWhenThereIsOne) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    const std::string text = "a\x83\x5C\x95"; // a, ソ (trail byte 0x5C), a lead byte at the end
    const struct {
        bool doubleByte;
        size_t at, length;
    } cases[] = {{true, 0, 1}, {true, 1, 2}, {true, 3, 1}, {false, 1, 1}, {false, 2, 1}};
    for (const auto& c : cases) {
        world.doubleByteCodePage = c.doubleByte;
        EXPECT_EQ(CharLengthAt(text, c.at), c.length) << c.at << " double-byte " << c.doubleByte;
    }
}

} // namespace
