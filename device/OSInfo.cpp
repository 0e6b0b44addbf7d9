#include "device/OSInfo.h"

#include "device/Host.h"

namespace zorbel {

// The host answers what the platform identifier says: NT family or not. A
// failed version query reads as not NT.
OSInfo::OSInfo() : isNT_(currentHost().isNtFamily() ? 1 : 0) {}

}  // namespace zorbel
