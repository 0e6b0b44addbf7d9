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
// Runs `work` to its end. On the window's thread, when the host's commands
// take real time, `work` runs on a helper thread meanwhile and the window
// keeps handling its messages until it is done; the caller must keep the
// window's handlers away from what `work` touches. Elsewhere it just runs.
// Costs no allocation where it just runs.
void runWhilePumping(void (*work)(void* context), void* context);
template <typename Work>
void runWhilePumping(Work& work) {
    runWhilePumping([](void* context) { (*static_cast<Work*>(context))(); }, &work);
}

}  // namespace zorbel
