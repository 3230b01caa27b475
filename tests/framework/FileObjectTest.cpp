// File objects: each open of a device with a file object config gets a WDFFILEOBJECT with its
// context; cleanup and close run their callbacks in order and the object goes at close.
#include "FrameworkFixture.h"

#include "FxDevice.h"

namespace {

class FileObjectTest : public FrameworkFixture {};

TEST_F(FileObjectTest, EachOpenHasAFileObjectUntilItCloses) {
    g_fxTestOptions.FileObjects = TRUE;
    PlugTestDevice();
    ULONG before = LiveObjects();
    ntsim::UserIo::Handle first = Open();
    ntsim::UserIo::Handle second = Open();
    EXPECT_EQ(LiveObjects(), before + 2);
    Close(first);
    EXPECT_EQ(Order(), "PEfFk"); // cleanup, close, then the object with its context
    EXPECT_EQ(LiveObjects(), before + 1);
    Close(second);
    EXPECT_EQ(LiveObjects(), before);
}

TEST_F(FileObjectTest, WithoutAConfigOpensNeedNoObject) {
    PlugTestDevice();
    ULONG before = LiveObjects();
    ntsim::UserIo::Handle h = Open();
    EXPECT_EQ(LiveObjects(), before);
    Close(h);
}

TEST_F(FileObjectTest, AnOpenHandleAtRemovalGoesWithTheDevice) {
    g_fxTestOptions.FileObjects = TRUE;
    PlugTestDevice();
    Open();
    Unplug();
    EXPECT_EQ(LiveObjects(), 0u);
}

} // namespace
