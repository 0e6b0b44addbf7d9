#include "device/ShutdownInhibit.h"

#include <atomic>

#include "device/Host.h"

namespace zorbel {

namespace {
std::atomic<int> holders{0};
std::function<void(bool)>& listener() {
    static std::function<void(bool)> slot;
    return slot;
}
}  // namespace

ShutdownInhibit::ShutdownInhibit() {
    if (holders++ == 0 && listener()) {
        listener()(true);
    }
    if (hasCurrentHost()) {
        currentHost().inhibitShutdown();
    }
}

ShutdownInhibit::~ShutdownInhibit() {
    if (hasCurrentHost()) {
        currentHost().releaseShutdownInhibit();
    }
    if (--holders == 0 && listener()) {
        listener()(false);
    }
}

void ShutdownInhibit::setListener(std::function<void(bool active)> newListener) {
    listener() = std::move(newListener);
}

bool ShutdownInhibit::active() {
    return holders.load() > 0;
}

}  // namespace zorbel
