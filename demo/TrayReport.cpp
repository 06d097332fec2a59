// lullswitch_tray_report: shows, inside a virtual session, what a person would
// see of the agent on a desktop: its tray item and menu as a panel draws them,
// and Japanese input turned back to alphanumeric after a pause in typing.
// Run by scripts/run when the machine has no desktop of its own.
#include "SessionSupport.h"
#include "TestTrayHost.h"

#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace lullswitch;
using namespace lullswitch::tray_test;

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void sleepFor(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string text(const linux_backend::GVariantPtr& value)
{
    return g_variant_get_string(value.get(), nullptr);
}

// The largest pixmap of the icon, drawn with blocks.
void drawIcon(GVariant* pixmaps)
{
    const gsize count = g_variant_n_children(pixmaps);
    std::string sizes;
    for (gsize i = 0; i < count; ++i) {
        gint32 width;
        g_variant_get_child(pixmaps, i, "(ii@ay)", &width, nullptr, nullptr);
        if (i > 0)
            sizes += ", ";
        sizes += std::to_string(width);
    }
    say("  icon pixmaps: " + sizes + " px; the 22 px one:");
    for (gsize i = 0; i < count; ++i) {
        gint32 width;
        gint32 height;
        GVariant* bytes;
        g_variant_get_child(pixmaps, i, "(ii@ay)", &width, &height, &bytes);
        if (width == 22) {
            gsize size;
            const auto* argb = static_cast<const guint8*>(g_variant_get_fixed_array(bytes, &size, 1));
            for (int y = 0; y < height; ++y) {
                std::string row = "    ";
                for (int x = 0; x < width; ++x) {
                    const auto* pixel = argb + 4 * (y * width + x);
                    row += pixel[0] > 96 && pixel[1] > 128 ? "██" : pixel[0] > 96 ? "░░" : "  ";
                }
                say(row);
            }
        }
        g_variant_unref(bytes);
    }
}

// A property as g_variant_print writes it ("'submenu'", "1"); "" when absent.
std::string printed(const MenuEntry& entry, const char* name)
{
    linux_backend::GVariantPtr value(g_variant_lookup_value(entry.properties.get(), name, nullptr));
    return value ? linux_backend::GMallocPtr<gchar>(g_variant_print(value.get(), FALSE)).get() : "";
}

void drawMenu(const MenuEntry& menu, int depth)
{
    for (const auto& entry : menu.children) {
        std::string line(4 + depth * 4, ' ');
        if (printed(entry, "type") == "'separator'") {
            say(line + "────────────");
            continue;
        }
        if (printed(entry, "toggle-type") == "'checkmark'")
            line += printed(entry, "toggle-state") == "1" ? "✓ " : "  ";
        line += entry.label();
        if (!printed(entry, "shortcut").empty())
            line += "    " + printed(entry, "shortcut");
        if (printed(entry, "enabled") == "false")
            line += "    (greyed out)";
        if (printed(entry, "children-display") == "'submenu'")
            line += "  ▸";
        say(line);
        drawMenu(entry, depth + 1);
    }
}

std::string currentInputMethod()
{
    return session_test::fcitxCurrentInputMethod().value_or("(fcitx5 not answering)");
}

int report()
{
    say("Lullswitch in a virtual desktop session (Xvfb " + std::string(g_getenv("DISPLAY"))
        + ", a private session bus, "
          "fcitx5 with keyboard-us and anthy, and a stand-in tray panel)");
    TestTrayHost panel;
    session_test::InputContextHolder inputContext;
    if (!inputContext.waitUntilFocused()) {
        say("fcitx5 gave no input context; cannot show switching");
        return 1;
    }
    const std::string config = std::string(g_getenv("XDG_CONFIG_HOME"));
    session_test::ChildProcess agent({ LULLSWITCH_AGENT }, { { "XDG_CONFIG_HOME", config } });
    say("");
    say("Started the agent (pid " + std::to_string(agent.pid()) + ").");
    if (!session_test::iterateUntil([&] { return !panel.items().empty(); }, 10)) {
        say("The tray item did not register.");
        return 1;
    }
    sleepFor(0.3);
    say("The panel shows its tray item (registered by " + panel.items().front() + "):");
    say("  title: " + text(panel.itemProperty("Title")));
    auto toolTip = panel.itemProperty("ToolTip");
    const gchar* toolTipTitle;
    g_variant_get(toolTip.get(), "(&sa(iiay)&s&s)", nullptr, nullptr, &toolTipTitle, nullptr);
    say("  tooltip: " + std::string(toolTipTitle));
    drawIcon(panel.itemProperty("IconPixmap").get());
    say("");
    say("Clicking it opens this menu:");
    drawMenu(panel.menu(), 0);

    say("");
    session_test::fcitxSetCurrentInputMethod("anthy");
    say("Input method now: " + currentInputMethod() + ". Typing \"nihongo\"...");
    session_test::run({ "xdotool", "type", "--delay", "60", "nihongo" });
    const gint64 lastKey = g_get_monotonic_time();
    double shown = 0;
    while (currentInputMethod() != "keyboard-us" && session_test::secondsSince(lastKey) < 6) {
        if (session_test::secondsSince(lastKey) >= shown + 0.5) {
            shown += 0.5;
            char line[80];
            std::snprintf(line, sizeof line, "  %.1f s without a key: %s", shown, currentInputMethod().c_str());
            say(line);
        }
        sleepFor(0.01);
    }
    char result[120];
    std::snprintf(result, sizeof result, "After %.2f s without a key the input method is %s (the delay is 2 s).",
        session_test::secondsSince(lastKey), currentInputMethod().c_str());
    say(result);
    const bool switched = currentInputMethod() == "keyboard-us";

    say("");
    say("Choosing 終了 in the menu...");
    panel.click("終了");
    const auto status = agent.waitForExit(5);
    say(status ? "The agent exited with status " + std::to_string(*status) + "." : "The agent did not exit.");
    return switched && status == 0 ? 0 : 1;
}

} // namespace

int main()
{
    try {
        return report();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lullswitch_tray_report: %s\n", error.what());
        return 1;
    }
}
