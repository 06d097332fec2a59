#pragma once

// A stand-in for a desktop panel in the virtual session: a
// StatusNotifierWatcher that items register with, plus a dbusmenu client that
// reads their menus and clicks their entries, as a tray host does. It answers
// registrations and counts signals on the default main context: callers
// iterate it while they wait.

#include "platform/linux/GLibRegistrations.h"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lullswitch::tray_test {

// One entry of a dbusmenu layout, with the protocol's defaults applied.
struct MenuEntry {
    std::int32_t id = 0;
    linux_backend::GVariantPtr properties; // a{sv}
    std::vector<MenuEntry> children;

    std::string label() const; // as sent, mnemonics escaped
    // The first entry with this label, breadth first; throws when none.
    const MenuEntry& find(const std::string& label) const;
};

struct TrayError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class TestTrayHost {
public:
    TestTrayHost();
    ~TestTrayHost();

    // The panel comes (back): it exports the watcher, then takes its name.
    // Items registered with an earlier watcher are forgotten.
    void startWatcher();
    // The panel goes away: the watcher's name is free again.
    void stopWatcher();

    // The bus names of the items registered with the current watcher.
    const std::vector<std::string>& items() const { return items_; }
    // The next `count` registrations fail as they do with a watcher that has
    // taken its name but does not serve its object yet.
    void refuseRegistrations(int count) { refusals_ = count; }

    // Signals seen since the start, by member name ("NewTitle", ...).
    std::map<std::string, int> signalCounts() const { return signalCounts_; }
    std::optional<std::uint32_t> lastLayoutRevision() const { return lastRevision_; }

    // Calls on the first registered item, from the calling thread; they throw
    // std::out_of_range while none is.
    linux_backend::GVariantPtr itemProperty(const std::string& name) const;
    MenuEntry menu() const;
    // Clicks the entry labelled `label` in the current layout.
    void click(const std::string& label) const;

    // Any method call on the host's connection; throws TrayError with the
    // D-Bus error's message.
    linux_backend::GVariantPtr call(const std::string& busName, const std::string& path, const char* interface,
        const char* method, GVariant* parameters, const char* replyType) const;

private:
    static void onWatcherCall(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
        const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);
    static void onSignal(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
        const gchar* signal, GVariant* parameters, gpointer self);

    // A connection of its own, as a separate panel process has.
    linux_backend::GObjectPtr<GDBusConnection> connection_;
    linux_backend::SignalSubscription signals_;
    linux_backend::ObjectRegistration watcher_;

    std::vector<std::string> items_;
    int refusals_ = 0;
    std::map<std::string, int> signalCounts_;
    std::optional<std::uint32_t> lastRevision_;
};

} // namespace lullswitch::tray_test
