#pragma once

#include "SessionSupport.h"

namespace lullswitch::tray_test {

// The lullswitch executable as a child process.
class AgentProcess : public session_test::ChildProcess {
public:
    explicit AgentProcess(const Environment& environment = {});
};

} // namespace lullswitch::tray_test
