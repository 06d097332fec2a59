#include "input_source/InputSourceSwitcher.h"
#include "fakes/FakePlatform.h"
#include "input_source/InputSourceIdentifiers.h"

#include <gtest/gtest.h>

namespace lullswitch {
namespace {

using fakes::FakeSource;
using Strings = std::vector<std::string>;

FakeSource layout(std::string id, std::int32_t status = 0)
{
    return { id, true, true, status };
}
FakeSource ime(std::string id)
{
    return { id, true, false, 0 };
}

class InputSourceSwitcherTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(platform.inputSources.liveReferences(), 0) << "a reference was not released";
        EXPECT_EQ(platform.inputSources.badReleases(), 0) << "a reference was released twice";
    }

    bool activeIsJapanese(std::optional<std::string> identifier)
    {
        platform.inputSources.setSources({ FakeSource { std::move(identifier) } });
        platform.inputSources.setCurrent(0);
        return InputSourceSwitcher().isJapaneseInputActive();
    }

    fakes::FakePlatform platform;
};

TEST_F(InputSourceSwitcherTest, PreferredIdentifiersAreTheFourInOrder)
{
    EXPECT_EQ(InputSourceSwitcher().preferredEisuInputSourceIDs(),
        (Strings { "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman", "com.apple.inputmethod.Kotoeri.KanaTyping.Roman",
            "com.apple.keylayout.ABC", "com.apple.keylayout.US" }));
}

TEST_F(InputSourceSwitcherTest, ClassifiesTheActiveIdentifier)
{
    const struct {
        const char* identifier;
        bool japanese;
    } cases[] = {
        { "com.apple.inputmethod.Kotoeri.RomajiTyping.Japanese", true },
        { "com.apple.inputmethod.Kotoeri.KanaTyping.Japanese.Katakana", true },
        { "COM.APPLE.INPUTMETHOD.KOTOERI.JAPANESE", true },
        { "com.justsystems.inputmethod.atok33.Japanese", true },
        { "jp.co.example.ATOK", true },
        { "com.example.EGBridge", true },
        { "com.example.japaneseInput", true },
        // Romaji does not contain the marker "roman".
        { "com.apple.inputmethod.Kotoeri.RomajiTyping", true },
        { "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman", false },
        { "com.apple.inputmethod.Kotoeri.KanaTyping.Roman", false },
        { "com.apple.keylayout.ABC", false },
        { "com.apple.keylayout.US", false },
        { "com.apple.keylayout.USInternational-PC", false },
        { "com.apple.kotoeri.keylayout.abc", false },
        { "com.apple.keylayout.US.kotoeri", false },
        { "com.apple.inputmethod.SCIM.ITABC", false },
        { "", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(activeIsJapanese(c.identifier), c.japanese) << c.identifier;
}

TEST_F(InputSourceSwitcherTest, NoCurrentSourceOrNoIdentifierIsNotJapanese)
{
    platform.inputSources.setSources({ ime("com.apple.inputmethod.Kotoeri.Japanese") });
    platform.inputSources.setCurrent(std::nullopt);
    EXPECT_FALSE(InputSourceSwitcher().isJapaneseInputActive());
    EXPECT_FALSE(activeIsJapanese(std::nullopt));
}

TEST_F(InputSourceSwitcherTest, FirstPreferredFoundTakesOneSnapshotAndOneSelection)
{
    platform.inputSources.setSources({ ime("com.apple.inputmethod.Kotoeri.RomajiTyping.Japanese"),
        layout("com.apple.keylayout.US"), layout("com.apple.inputmethod.Kotoeri.RomajiTyping.Roman") });
    InputSourceSwitcher().switchToEisu();
    EXPECT_EQ(platform.inputSources.snapshotCount(), 1);
    EXPECT_EQ(platform.inputSources.selections(), Strings { "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman" });
    EXPECT_EQ(platform.inputSources.currentCopyCount(), 0);
}

TEST_F(InputSourceSwitcherTest, OnlyTheThirdPreferredEnabled)
{
    platform.inputSources.setSources({ layout("com.apple.keylayout.US"), layout("com.apple.keylayout.ABC") });
    InputSourceSwitcher().switchToEisu();
    // Three lookups; the fourth identifier is not looked up and the fallback
    // does not run.
    EXPECT_EQ(platform.inputSources.snapshotCount(), 3);
    EXPECT_EQ(platform.inputSources.selections(), Strings { "com.apple.keylayout.ABC" });
    EXPECT_EQ(platform.inputSources.currentIdentifier(), "com.apple.keylayout.ABC");
}

TEST_F(InputSourceSwitcherTest, RefusedSelectionMovesOnThenFallsBack)
{
    platform.inputSources.setSources({
        layout("com.apple.inputmethod.Kotoeri.KanaTyping.Roman", -50),
        ime("com.apple.inputmethod.Kotoeri.Japanese"),
        layout("com.apple.keylayout.US", 7),
        FakeSource { "com.example.Dvorak", true, true, -1 },
        FakeSource { "com.example.Colemak", true, true, 0 },
    });
    InputSourceSwitcher().switchToEisu();
    EXPECT_EQ(platform.inputSources.snapshotCount(), 5);
    EXPECT_EQ(platform.inputSources.selections(),
        (Strings { "com.apple.inputmethod.Kotoeri.KanaTyping.Roman", "com.apple.keylayout.US",
            // the fallback: refused preferred sources qualify again
            "com.apple.inputmethod.Kotoeri.KanaTyping.Roman", "com.apple.keylayout.US", "com.example.Dvorak",
            "com.example.Colemak" }));
    EXPECT_EQ(platform.inputSources.currentIdentifier(), "com.example.Colemak");
}

TEST_F(InputSourceSwitcherTest, PreferredLookupIsExactAndCaseSensitive)
{
    platform.inputSources.setSources({
        layout("com.apple.keylayout.abc"),
        layout("com.apple.keylayout.US.extended"),
    });
    InputSourceSwitcher().switchToEisu();
    // Neither matches a preferred identifier; the fallback takes the first.
    EXPECT_EQ(platform.inputSources.selections(), Strings { "com.apple.keylayout.abc" });
    EXPECT_EQ(platform.inputSources.snapshotCount(), 5);
}

TEST_F(InputSourceSwitcherTest, DuplicateIdentifiersResolveToTheFirstInPlatformOrder)
{
    platform.inputSources.setSources({ layout("com.apple.keylayout.ABC", 3), layout("com.apple.keylayout.ABC", 0) });
    InputSourceSwitcher().switchToEisu();
    // The preferred step only ever finds the first; the fallback reaches both.
    EXPECT_EQ(platform.inputSources.selections(),
        (Strings { "com.apple.keylayout.ABC", "com.apple.keylayout.ABC", "com.apple.keylayout.ABC" }));
}

TEST_F(InputSourceSwitcherTest, FallbackChecksSelectCapableBeforeASCIICapable)
{
    platform.inputSources.setSources({
        FakeSource { "a.not-selectable", false, true },
        FakeSource { "b.selectable-missing", std::nullopt, true },
        FakeSource { "c.ascii-missing", true, std::nullopt },
        FakeSource { "d.not-ascii", true, false },
        FakeSource { std::nullopt, true, true },
        FakeSource { "f.good", true, true },
    });
    InputSourceSwitcher().switchToEisu();
    EXPECT_EQ(platform.inputSources.asciiCapableReads(), (Strings { "c.ascii-missing", "d.not-ascii", "<none>" }));
    // A source without an identifier qualifies in the fallback.
    EXPECT_EQ(platform.inputSources.selections(), Strings { "<none>" });
}

TEST_F(InputSourceSwitcherTest, EmptyNullOrUnavailableListsSelectNothing)
{
    for (int variant = 0; variant < 3; ++variant) {
        fakes::FakeInputSources& sources = platform.inputSources;
        sources.setListUnavailable(variant == 2);
        if (variant == 0)
            sources.setSources({});
        else
            sources.setSources({ std::nullopt, std::nullopt });
        InputSourceSwitcher().switchToEisu();
        EXPECT_TRUE(sources.selections().empty()) << variant;
    }
}

TEST_F(InputSourceSwitcherTest, NullSlotsAreSkipped)
{
    platform.inputSources.setSources({ std::nullopt, layout("com.apple.keylayout.US"), std::nullopt });
    InputSourceSwitcher().switchToEisu();
    EXPECT_EQ(platform.inputSources.selections(), Strings { "com.apple.keylayout.US" });
}

TEST_F(InputSourceSwitcherTest, SwitchesEvenWhenAnAlphanumericSourceIsActive)
{
    platform.inputSources.setSources(
        { layout("com.apple.keylayout.US"), layout("com.apple.inputmethod.Kotoeri.RomajiTyping.Roman") });
    platform.inputSources.setCurrent(0);
    InputSourceSwitcher().switchToEisu();
    EXPECT_EQ(platform.inputSources.currentIdentifier(), "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman");
}

TEST_F(InputSourceSwitcherTest, CachesNothingBetweenCalls)
{
    InputSourceSwitcher switcher;
    platform.inputSources.setSources(
        { ime("com.apple.inputmethod.Kotoeri.Japanese"), layout("com.apple.keylayout.US") });
    platform.inputSources.setCurrent(0);
    EXPECT_TRUE(switcher.isJapaneseInputActive());
    switcher.switchToEisu();
    EXPECT_FALSE(switcher.isJapaneseInputActive());
    platform.inputSources.setSources({ layout("com.apple.keylayout.ABC") });
    switcher.switchToEisu();
    EXPECT_EQ(platform.inputSources.currentIdentifier(), "com.apple.keylayout.ABC");
}

// The same decisions on Linux, from fcitx5 and IBus names.
class LinuxIdentifiersTest : public InputSourceSwitcherTest {
protected:
    void SetUp() override { platform.inputSources.setIdentifiers(linuxInputSourceIdentifiers()); }
};

TEST_F(LinuxIdentifiersTest, ClassifiesFcitx5AndIBusNames)
{
    const struct {
        const char* identifier;
        bool japanese;
    } cases[] = {
        { "mozc", true },
        { "anthy", true },
        { "skk", true },
        { "kkc", true },
        { "mozc-jp", true },
        { "ibus-anthy", true },
        { "keyboard-us", false },
        { "keyboard-jp", false },
        { "keyboard-jp-kana86", false },
        { "xkb:us::eng", false },
        { "xkb:jp::jpn", false },
        { "mozc-off", false },
        { "anthy:InputMode.Hiragana", true },
        { "mozc-jp:InputMode.HalfWidthKatakana", true },
        { "anthy:InputMode.Latin", false },
        { "anthy:InputMode.WideLatin", false },
        { "mozc-jp:InputMode.Direct", false },
        { "pinyin", false },
        { "hangul", false },
        { "", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(activeIsJapanese(c.identifier), c.japanese) << c.identifier;
}

TEST_F(LinuxIdentifiersTest, SwitchPicksAnAlphanumericLayout)
{
    const struct {
        std::vector<std::optional<FakeSource>> group;
        const char* expected;
    } cases[] = {
        { { layout("keyboard-us"), ime("anthy") }, "keyboard-us" },
        { { layout("keyboard-jp"), ime("mozc") }, "keyboard-jp" },
        { { ime("mozc"), layout("keyboard-jp"), layout("keyboard-us") }, "keyboard-us" },
        { { layout("keyboard-de"), ime("mozc") }, "keyboard-de" },
        { { layout("xkb:jp::jpn"), ime("mozc-jp") }, "xkb:jp::jpn" },
    };
    for (const auto& c : cases) {
        platform.inputSources.setSources(c.group);
        InputSourceSwitcher().switchToEisu();
        EXPECT_EQ(platform.inputSources.currentIdentifier(), c.expected);
    }
}

} // namespace
} // namespace lullswitch
