#include "platform/linux/IBusNews.h"
#include "platform/linux/GLibHandles.h"

#include <gtest/gtest.h>

#include <string>

namespace lullswitch::linux_backend {
namespace {

std::string text(const std::string& shown)
{
    return "<('IBusText', @a{sv} {}, '" + shown + "', <('IBusAttrList', @a{sv} {}, @av [])>)>";
}

std::string property(const std::string& key, const std::string& symbol, const char* typeName = "IBusProperty")
{
    return std::string("<('") + typeName + "', @a{sv} {}, '" + key + "', uint32 1, " + text("") + ", '', " + text("")
        + ", true, true, uint32 0, <('IBusPropList', @a{sv} {}, @av [])>, " + symbol + ")>";
}

std::string list(const std::string& entries)
{
    return "(<('IBusPropList', @a{sv} {}, [" + entries + "])>,)";
}

// Who sends a message, and to which interface.
struct Origin {
    bool isCall;
    const char* sender;
    const char* interface;
};
constexpr const char* contextInterface = "org.freedesktop.IBus.InputContext";
constexpr const char* panelInterface = "org.freedesktop.IBus.Panel";
// The daemon signs its signals with its name, its calls to the panel with the bus's.
constexpr Origin toContext { false, "org.freedesktop.IBus", contextInterface };
constexpr Origin toPanel { true, "org.freedesktop.DBus", panelInterface };
constexpr Origin toAll { false, "org.freedesktop.IBus", "org.freedesktop.IBus" };
constexpr Origin client { false, ":1.7", contextInterface };
constexpr Origin clientCall { true, ":1.7", contextInterface };
constexpr Origin clientToPanel { true, ":1.7", panelInterface };
constexpr Origin clientToAll { false, ":1.7", "org.freedesktop.IBus" };

std::string described(const IBusNews& news)
{
    static const char* const kinds[] = { "", "mode ", "composing ", "engine ", "key " };
    std::string text = kinds[static_cast<int>(news.kind)] + news.value;
    if (news.kind == IBusNews::Kind::composition)
        text += news.composing ? "yes" : "no";
    return text + (news.isCopiedCall ? "(copy)" : "");
}

// Every message is one any client could send; none may crash, and only the
// daemon's well-formed news counts.
TEST(IBusNewsTest, ReadsOnlyTheDaemonsWellFormedNewsAndSurvivesAnyOtherMessage)
{
    // Nor may any make GLib complain: a misuse it only warns of here may abort elsewhere.
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    const std::string latin = property("InputMode", text("_A"));
    const std::string kana = "(" + text("か") + ", uint32 1, true)";
    std::string longest = latin; // 64 properties
    for (int i = 0; i < 63; ++i)
        longest = text("x") + ", " + longest;
    const struct {
        Origin origin;
        const char* member;
        std::string body; // GVariant text; empty: no body
        const char* expected;
    } cases[] = {
        { toContext, "RegisterProperties", list(property("InputMode.Hiragana", text("x")) + ", " + latin),
            "mode InputMode.Latin" },
        { toContext, "UpdateProperty", "(" + property("InputMode", text("あ")) + ",)", "mode InputMode.Hiragana" },
        { toPanel, "RegisterProperties", list(latin), "mode InputMode.Latin(copy)" },
        { toPanel, "UpdateProperty", "(" + property("InputMode", text("A")) + ",)", "mode InputMode.Direct(copy)" },
        { toPanel, "UpdateProperty", "(" + property("Other", text("A")) + ",)", "(copy)" },
        { toContext, "RegisterProperties", list(property("Other", text("A"))), "" }, // read to its end, not past
        { toContext, "UpdatePreeditText", kana, "composing yes" },
        { toContext, "UpdatePreeditTextWithMode", "(" + text("") + ", uint32 0, false, uint32 0)", "composing no" },
        { toPanel, "UpdatePreeditText", kana, "composing yes(copy)" },
        { toContext, "CommitText", "(" + text("か") + ",)", "composing no" },
        { toAll, "GlobalEngineChanged", "('anthy',)", "engine anthy" },
        { clientCall, "ProcessKeyEvent", "(uint32 97, uint32 30, uint32 0)", "key (copy)" },
        // Forged: the daemon's news from a client.
        { client, "RegisterProperties", list(latin), "" },
        { client, "UpdatePreeditText", kana, "" },
        { clientToPanel, "UpdateProperty", "(" + latin + ",)", "" },
        { clientToAll, "GlobalEngineChanged", "('anthy',)", "" },
        // Malformed, under the daemon's names.
        { toContext, "RegisterProperties", "", "" },
        { toContext, "RegisterProperties", "(<('IBusPropList', @a{sv} {})>,)", "" },
        { toContext, "RegisterProperties", list("<'x'>, <@mv nothing>, " + latin), "mode InputMode.Latin" },
        { toContext, "UpdateProperty", "(" + property("InputMode", "<('IBusPropList', @a{sv} {}, @av [])>") + ",)",
            "" },
        { toContext, "UpdateProperty", "(" + property("InputMode", text("_A"), "IBusText") + ",)", "" },
        { toContext, "UpdateProperty", "(<<<<" + latin + ">>>>,)", "" },
        { toContext, "UpdatePreeditText", "(" + text("か") + ",)", "" },
        { toContext, "UpdatePreeditText", "(<('IBusText', @a{sv} {})>, uint32 1, true)", "" },
        { toContext, "CommitText", "('か',)", "" },
        { toAll, "GlobalEngineChanged", "(int32 3,)", "" },
        // Too long a list is not walked.
        { toContext, "RegisterProperties", list(longest), "mode InputMode.Latin" },
        { toContext, "RegisterProperties", list(text("x") + ", " + longest), "" },
    };
    for (const auto& c : cases) {
        const char* path = "/org/freedesktop/IBus/InputContext_1";
        const GObjectPtr<GDBusMessage> message(c.origin.isCall
                ? g_dbus_message_new_method_call("org.freedesktop.IBus", path, c.origin.interface, c.member)
                : g_dbus_message_new_signal(path, c.origin.interface, c.member));
        g_dbus_message_set_sender(message.get(), c.origin.sender);
        GVariant* body = c.body.empty() ? nullptr : g_variant_parse(nullptr, c.body.c_str(), nullptr, nullptr, nullptr);
        ASSERT_TRUE(body || c.body.empty()) << c.body;
        g_dbus_message_set_body(message.get(), body);
        EXPECT_EQ(described(IBusNews::read(message.get())), c.expected) << "case " << (&c - cases);
    }
}

} // namespace
} // namespace lullswitch::linux_backend
