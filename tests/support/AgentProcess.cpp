#include "AgentProcess.h"

namespace lullswitch::tray_test {

AgentProcess::AgentProcess(const Environment& environment) : ChildProcess({ LULLSWITCH_AGENT }, environment) { }

} // namespace lullswitch::tray_test
