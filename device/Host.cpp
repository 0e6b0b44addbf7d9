#include "device/Host.h"

#include <atomic>
#include <cstdlib>

namespace zorbel {

namespace {
std::atomic<Host*> g_host{nullptr};
}

Host& currentHost() {
    Host* host = g_host.load(std::memory_order_acquire);
    if (host == nullptr) {
        std::abort();  // a program entry or test forgot to install its host
    }
    return *host;
}

void setCurrentHost(Host* host) {
    g_host.store(host, std::memory_order_release);
}

bool hasCurrentHost() {
    return g_host.load(std::memory_order_acquire) != nullptr;
}

bool Host::aspiRequestEnded(std::span<std::uint8_t> request, bool giveUp) {
    static_cast<void>(giveUp);
    // SRB_Status (byte 1) leaves SS_PENDING (0) when the request has ended.
    return request.size() > 1 &&
           std::atomic_ref<std::uint8_t>(request[1]).load(std::memory_order_acquire) != 0;
}

int plainCollate(std::string_view a, std::string_view b) {
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace zorbel
