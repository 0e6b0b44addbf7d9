// The two ways zorbel shows its window; the build picks which exist.
#pragma once

#include "device/host_linux.h"

namespace zorbel::program {

// True when a display is there for the window toolkit to show its window on.
bool displayAvailable();
// Runs the program with the Qt window; returns the exit code.
int runWindow(linuxhost::LinuxHost& host);
// Runs the program on the console; returns the exit code.
int runConsole(linuxhost::LinuxHost& host);

}  // namespace zorbel::program
