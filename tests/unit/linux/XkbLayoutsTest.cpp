#include "platform/linux/XkbLayouts.h"

#include <gtest/gtest.h>

namespace lullswitch::linux_backend {
namespace {

TEST(XkbLayouts, LayoutsWhoseFirstLevelHoldsEveryLatinLetterTypeLatin)
{
    const struct {
        const char* layout;
        const char* variant;
        bool latin;
    } cases[] = {
        { "us", "", true },
        { "jp", "", true },
        { "rs", "latin", true },
        { "rs", "", false },
        { "no-such-layout", "", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(keyboardLayoutTypesLatin(c.layout, c.variant), c.latin) << c.layout << " " << c.variant;
}

} // namespace
} // namespace lullswitch::linux_backend
