// The built-in demo computer of zorbel-sim: what runs without a scenario.
#pragma once

#include <cstdint>
#include <span>

#include "sim/SimHost.h"

namespace zorbel::simtool {

// A notebook-like NT computer with a hard disk (C:) and three optical drives:
//   D: MERIDOX DVD-RW DX-4410S on 1.00, a disc in its tray: the drive the demo
//      package fits and updates (to 1.10); it accepts only `expectedImage`;
//   E: LUMINARK DVDRW LR-880 on 2.05: another make, which the package refuses;
//   F: MERIDOX DVD-RW DX-4410S already on 1.10: allowed, but up to date.
// The drives take time for their commands as real ones do (seen with
// --realtime; on the virtual clock it costs nothing).
sim::ComputerSpec demoComputer(std::span<const std::uint8_t> expectedImage);

}  // namespace zorbel::simtool
