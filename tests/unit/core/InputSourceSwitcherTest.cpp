#include "input_source/InputSourceSwitcher.h"
#include "contract/InputSourceServicesContract.h"
#include "fakes/FakePlatform.h"
#include "input_source/InputSourceIdentifiers.h"

#include <gtest/gtest.h>

namespace lullswitch {
namespace {

using fakes::FakeSource;
using Strings = std::vector<std::string>;
using Sources = std::vector<std::optional<FakeSource>>;

// The preferred alphanumeric sources, in order, and a Japanese one.
constexpr const char *romajiRoman = "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman",
                     *kanaRoman = "com.apple.inputmethod.Kotoeri.KanaTyping.Roman", *abc = "com.apple.keylayout.ABC",
                     *us = "com.apple.keylayout.US", *kotoeri = "com.apple.inputmethod.Kotoeri.Japanese";

// One switcher throughout: it caches nothing, so every call sees the sources
// as they are then.
class InputSourceSwitcherTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(sources.liveReferences(), 0) << "a reference was not released";
        EXPECT_EQ(sources.badReleases(), 0) << "a reference was released twice";
    }

    static FakeSource layout(std::string id, std::int32_t status = 0) { return { id, true, true, status }; }
    static FakeSource ime(std::string id) { return { id, true, false, 0 }; }
    using Ids = std::vector<std::optional<std::string>>;
    void expectClassified(const Ids& japanese, const Ids& others)
    {
        for (const auto* ids : { &japanese, &others })
            for (const auto& id : *ids) {
                sources.setSources({ FakeSource { id } });
                sources.setCurrent(0);
                EXPECT_EQ(switcher->isJapaneseInputActive(), ids == &japanese) << id.value_or("(none)");
            }
    }
    // The selection attempts of one switch over these enabled sources.
    Strings switchAmong(Sources enabled)
    {
        sources.setSources(std::move(enabled));
        switcher->switchToEisu();
        return sources.selections();
    }

    fakes::FakePlatform platform;
    fakes::FakeInputSources& sources = platform.inputSources;
    std::optional<InputSourceSwitcher> switcher { std::in_place };
};

// "Romaji" is not "roman".
TEST_F(InputSourceSwitcherTest, ClassifiesTheActiveIdentifier)
{
    expectClassified({ "com.apple.inputmethod.Kotoeri.RomajiTyping.Japanese", "COM.APPLE.INPUTMETHOD.KOTOERI.JAPANESE",
                         "jp.co.example.ATOK", "com.example.EGBridge", "com.example.japaneseInput",
                         "com.apple.inputmethod.Kotoeri.RomajiTyping" },
        { romajiRoman, abc, "com.apple.kotoeri.keylayout.abc", "com.apple.keylayout.US.kotoeri",
            "com.apple.inputmethod.SCIM.ITABC", "", std::nullopt });
    sources.setCurrent(std::nullopt);
    EXPECT_FALSE(switcher->isJapaneseInputActive());
}

// A preferred source is looked up in a fresh snapshot each; a refused one is
// passed over. Then the first source both select-capable and ASCII-capable,
// refused preferred ones included. The current source is never asked.
TEST_F(InputSourceSwitcherTest, SwitchesToAPreferredElseTheFirstASCIICapableSource)
{
    const struct {
        Sources enabled;
        Strings selections;
        int snapshots;
    } cases[] = {
        { { ime(kotoeri), layout(us), layout(romajiRoman) }, { romajiRoman }, 1 },
        { { layout(us), layout(abc) }, { abc }, 3 },
        { { layout(kanaRoman, -50), ime(kotoeri), layout(us, 7), layout("com.example.Dvorak", -1),
              layout("com.example.Colemak") },
            { kanaRoman, us, kanaRoman, us, "com.example.Dvorak", "com.example.Colemak" }, 5 },
        // The lookup is exact and case-sensitive.
        { { layout("com.apple.keylayout.abc"), layout("com.apple.keylayout.US.extended") },
            { "com.apple.keylayout.abc" }, 5 },
        // Of two equal identifiers the lookup finds the first only.
        { { layout(abc, 3), layout(abc) }, { abc, abc, abc }, 5 },
        { { std::nullopt, layout(us), std::nullopt }, { us }, 4 },
        { { std::nullopt, ime(kotoeri) }, {}, 5 },
        // A source without an identifier qualifies.
        { { FakeSource { "a.not-selectable", false, true }, FakeSource { "b.selectable-missing", std::nullopt, true },
              FakeSource { "c.ascii-missing", true, std::nullopt }, FakeSource { "d.not-ascii", true, false },
              FakeSource { std::nullopt, true, true }, layout("f.good") },
            { "<none>" }, 5 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(switchAmong(c.enabled), c.selections);
        EXPECT_EQ(sources.snapshotCount(), c.snapshots);
        EXPECT_EQ(sources.currentCopyCount(), 0);
    }
    // Only a source that can be selected is asked whether it types ASCII.
    const int asked = sources.asciiQueryCount();
    switchAmong({ FakeSource { "a.not-selectable", false, true }, ime("b.ime") });
    EXPECT_EQ(sources.asciiQueryCount(), asked + 1);
    sources.setListUnavailable(true);
    EXPECT_EQ(switchAmong({ layout(us) }), Strings {});
}

// The same decisions on Linux, from fcitx5 and IBus names.
TEST_F(InputSourceSwitcherTest, LinuxNames)
{
    sources.setIdentifiers(linuxInputSourceIdentifiers());
    switcher.emplace();
    expectClassified(
        { "mozc", "MOZC", "anthy", "skk", "kkc", "anthy:InputMode.Hiragana", "mozc-jp:InputMode.HalfWidthKatakana" },
        { "keyboard-us", "keyboard-jp", "keyboard-jp-kana86", "xkb:us::eng", "xkb:jp::jpn", "mozc-off",
            "anthy:InputMode.Latin", "anthy:InputMode.WideLatin", "mozc-jp:InputMode.Direct", "pinyin", "hangul", "" });
    // Layouts in the preferred order, an engine's own Latin mode first; any
    // other layout by the fallback.
    const std::pair<Sources, const char*> cases[]
        = { { { ime("mozc"), layout("keyboard-jp"), layout("keyboard-us") }, "keyboard-us" },
              { { layout("xkb:us::eng"), layout("anthy:InputMode.Latin") }, "anthy:InputMode.Latin" },
              { { layout("keyboard-de"), ime("mozc") }, "keyboard-de" } };
    for (const auto& [group, expected] : cases)
        EXPECT_EQ(switchAmong(group), Strings { expected });
}

// The fake keeps the promises the platforms keep, so what the core's tests
// show over it holds over them.
struct FakeDriver {
    fakes::FakePlatform platform;
    fakes::FakeInputSources& services() { return platform.inputSources; }
    std::string layoutId() const { return abc; }
    std::string imeId() const { return kotoeri; }
    void arrangeLayoutThenIme()
    {
        services().setSources({ FakeSource { abc, true, true }, FakeSource { kotoeri } });
        services().setCurrent(1);
    }
    std::optional<std::string> currentAsThePlatformSaysIt()
    {
        return services().identifier(services().copyCurrentKeyboardInputSource());
    }
    void makeUnavailable()
    {
        services().setCurrent(std::nullopt);
        services().setListUnavailable(true);
    }
};
using namespace contract;
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, InputSourceServicesContract, FakeDriver);

} // namespace
} // namespace lullswitch
