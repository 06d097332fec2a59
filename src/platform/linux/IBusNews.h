#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

// What one message on IBus's bus tells the agent. Any client can put a message
// there, so it is read without trust: only the daemon's own news counts (the
// daemon sets every client's sender to its unique name and keeps the names it
// speaks with to itself), every type is checked before its contents are
// touched, and no message costs more than a short, bounded walk. Nothing of
// what was typed is kept: a key copy tells only that a key came, a preedit
// only whether it is empty.
struct IBusNews {
    enum class Kind : std::uint8_t {
        none,
        // The engine's input mode ("InputMode.Latin"), as its InputMode
        // property shows it to an application or to the panel.
        inputMode,
        // Whether kana are being composed, from a preedit or a commit.
        composition,
        // The daemon's global engine changed to `value`.
        globalEngine,
        // An application's key event passed through the daemon.
        keyEvent,
    };

    Kind kind = Kind::none;
    std::string value;
    bool composing = false;
    // A copy of a call meant for another (the engine or the panel): it must
    // go unanswered, since any answer would reach the caller.
    bool isCopiedCall = false;

    static IBusNews read(GDBusMessage* message);
    // The match rules that bring this kind of news and as little else as
    // the daemon's rules allow.
    static std::vector<std::string> matchRules(Kind kind);
    // The engine's name in a serialized IBusEngineDesc (the GlobalEngine
    // property); empty when it is not one.
    static std::string engineNameIn(GVariant* description);
};

} // namespace lullswitch::linux_backend
