// The system restart after a successful update.
#pragma once

#include "device/OSInfo.h"

namespace zorbel {

// Asks the host to restart the system cleanly, closing applications; on the
// NT family the shutdown privilege is enabled first. True when the request was
// accepted. The caller ignores the result and ends the program either way.
bool RestartSystem(const OSInfo& osInfo);

}  // namespace zorbel
