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
    // Reads `key` with this stored (or absent) value; nothing may be written.
    template <typename Read> auto readWith(const char* key, const StoredObject& value, Read read)
    {
        defaults.reset();
        if (!value.isAbsent())
            defaults.put(key, value);
        const auto result = read();
        EXPECT_EQ(defaults.writeCount(), 0);
        return result;
    }

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
        EXPECT_EQ(fresh.writeCount(), isAbsent ? 2 : 0);
    }
}

// Only false, or a number converting to false, turns the switch off.
TEST_F(SettingsStoreTest, IsEnabledReadRule)
{
    const std::pair<StoredObject, bool> cases[]
        = { { StoredObject::absent(), true }, { StoredObject(true), true }, { StoredObject(false), false },
              { StoredObject(0.0), false }, { StoredObject(1.0), true }, { StoredObject(2.0), true },
              { StoredObject(std::string("false")), true }, { StoredObject(StoredObject::Other {}), true } };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(readWith("isEnabled", stored, [&] { return store.isEnabled(); }), expected)
            << (&stored - &cases[0].first);
}

// Read within the bounds a write keeps, so no stored value can stop switching.
TEST_F(SettingsStoreTest, DelayReadRule)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::pair<StoredObject, double> cases[] = { { StoredObject::absent(), 2.0 }, { StoredObject(0.0), 2.0 },
        { StoredObject(-3.0), 2.0 }, { StoredObject(nan), 2.0 }, { StoredObject(-0.0), 2.0 },
        { StoredObject("5"), 2.0 }, { StoredObject(3.0), 3.0 }, { StoredObject(0.5), 0.5 },
        { StoredObject(0.001), 0.5 }, { StoredObject(1e-320), 0.5 }, { StoredObject(30.0), 30.0 },
        { StoredObject(45.0), 30.0 }, { StoredObject(inf), 30.0 } };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(readWith("delaySeconds", stored, [&] { return store.delaySeconds(); }), expected);
}

TEST_F(SettingsStoreTest, DelayWritesAreBounded)
{
    const std::pair<double, double> cases[] = { { 0.1, 0.5 }, { 0.5, 0.5 }, { 0.0, 0.5 }, { -7.0, 0.5 }, { 1.0, 1.0 },
        { 3.0, 3.0 }, { 30.0, 30.0 }, { 31.0, 30.0 }, { 45.0, 30.0 } };
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
            const bool one = std::all_of(seen.begin(), seen.end(), [&](SettingsStore* s) { return s == seen[0]; });
            std::exit(one && platform.userDefaults.writeCount() == 2
                        && platform.userDefaults.stored("delaySeconds") == StoredObject(2.0)
                    ? 0
                    : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace lullswitch
