#pragma once

namespace lullswitch {

// The process entry: runs the platform's application with one AppDelegate.
// No window is ever declared; settings change only through the status menu.
class LullswitchApp {
public:
    // Needs the platform installed. Returns the process's exit status.
    static int main();
};

} // namespace lullswitch
