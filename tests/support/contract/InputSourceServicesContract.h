#pragma once

// What every implementation of the input-source services promises, written
// once and run against each: instantiate InputSourceServicesContract with a
// driver type that has
//   platform::InputSourceServices& services();
//   // The enabled sources are [layoutId(), imeId()] in this order, the IME
//   // is current; the layout types Latin letters, the IME does not.
//   void arrangeLayoutThenIme();
//   std::string layoutId() const; std::string imeId() const;
//   // The current source as the platform itself reports it.
//   std::optional<std::string> currentAsThePlatformSaysIt();
//   // The platform has no current source and gives no list.
//   void makeUnavailable();
// and, per implementation file:
//   INSTANTIATE_TYPED_TEST_SUITE_P(Name, InputSourceServicesContract, DriverType);

#include "input_source/InputSourceSwitcher.h"
#include "platform/InputSourceServices.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace lullswitch::contract {

template <typename Driver> class InputSourceServicesContract : public ::testing::Test {
protected:
    Driver driver;
};

TYPED_TEST_SUITE_P(InputSourceServicesContract);

// The list keeps the platform's order and properties, selecting a listed
// source makes it current, and a reference outlives the list it came from.
// The switcher knows the IME by the platform's own names.
TYPED_TEST_P(InputSourceServicesContract, TheEnabledListKeepsThePlatformsOrderAndPropertiesAndSelects)
{
    this->driver.arrangeLayoutThenIme();
    auto& services = this->driver.services();
    EXPECT_EQ(services.identifier(services.copyCurrentKeyboardInputSource()), this->driver.imeId());
    EXPECT_TRUE(InputSourceSwitcher().isJapaneseInputActive());
    platform::InputSourceRef kept;
    {
        const auto list = services.createEnabledInputSourceList();
        ASSERT_TRUE(list && list->size() == 2u);
        using platform::InputSourceFlag;
        EXPECT_EQ(services.identifier((*list)[1]), this->driver.imeId());
        EXPECT_EQ(services.flag((*list)[0], InputSourceFlag::isSelectCapable), true);
        EXPECT_EQ(services.flag((*list)[0], InputSourceFlag::isASCIICapable), true);
        EXPECT_EQ(services.flag((*list)[1], InputSourceFlag::isSelectCapable), true);
        EXPECT_NE(services.flag((*list)[1], InputSourceFlag::isASCIICapable), true);
        EXPECT_EQ(services.select((*list)[0]), 0);
        EXPECT_EQ(this->driver.currentAsThePlatformSaysIt(), this->driver.layoutId());
        EXPECT_EQ(services.identifier(services.copyCurrentKeyboardInputSource()), this->driver.layoutId());
        kept = (*list)[1];
    }
    const platform::InputSourceRef copy = kept;
    kept = {};
    EXPECT_EQ(services.identifier(copy), this->driver.imeId());
    EXPECT_EQ(services.select(copy), 0);
    EXPECT_EQ(this->driver.currentAsThePlatformSaysIt(), this->driver.imeId());
}

TYPED_TEST_P(InputSourceServicesContract, AnUnavailablePlatformGivesNoSourceAndNoList)
{
    this->driver.arrangeLayoutThenIme();
    this->driver.makeUnavailable();
    EXPECT_FALSE(this->driver.services().copyCurrentKeyboardInputSource());
    const auto list = this->driver.services().createEnabledInputSourceList();
    EXPECT_TRUE(!list || list->empty());
}

REGISTER_TYPED_TEST_SUITE_P(InputSourceServicesContract, TheEnabledListKeepsThePlatformsOrderAndPropertiesAndSelects,
    AnUnavailablePlatformGivesNoSourceAndNoList);

} // namespace lullswitch::contract
