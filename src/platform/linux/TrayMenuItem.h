#pragma once

#include "platform/common/MenuTree.h"

namespace lullswitch::linux_backend {

// The tray's menu items are the tree's own; kept so callers that still name
// this type compile unchanged.
using TrayMenuItem = platform::MenuTreeItem;

} // namespace lullswitch::linux_backend
