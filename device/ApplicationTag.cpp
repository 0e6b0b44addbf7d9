#include "device/ApplicationTag.h"

#include <atomic>

namespace zorbel {

namespace {
std::atomic<int> g_tag{0};
}

int applicationTag() {
    return g_tag.load(std::memory_order_relaxed);
}
void setApplicationTag(int tag) {
    g_tag.store(tag, std::memory_order_relaxed);
}

}  // namespace zorbel
