#include "device/ShutdownInhibit.h"

#include <atomic>

#include "device/Host.h"

namespace zorbel {

namespace {
std::atomic<int> holders{0};
}  // namespace

ShutdownInhibit::ShutdownInhibit() {
    ++holders;
    currentHost().inhibitShutdown();
}

ShutdownInhibit::~ShutdownInhibit() {
    currentHost().releaseShutdownInhibit();
    --holders;
}

bool ShutdownInhibit::active() {
    return holders.load() > 0;
}

}  // namespace zorbel
