#include "FakeSystemApi.h"

#include <gtest/gtest.h>

TEST(SystemApi, ScopedReplacementIsUndoneAtScopeEnd) {
    CSystemApi& before = SystemApi();
    CFakeSystemApi world;
    {
        CScopedSystemApi scope(world);
        EXPECT_EQ(&SystemApi(), &world);
    }
    EXPECT_EQ(&SystemApi(), &before);
}
