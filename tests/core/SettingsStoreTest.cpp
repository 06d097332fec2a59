#include "settings/SettingsStore.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

namespace lullswitch {
namespace {

using fakes::FakeUserDefaults;
using platform::StoredObject;

class SettingsStoreTest : public ::testing::Test {
protected:
    FakeUserDefaults defaults;
};

// Seeds what is absent and leaves every stored value as it is.
TEST_F(SettingsStoreTest, SeedsOnlyTheMissingKeys)
{
    const StoredObject::Value stored[]
        = { std::monostate {}, false, 0.0, -3.0, std::string("yes"), StoredObject::Other {} };
    for (const auto& value : stored) {
        FakeUserDefaults store;
        store.put("isEnabled", value);
        store.put("delaySeconds", value);
        SettingsStore settings(store);
        const bool isAbsent = std::holds_alternative<std::monostate>(value);
        EXPECT_EQ(store.stored("isEnabled"), isAbsent ? StoredObject(true) : StoredObject(value));
        EXPECT_EQ(store.stored("delaySeconds"), isAbsent ? StoredObject(2.0) : StoredObject(value));
        EXPECT_EQ(store.writeCount(), isAbsent ? 2 : 0);
    }
}

struct EnabledCase {
    const char* name;
    StoredObject stored;
    bool expected;
};

TEST_F(SettingsStoreTest, IsEnabledReadRule)
{
    const EnabledCase cases[] = {
        { "absent", StoredObject::absent(), true },
        { "true", StoredObject(true), true },
        { "false", StoredObject(false), false },
        { "number 0 converts", StoredObject(0.0), false },
        { "number 1 converts", StoredObject(1.0), true },
        { "number 2 has no boolean meaning", StoredObject(2.0), true },
        { "text", StoredObject(std::string("false")), true },
        { "other type", StoredObject(StoredObject::Other {}), true },
    };
    SettingsStore store(defaults);
    for (const auto& c : cases) {
        defaults.reset();
        if (!c.stored.isAbsent())
            defaults.put("isEnabled", c.stored);
        EXPECT_EQ(store.isEnabled(), c.expected) << c.name;
    }
}

// Read within the bounds a write keeps, so no stored value can stop
// switching; the stored value itself is left as it is.
TEST_F(SettingsStoreTest, DelayReadRule)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<StoredObject, double> cases[] = {
        { StoredObject::absent(), 2.0 },
        { StoredObject(0.0), 2.0 },
        { StoredObject(-3.0), 2.0 },
        { StoredObject(nan), 2.0 },
        { StoredObject(-0.0), 2.0 },
        { StoredObject("5"), 2.0 },
        { StoredObject(3.0), 3.0 },
        { StoredObject(0.5), 0.5 },
        { StoredObject(0.001), 0.5 },
        { StoredObject(1e-320), 0.5 },
        { StoredObject(30.0), 30.0 },
        { StoredObject(45.0), 30.0 },
        { StoredObject(inf), 30.0 },
    };
    SettingsStore store(defaults);
    for (const auto& [stored, expected] : cases) {
        defaults.reset();
        if (!stored.isAbsent())
            defaults.put("delaySeconds", stored);
        EXPECT_EQ(store.delaySeconds(), expected);
        EXPECT_EQ(defaults.writeCount(), 0);
    }
}

TEST_F(SettingsStoreTest, DelayWritesAreBounded)
{
    const struct {
        double written;
        double stored;
    } cases[] = {
        { 0.1, 0.5 },
        { 0.5, 0.5 },
        { 0.0, 0.5 },
        { -7.0, 0.5 },
        { 1.0, 1.0 },
        { 3.0, 3.0 },
        { 30.0, 30.0 },
        { 31.0, 30.0 },
        { 45.0, 30.0 },
    };
    SettingsStore store(defaults);
    for (const auto& c : cases) {
        store.setDelaySeconds(c.written);
        EXPECT_EQ(defaults.stored("delaySeconds"), StoredObject(c.stored)) << c.written;
    }
}

TEST_F(SettingsStoreTest, ReadsGoToTheStoreEveryTime)
{
    SettingsStore store(defaults);
    EXPECT_TRUE(store.isEnabled());
    defaults.put("isEnabled", false);
    defaults.put("delaySeconds", 5.0);
    EXPECT_FALSE(store.isEnabled());
    EXPECT_EQ(store.delaySeconds(), 5.0);
    const int reads = defaults.readCount("isEnabled");
    store.isEnabled();
    EXPECT_EQ(defaults.readCount("isEnabled"), reads + 1);
}

TEST(SettingsStoreSharedTest, IsOneInstanceOverThePlatformStore)
{
    fakes::FakePlatform platform;
    auto& shared = SettingsStore::shared();
    EXPECT_EQ(&shared, &SettingsStore::shared());
    platform.userDefaults.put("delaySeconds", 3.0);
    EXPECT_EQ(shared.delaySeconds(), 3.0);
}

TEST(SettingsStoreSharedTest, FirstUseSeedsThePlatformStore)
{
    // A fresh process, so this is the first use of the shared store.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fakes::FakePlatform platform;
            SettingsStore::shared();
            const bool seeded = platform.userDefaults.stored("isEnabled") == StoredObject(true)
                && platform.userDefaults.stored("delaySeconds") == StoredObject(2.0);
            std::exit(seeded ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SettingsStoreSharedTest, ConcurrentFirstUseMakesOneStoreAndSeedsOnce)
{
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
            std::exit(one && platform.userDefaults.writeCount() == 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace lullswitch
