#include "settings/SettingsStore.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <thread>

namespace lullswitch {
namespace {

using fakes::FakeUserDefaults;
using platform::StoredObject;

class SettingsStoreTest : public ::testing::Test {
protected:
    FakeUserDefaults defaults;
    SettingsStore store { defaults };
};

// Seeds what is absent and leaves every stored value as it is.
TEST_F(SettingsStoreTest, SeedsOnlyTheMissingKeys)
{
    const StoredObject::Value values[] = { {}, false, 0.0, -3.0, std::string("yes"), StoredObject::Other {} };
    for (const auto& value : values) {
        FakeUserDefaults fresh;
        fresh.put("isEnabled", value);
        fresh.put("delaySeconds", value);
        SettingsStore settings(fresh);
        const bool isAbsent = std::holds_alternative<std::monostate>(value);
        EXPECT_EQ(fresh.stored("isEnabled"), isAbsent ? StoredObject(true) : StoredObject(value));
        EXPECT_EQ(fresh.stored("delaySeconds"), isAbsent ? StoredObject(2.0) : StoredObject(value));
    }
}

// Only false, or a number converting to false, turns the switch off; the
// delay reads as stored unless no tick could reach it (too short, unusable,
// infinite), so no stored value can stop switching. Reading writes nothing.
TEST_F(SettingsStoreTest, ReadRules)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::pair<StoredObject, bool> isEnabled[]
        = { { StoredObject::absent(), true }, { true, true }, { false, false }, { 0.0, false }, { 1.0, true },
              { 2.0, true }, { "false", true }, { StoredObject::Other {}, true } };
    const std::pair<StoredObject, double> delay[] = { { StoredObject::absent(), 2.0 }, { 0.0, 2.0 }, { -3.0, 2.0 },
        { nan, 2.0 }, { 3.0, 3.0 }, { 0.5, 0.5 }, { 0.001, 0.5 }, { 30.0, 30.0 }, { 45.0, 45.0 }, { inf, 2.0 } };
    const int writes = defaults.writeCount();
    for (const auto& c : isEnabled) {
        defaults.put("isEnabled", c.first);
        EXPECT_EQ(store.isEnabled(), c.second) << (&c - isEnabled);
    }
    for (const auto& c : delay) {
        defaults.put("delaySeconds", c.first);
        EXPECT_EQ(store.delaySeconds(), c.second) << (&c - delay);
    }
    EXPECT_EQ(defaults.writeCount(), writes);
}

TEST_F(SettingsStoreTest, DelayWritesAreBounded)
{
    const std::pair<double, double> cases[] = { { 0.1, 0.5 }, { 0.5, 0.5 }, { 3.0, 3.0 }, { 45.0, 30.0 } };
    for (const auto& [written, stored] : cases) {
        store.setDelaySeconds(written);
        EXPECT_EQ(defaults.stored("delaySeconds"), StoredObject(stored)) << written;
    }
}

TEST(SettingsStoreSharedTest, ConcurrentFirstUseMakesOneStoreOverThePlatformsAndSeedsOnce)
{
    // A fresh process, so this is the first use of the shared store.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fakes::FakePlatform platform;
            std::vector<SettingsStore*> seen(8, nullptr);
            {
                std::vector<std::jthread> threads;
                for (auto& store : seen)
                    threads.emplace_back([&store] { store = &SettingsStore::shared(); });
            }
            std::exit(std::ranges::count(seen, seen[0]) == 8 && platform.userDefaults.writeCount() == 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace lullswitch
