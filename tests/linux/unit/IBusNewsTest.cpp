#include "platform/linux/IBusNews.h"
#include "platform/linux/GLibHandles.h"

#include <gtest/gtest.h>

#include <string>

namespace lullswitch::linux_backend {
namespace {

using Kind = IBusNews::Kind;

std::string text(const std::string& shown)
{
    return "<('IBusText', @a{sv} {}, '" + shown + "', <('IBusAttrList', @a{sv} {}, @av [])>)>";
}

std::string property(const std::string& key, const std::string& symbol)
{
    return "<('IBusProperty', @a{sv} {}, '" + key + "', uint32 1, " + text("") + ", '', " + text("")
        + ", true, true, uint32 0, <('IBusPropList', @a{sv} {}, @av [])>, " + symbol + ")>";
}

std::string list(const std::string& entries)
{
    return "(<('IBusPropList', @a{sv} {}, [" + entries + "])>,)";
}

std::string repeated(const std::string& entry, int times)
{
    std::string entries = entry;
    for (int i = 1; i < times; ++i)
        entries += ", " + entry;
    return entries;
}

constexpr const char* daemon = "org.freedesktop.IBus";
constexpr const char* panelCaller = "org.freedesktop.DBus";
constexpr const char* client = ":1.7";
constexpr const char* context = "org.freedesktop.IBus.InputContext";
constexpr const char* panel = "org.freedesktop.IBus.Panel";

// Every message is one any client could send; none may crash, and only the
// daemon's well-formed news counts.
TEST(IBusNewsTest, ReadsOnlyTheDaemonsWellFormedNewsAndSurvivesAnyOtherMessage)
{
    const std::string latin = property("InputMode", text("_A"));
    const struct {
        bool isCall;
        const char* sender;
        const char* interface;
        const char* member;
        std::string body; // GVariant text; empty: no body
        Kind kind;
        std::string value;
        bool composing;
        bool isCopiedCall;
    } cases[] = {
        // What the daemon says, to an application and to the panel.
        { false, daemon, context, "RegisterProperties", list(property("InputMode.Hiragana", text("x")) + ", " + latin),
            Kind::inputMode, "InputMode.Latin", false, false },
        { false, daemon, context, "UpdateProperty", "(" + property("InputMode", text("あ")) + ",)", Kind::inputMode,
            "InputMode.Hiragana", false, false },
        { true, panelCaller, panel, "RegisterProperties", list(latin), Kind::inputMode, "InputMode.Latin", false,
            true },
        { true, panelCaller, panel, "UpdateProperty", "(" + property("InputMode", text("A")) + ",)", Kind::inputMode,
            "InputMode.Direct", false, true },
        { true, panelCaller, panel, "UpdateProperty", "(" + property("Other", text("A")) + ",)", Kind::none, "", false,
            true },
        { false, daemon, context, "UpdatePreeditText", "(" + text("か") + ", uint32 1, true)", Kind::composition, "",
            true, false },
        { false, daemon, context, "UpdatePreeditTextWithMode", "(" + text("") + ", uint32 0, false, uint32 0)",
            Kind::composition, "", false, false },
        { true, panelCaller, panel, "UpdatePreeditText", "(" + text("か") + ", uint32 1, true)", Kind::composition, "",
            true, true },
        { false, daemon, context, "CommitText", "(" + text("か") + ",)", Kind::composition, "", false, false },
        { false, daemon, "org.freedesktop.IBus", "GlobalEngineChanged", "('anthy',)", Kind::globalEngine, "anthy",
            false, false },
        { true, client, context, "ProcessKeyEvent", "(uint32 97, uint32 30, uint32 0)", Kind::keyEvent, "", false,
            true },
        { true, client, context, "ProcessKeyEvent", "", Kind::keyEvent, "", false, true },
        // Forged: the same news from a client.
        { false, client, context, "RegisterProperties", list(latin), Kind::none, "", false, false },
        { false, client, context, "UpdatePreeditText", "(" + text("か") + ", uint32 1, true)", Kind::none, "", false,
            false },
        { true, client, panel, "UpdateProperty", "(" + latin + ",)", Kind::none, "", false, false },
        { false, client, "org.freedesktop.IBus", "GlobalEngineChanged", "('anthy',)", Kind::none, "", false, false },
        // Malformed, from the daemon's own names.
        { false, daemon, context, "RegisterProperties", "", Kind::none, "", false, false },
        { false, daemon, context, "RegisterProperties", "(<int32 1>,)", Kind::none, "", false, false },
        { false, daemon, context, "RegisterProperties", "(<('IBusPropList', @a{sv} {})>,)", Kind::none, "", false,
            false },
        { false, daemon, context, "RegisterProperties", list("<'x'>, <@mv nothing>, " + latin), Kind::inputMode,
            "InputMode.Latin", false, false },
        { false, daemon, context, "UpdateProperty",
            "(" + property("InputMode", "<('IBusPropList', @a{sv} {}, @av [])>") + ",)", Kind::none, "", false, false },
        { false, daemon, context, "UpdateProperty",
            "(<('IBusText', @a{sv} {}, 'InputMode', uint32 1, " + text("") + ", '', " + text("")
                + ", true, true, uint32 0, <('IBusPropList', @a{sv} {}, @av [])>, " + text("_A") + ")>,)",
            Kind::none, "", false, false },
        { false, daemon, context, "UpdateProperty", "(<<<<" + latin + ">>>>,)", Kind::none, "", false, false },
        { false, daemon, context, "UpdatePreeditText", "(" + text("か") + ",)", Kind::none, "", false, false },
        { false, daemon, context, "UpdatePreeditText", "(<('IBusText', @a{sv} {})>, uint32 1, true)", Kind::none, "",
            false, false },
        { false, daemon, context, "CommitText", "('か',)", Kind::none, "", false, false },
        { false, daemon, "org.freedesktop.IBus", "GlobalEngineChanged", "(int32 3,)", Kind::none, "", false, false },
        { true, panelCaller, panel, "RegisterProperties", "(uint32 3,)", Kind::none, "", false, true },
        // Too long a list is not walked.
        { false, daemon, context, "RegisterProperties", list(repeated(text("x"), 64) + ", " + latin), Kind::none, "",
            false, false },
    };
    for (const auto& c : cases) {
        const GObjectPtr<GDBusMessage> message(c.isCall
                ? g_dbus_message_new_method_call(daemon, "/org/freedesktop/IBus/InputContext_1", c.interface, c.member)
                : g_dbus_message_new_signal("/org/freedesktop/IBus/InputContext_1", c.interface, c.member));
        g_dbus_message_set_sender(message.get(), c.sender);
        if (!c.body.empty()) {
            GErrorPtr error;
            GVariant* body = g_variant_parse(nullptr, c.body.c_str(), nullptr, nullptr, ErrorOut(error));
            ASSERT_TRUE(body) << c.body << ": " << error->message;
            g_dbus_message_set_body(message.get(), body);
        }
        const IBusNews news = IBusNews::read(message.get());
        const auto row = &c - cases;
        EXPECT_EQ(news.kind, c.kind) << "case " << row;
        EXPECT_EQ(news.value, c.value) << "case " << row;
        EXPECT_EQ(news.composing, c.composing) << "case " << row;
        EXPECT_EQ(news.isCopiedCall, c.isCopiedCall) << "case " << row;
    }
}

} // namespace
} // namespace lullswitch::linux_backend
