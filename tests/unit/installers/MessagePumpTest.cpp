#include "InstallerTestSupport.h"
#include "installers/MessagePump.h"

#include <gtest/gtest.h>

namespace {

MSG Message(UINT id) {
    MSG m{};
    m.message = id;
    return m;
}

TEST(MessagePump, DrainsTheQueueThroughTheDialogWithoutWaiting) {
    CFakeSystemApi world;
    CScopedSystemApi scope(world);
    world.logPeeks = true;
    CFakeSetupDialogView dialog(world.dialogWindow);
    // The dialog's keyboard handling takes WM_KEYDOWN; the rest, a quit message included, is
    // translated and dispatched.
    world.pendingMessages = {Message(WM_PAINT), Message(WM_KEYDOWN), Message(WM_QUIT),
                             Message(WM_COMMAND)};

    PumpMessages(dialog);

    EXPECT_TRUE(world.pendingMessages.empty());
    EXPECT_EQ(world.dispatchedMessages, (std::vector<UINT>{WM_PAINT, WM_QUIT, WM_COMMAND}));
    EXPECT_EQ(world.translatedMessages, world.dispatchedMessages);
    EXPECT_EQ(world.dialogMessageWindows, std::vector<HWND>(4, world.dialogWindow));
    // Four messages, then the empty queue ends the pump: any window, any message, removed.
    EXPECT_EQ(world.log, std::vector<std::string>(5, "PeekMessageA(0,0,0,1)"));
}

} // namespace
