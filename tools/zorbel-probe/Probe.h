// What zorbel-probe asks one drive: its identity, readiness, disc and tray,
// and on request its flash chip. Read-only commands only.
#pragma once

#include <cstdint>

#include "device/AtapiDevice.h"
#include "tools/zorbel-probe/Report.h"

namespace zorbel::probe {

// Selects entry `index` of the object's table, asks the drive and closes it
// again. Bounded as discovery is: every command gets the discovery time-out,
// and a drive that lets one time out is asked nothing more, so a drive that
// never answers costs one time-out.
void probeDrive(AtapiDevice& device, std::int16_t index, bool flashId, DriveReport& report);

}  // namespace zorbel::probe
