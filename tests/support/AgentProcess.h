#pragma once

#include <glib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lullswitch::tray_test {

// The lullswitch executable as a child process, with some environment
// variables set (a value of nullopt unsets the variable).
class AgentProcess {
public:
    using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

    explicit AgentProcess(const Environment& environment = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    GPid pid() const { return pid_; }
    void signal(int number) const;
    // The exit status once it has exited on its own, -1 when killed by a
    // signal; nothing when it still runs after `seconds`.
    std::optional<int> waitForExit(double seconds);

private:
    GPid pid_ = 0;
    std::optional<int> status_;
};

} // namespace lullswitch::tray_test
