#include "FakeSystemApi.h"
#include "app/AdminProbe.h"
#include "app/ProductState.h"
#include "app/WinOSVersion.h"

#include <gtest/gtest.h>

namespace {

struct VersionCase {
    const char* what;
    bool acceptExtended, acceptBasic;
    BOOL infoEx, valid;
};

const VersionCase kVersionCases[] = {
    {"extended record taken", true, true, TRUE, TRUE},
    {"only the basic record taken", false, true, FALSE, TRUE},
    {"neither taken", false, false, FALSE, FALSE},
};

TEST(WinOSVersion, FallsBackToTheBasicRecord) {
    for (const VersionCase& c : kVersionCases) {
        CFakeSystemApi world;
        world.acceptExtendedVersion = c.acceptExtended;
        world.acceptBasicVersion = c.acceptBasic;
        world.version.dwMajorVersion = 5;
        world.version.dwMinorVersion = 1;
        world.version.wServicePackMajor = 3;
        CScopedSystemApi scope(world);
        CWinOSVersion os;
        EXPECT_EQ(os.m_bVersionInfoEx, c.infoEx) << c.what;
        EXPECT_EQ(os.m_bVersionValid, c.valid) << c.what;
        if (!c.valid)
            continue;
        EXPECT_EQ(os.m_osvi.dwMajorVersion, 5u) << c.what;
        EXPECT_EQ(os.m_osvi.dwMinorVersion, 1u) << c.what;
        // The basic record covers only the leading part; the rest stays as cleared.
        EXPECT_EQ(os.m_osvi.wServicePackMajor, c.infoEx ? 3 : 0) << c.what;
    }
}

TEST(AdminProbe, HandsTheAnswerOn) {
    for (BOOL admin : {TRUE, FALSE}) {
        CFakeSystemApi world;
        world.isAdmin = admin;
        CScopedSystemApi scope(world);
        EXPECT_EQ(UserIsAdministrator(), admin);
    }
}

TEST(ProductState, AsksOnceForTheProductAndHandsTheStateOn) {
    // Installed, advertised, installed for another user, unknown, invalid argument.
    for (INT state : {5, 1, 2, -1, -2}) {
        CFakeSystemApi world;
        world.productState = state;
        CScopedSystemApi scope(world);
        EXPECT_EQ(QueryProductState(), state);
        ASSERT_EQ(world.productQueries.size(), 1u);
        EXPECT_EQ(world.productQueries[0], kProductCode);
    }
}

} // namespace
