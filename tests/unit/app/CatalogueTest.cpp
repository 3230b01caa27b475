#include "app/Catalogue.h"

#include "FakeSystemApi.h"

#include <gtest/gtest.h>

namespace {

TEST(Catalogue, ConvertsTheStoredTextAndLoadsMissingIdsAsEmpty) {
    CFakeSystemApi world;
    world.strings[106] = u"セットアップを中止しました。";
    world.strings[108] = u"%s をインストールしています...";
    world.strings[110] = u"";
    CScopedSystemApi scope(world);
    // The fake converts to UTF-8, so the texts compare with UTF-8 literals.
    EXPECT_EQ(LoadCatalogueText(106), "セットアップを中止しました。");
    EXPECT_EQ(LoadCatalogueText(108), "%s をインストールしています...");
    EXPECT_EQ(LoadCatalogueText(110), "");
    EXPECT_EQ(LoadCatalogueText(999), "");
}

TEST(Catalogue, MessageBoxHasTheTextTheIconAndTheApplicationName) {
    CFakeSystemApi world;
    world.modulePath = "C:\\KLDR\\Setup.exe";
    world.strings[104] = u"対応ディスプレイを検出できません。セットアップを中止します。";
    CScopedSystemApi scope(world);
    HWND owner = world.dialogWindow;
    ShowCatalogueMessage(owner, 104, MB_ICONERROR);
    ShowCatalogueMessage(owner, 105, MB_ICONINFORMATION); // missing: a box without text
    ASSERT_EQ(world.messageBoxes.size(), 2u);
    EXPECT_EQ(world.messageBoxes[0].owner, owner);
    EXPECT_EQ(world.messageBoxes[0].text,
              "対応ディスプレイを検出できません。セットアップを中止します。");
    EXPECT_EQ(world.messageBoxes[0].caption, "Setup");
    EXPECT_EQ(world.messageBoxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(world.messageBoxes[1].text, "");
    EXPECT_EQ(world.messageBoxes[1].type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
}

TEST(Catalogue, CaptionFollowsTheFileName) {
    CFakeSystemApi world;
    world.modulePath = "C:\\KLDR\\Install.exe";
    CScopedSystemApi scope(world);
    ShowCatalogueMessage(nullptr, 102, MB_ICONERROR);
    ASSERT_EQ(world.messageBoxes.size(), 1u);
    EXPECT_EQ(world.messageBoxes[0].caption, "Install");
}

} // namespace
