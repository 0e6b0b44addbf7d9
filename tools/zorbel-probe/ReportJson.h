// zorbel-probe's findings as data: the document `zorbel-probe --json` prints.
// Its layout (schema "zorbel-probe", version 1) is documented in
// tools/zorbel-probe/README.md; a change that a reader could trip over gives it
// a new version.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "device/Host.h"
#include "tools/zorbel-probe/Report.h"

namespace zorbel::probe {

inline constexpr int ProbeSchemaVersion = 1;

// The document for `drives`; `flashIdAsked` says whether --flash-id was given;
// `power` is where the computer's power comes from.
nlohmann::ordered_json reportJson(const std::vector<DriveReport>& drives, bool flashIdAsked,
                                  const PowerState& power = {});

}  // namespace zorbel::probe
