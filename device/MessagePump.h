// Lets a wait on the window's thread keep the window alive. The front end
// installs its "process pending messages" operation from the window's thread;
// waits call pumpIfWindowThread(), which runs it only on that thread (worker
// threads wait without a message loop).
#pragma once

#include <cstdint>
#include <functional>

namespace zorbel {

void setWindowMessagePump(std::function<void()> pump);  // call on the window's thread
void clearWindowMessagePump();
void pumpIfWindowThread();
// Sleeps on the host; on the window's thread in steps short enough that the
// window keeps answering, handling its messages between them.
void pumpedSleepMs(std::uint32_t milliseconds);

}  // namespace zorbel
