#include "app/RestartSystem.h"

#include "device/Host.h"

namespace zorbel {

bool RestartSystem(const OSInfo& osInfo) {
    return currentHost().restartSystem(osInfo.IsNT());
}

}  // namespace zorbel
