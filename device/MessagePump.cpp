#include "device/MessagePump.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "device/Host.h"

namespace zorbel {

namespace {
std::mutex g_mutex;
std::function<void()> g_pump;
std::thread::id g_windowThread;
// Set on the thread that installed the pump: every other thread (a worker
// sending its flash phase's commands) learns it has no window to keep alive
// from its own flag, without the lock.
thread_local bool t_installedPump = false;

// The longest the window goes without handling its messages while a wait
// sleeps on its thread.
constexpr std::uint32_t PumpStepMs = 20;

bool onPumpedThread() {
    if (!t_installedPump) {
        return false;
    }
    std::lock_guard lock(g_mutex);
    return g_pump && g_windowThread == std::this_thread::get_id();
}
}  // namespace

void setWindowMessagePump(std::function<void()> pump) {
    std::lock_guard lock(g_mutex);
    g_pump = std::move(pump);
    g_windowThread = std::this_thread::get_id();
    t_installedPump = true;
}

void clearWindowMessagePump() {
    std::lock_guard lock(g_mutex);
    g_pump = nullptr;
    g_windowThread = std::thread::id();
}

void pumpIfWindowThread() {
    if (!t_installedPump) {
        return;
    }
    std::function<void()> pump;
    {
        std::lock_guard lock(g_mutex);
        if (!g_pump || g_windowThread != std::this_thread::get_id()) {
            return;
        }
        pump = g_pump;
    }
    pump();
}

void pumpedSleepMs(std::uint32_t milliseconds) {
    if (!onPumpedThread()) {
        currentHost().sleepMs(milliseconds);
        return;
    }
    while (milliseconds > 0) {
        pumpIfWindowThread();
        const std::uint32_t step = std::min(milliseconds, PumpStepMs);
        currentHost().sleepMs(step);
        milliseconds -= step;
    }
    pumpIfWindowThread();
}

void runWhilePumping(void (*work)(void* context), void* context) {
    if (!onPumpedThread() || !currentHost().commandsTakeRealTime()) {
        work(context);
        return;
    }
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::exception_ptr failure;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                work(context);
            } catch (...) {
                failure = std::current_exception();
            }
            const std::lock_guard lock(mutex);
            done = true;
            ended.notify_one();
        });
    } catch (const std::system_error&) {
        work(context);  // no thread to spare: the window waits as before
        return;
    }
    for (;;) {
        pumpIfWindowThread();
        std::unique_lock lock(mutex);
        if (ended.wait_for(lock, std::chrono::milliseconds(PumpStepMs), [&] { return done; })) {
            break;
        }
    }
    helper.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace zorbel
