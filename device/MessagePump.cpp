#include "device/MessagePump.h"

#include <mutex>
#include <thread>
#include <utility>

namespace zorbel {

namespace {
std::mutex g_mutex;
std::function<void()> g_pump;
std::thread::id g_windowThread;
}  // namespace

void setWindowMessagePump(std::function<void()> pump) {
    std::lock_guard lock(g_mutex);
    g_pump = std::move(pump);
    g_windowThread = std::this_thread::get_id();
}

void clearWindowMessagePump() {
    std::lock_guard lock(g_mutex);
    g_pump = nullptr;
    g_windowThread = std::thread::id();
}

void pumpIfWindowThread() {
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

}  // namespace zorbel
