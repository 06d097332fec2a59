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
        EXPECT_EQ(sources.liveReferences(), 0) << "a reference was not released";
        EXPECT_EQ(sources.badReleases(), 0) << "a reference was released twice";
    }

    bool activeIsJapanese(std::optional<std::string> identifier)
    {
        sources.setSources({ FakeSource { std::move(identifier) } });
        sources.setCurrent(0);
        return InputSourceSwitcher().isJapaneseInputActive();
    }
    void expectClassified(const Strings& japanese, const Strings& others)
    {
        for (const auto& id : japanese)
            EXPECT_TRUE(activeIsJapanese(id)) << id;
        for (const auto& id : others)
            EXPECT_FALSE(activeIsJapanese(id)) << id;
    }
    // Switches over these enabled sources; gives the selection attempts.
    Strings switchAmong(std::vector<std::optional<FakeSource>> enabled)
    {
        sources.setSources(std::move(enabled));
        InputSourceSwitcher().switchToEisu();
        return sources.selections();
    }

    fakes::FakePlatform platform;
    fakes::FakeInputSources& sources = platform.inputSources;
};

TEST_F(InputSourceSwitcherTest, ClassifiesTheActiveIdentifier)
{
    expectClassified(
        { "com.apple.inputmethod.Kotoeri.RomajiTyping.Japanese",
            "com.apple.inputmethod.Kotoeri.KanaTyping.Japanese.Katakana", "COM.APPLE.INPUTMETHOD.KOTOERI.JAPANESE",
            "com.justsystems.inputmethod.atok33.Japanese", "jp.co.example.ATOK", "com.example.EGBridge",
            "com.example.japaneseInput", "com.apple.inputmethod.Kotoeri.RomajiTyping" }, // "Romaji" is not "roman"
        { "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman", "com.apple.inputmethod.Kotoeri.KanaTyping.Roman",
            "com.apple.keylayout.ABC", "com.apple.keylayout.USInternational-PC", "com.apple.kotoeri.keylayout.abc",
            "com.apple.keylayout.US.kotoeri", "com.apple.inputmethod.SCIM.ITABC", "" });
    EXPECT_FALSE(activeIsJapanese(std::nullopt));
    sources.setCurrent(std::nullopt);
    EXPECT_FALSE(InputSourceSwitcher().isJapaneseInputActive());
}

TEST_F(InputSourceSwitcherTest, FirstPreferredFoundTakesOneSnapshotAndOneSelection)
{
    EXPECT_EQ(switchAmong({ ime("com.apple.inputmethod.Kotoeri.RomajiTyping.Japanese"),
                  layout("com.apple.keylayout.US"), layout("com.apple.inputmethod.Kotoeri.RomajiTyping.Roman") }),
        Strings { "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman" });
    EXPECT_EQ(sources.snapshotCount(), 1);
    EXPECT_EQ(sources.currentCopyCount(), 0);
}

TEST_F(InputSourceSwitcherTest, OnlyTheThirdPreferredEnabled)
{
    // Three lookups; the fourth is not looked up and the fallback does not run.
    EXPECT_EQ(switchAmong({ layout("com.apple.keylayout.US"), layout("com.apple.keylayout.ABC") }),
        Strings { "com.apple.keylayout.ABC" });
    EXPECT_EQ(sources.snapshotCount(), 3);
    EXPECT_EQ(sources.currentIdentifier(), "com.apple.keylayout.ABC");
}

TEST_F(InputSourceSwitcherTest, RefusedSelectionMovesOnThenFallsBack)
{
    EXPECT_EQ(switchAmong({ layout("com.apple.inputmethod.Kotoeri.KanaTyping.Roman", -50),
                  ime("com.apple.inputmethod.Kotoeri.Japanese"), layout("com.apple.keylayout.US", 7),
                  layout("com.example.Dvorak", -1), layout("com.example.Colemak") }),
        (Strings { "com.apple.inputmethod.Kotoeri.KanaTyping.Roman", "com.apple.keylayout.US",
            // the fallback: refused preferred sources qualify again
            "com.apple.inputmethod.Kotoeri.KanaTyping.Roman", "com.apple.keylayout.US", "com.example.Dvorak",
            "com.example.Colemak" }));
    EXPECT_EQ(sources.snapshotCount(), 5);
    EXPECT_EQ(sources.currentIdentifier(), "com.example.Colemak");
}

TEST_F(InputSourceSwitcherTest, PreferredLookupIsExactCaseSensitiveAndFindsTheFirst)
{
    // Neither matches a preferred identifier; the fallback takes the first.
    EXPECT_EQ(switchAmong({ layout("com.apple.keylayout.abc"), layout("com.apple.keylayout.US.extended") }),
        Strings { "com.apple.keylayout.abc" });
    // Of two equal identifiers the preferred step only finds the first; the
    // fallback reaches both.
    EXPECT_EQ(switchAmong({ layout("com.apple.keylayout.ABC", 3), layout("com.apple.keylayout.ABC") }),
        (Strings { "com.apple.keylayout.abc", "com.apple.keylayout.ABC", "com.apple.keylayout.ABC",
            "com.apple.keylayout.ABC" }));
}

TEST_F(InputSourceSwitcherTest, FallbackChecksSelectCapableBeforeASCIICapable)
{
    // A source without an identifier qualifies in the fallback.
    EXPECT_EQ(switchAmong({ FakeSource { "a.not-selectable", false, true },
                  FakeSource { "b.selectable-missing", std::nullopt, true },
                  FakeSource { "c.ascii-missing", true, std::nullopt }, FakeSource { "d.not-ascii", true, false },
                  FakeSource { std::nullopt, true, true }, layout("f.good") }),
        Strings { "<none>" });
    EXPECT_EQ(sources.asciiCapableReads(), (Strings { "c.ascii-missing", "d.not-ascii", "<none>" }));
}

TEST_F(InputSourceSwitcherTest, NullSlotsAreSkippedAndNoListSelectsNothing)
{
    EXPECT_EQ(switchAmong({ std::nullopt, layout("com.apple.keylayout.US"), std::nullopt }),
        Strings { "com.apple.keylayout.US" });
    for (bool unavailable : { false, true }) {
        sources.setListUnavailable(unavailable);
        EXPECT_EQ(switchAmong({ std::nullopt, std::nullopt }).size(), 1u) << unavailable;
    }
}

TEST_F(InputSourceSwitcherTest, SwitchesFromAnAlphanumericSourceAndCachesNothing)
{
    InputSourceSwitcher switcher;
    sources.setSources(
        { layout("com.apple.keylayout.US"), layout("com.apple.inputmethod.Kotoeri.RomajiTyping.Roman") });
    sources.setCurrent(0);
    switcher.switchToEisu();
    EXPECT_EQ(sources.currentIdentifier(), "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman");
    sources.setSources({ ime("com.apple.inputmethod.Kotoeri.Japanese"), layout("com.apple.keylayout.ABC") });
    sources.setCurrent(0);
    EXPECT_TRUE(switcher.isJapaneseInputActive());
    switcher.switchToEisu();
    EXPECT_FALSE(switcher.isJapaneseInputActive());
}

// The same decisions on Linux, from fcitx5 and IBus names.
TEST_F(InputSourceSwitcherTest, LinuxNames)
{
    sources.setIdentifiers(linuxInputSourceIdentifiers());
    expectClassified({ "mozc", "anthy", "skk", "kkc", "mozc-jp", "ibus-anthy", "anthy:InputMode.Hiragana",
                         "mozc-jp:InputMode.HalfWidthKatakana" },
        { "keyboard-us", "keyboard-jp", "keyboard-jp-kana86", "xkb:us::eng", "xkb:jp::jpn", "mozc-off",
            "anthy:InputMode.Latin", "anthy:InputMode.WideLatin", "mozc-jp:InputMode.Direct", "pinyin", "hangul", "" });
    const std::pair<std::vector<std::optional<FakeSource>>, const char*> cases[] = {
        { { layout("keyboard-us"), ime("anthy") }, "keyboard-us" },
        { { layout("keyboard-jp"), ime("mozc") }, "keyboard-jp" },
        { { ime("mozc"), layout("keyboard-jp"), layout("keyboard-us") }, "keyboard-us" },
        { { layout("keyboard-de"), ime("mozc") }, "keyboard-de" },
        { { layout("xkb:jp::jpn"), ime("mozc-jp") }, "xkb:jp::jpn" },
    };
    for (const auto& [group, expected] : cases) {
        switchAmong(group);
        EXPECT_EQ(sources.currentIdentifier(), expected);
    }
}

} // namespace
} // namespace lullswitch
