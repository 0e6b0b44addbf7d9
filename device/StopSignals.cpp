#include "device/StopSignals.h"

#include <atomic>
#include <mutex>

#include "device/Host.h"

namespace zorbel {

namespace {

std::atomic<int> requestedSignal{0};
std::mutex handlerMutex;
StopSignals::Handler& handlerSlot() {
    static StopSignals::Handler handler;
    return handler;
}

// Signal numbers as every platform we build for numbers them.
constexpr int SignalHangUp = 1;
constexpr int SignalInterrupt = 2;
constexpr int SignalTerminate = 15;

}  // namespace

bool StopSignals::watch(Handler handler) {
    setHandler(std::move(handler));
    return hasCurrentHost() && currentHost().watchStopSignals(&StopSignals::deliver);
}

void StopSignals::setHandler(Handler handler) {
    std::lock_guard lock(handlerMutex);
    handlerSlot() = std::move(handler);
}

void StopSignals::deliver(int signal) {
    int none = 0;
    requestedSignal.compare_exchange_strong(none, signal);
    std::lock_guard lock(handlerMutex);
    if (handlerSlot()) {
        handlerSlot()(signal);
    }
}

bool StopSignals::stopRequested() {
    return requestedSignal.load() != 0;
}

int StopSignals::stopSignal() {
    return requestedSignal.load();
}

std::string StopSignals::name(int signal) {
    switch (signal) {
        case SignalHangUp:
            return "SIGHUP";
        case SignalInterrupt:
            return "SIGINT";
        case SignalTerminate:
            return "SIGTERM";
        case SystemSleep:
            return "the system's sleep";
        default:
            return "signal " + std::to_string(signal);
    }
}

void StopSignals::reset() {
    requestedSignal.store(0);
}

}  // namespace zorbel
