#include "sim/VirtualClock.h"

#include <algorithm>

namespace zorbel::sim {

namespace {

std::atomic<std::uint64_t> g_nextClockId{1};

// The calling thread's clock of the clock it used last; most threads use one.
struct ThreadCache {
    std::uint64_t clockId = 0;
    void* clock = nullptr;
};
thread_local ThreadCache t_cache;

}  // namespace

struct VirtualClock::ThreadClock {
    std::thread::id thread;
    // Written only by its own thread; read by others (the owner's clock gives
    // new threads their start).
    std::atomic<std::int64_t> ns{1};
    std::int64_t step = MinReadStep.count();
};

VirtualClock::VirtualClock(ClockMode mode)
    : mode_(mode),
      id_(g_nextClockId.fetch_add(1, std::memory_order_relaxed)),
      realStart_(std::chrono::steady_clock::now()),
      owner_(std::this_thread::get_id()) {
    ownerClock_ = &local();
}

VirtualClock::~VirtualClock() = default;

VirtualClock::ThreadClock& VirtualClock::local() {
    if (t_cache.clockId == id_) {
        return *static_cast<ThreadClock*>(t_cache.clock);
    }
    const std::thread::id self = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    ThreadClock* found = nullptr;
    for (const auto& clock : threads_) {
        if (clock->thread == self) {
            found = clock.get();
            break;
        }
    }
    if (found == nullptr) {
        auto clock = std::make_unique<ThreadClock>();
        clock->thread = self;
        if (ownerClock_ != nullptr) {
            clock->ns.store(ownerClock_->ns.load(std::memory_order_acquire),
                            std::memory_order_relaxed);
        }
        found = clock.get();
        threads_.push_back(std::move(clock));
    }
    t_cache.clockId = id_;
    t_cache.clock = found;
    return *found;
}

void VirtualClock::raiseLatest(std::int64_t ns) {
    std::int64_t seen = latest_.load(std::memory_order_relaxed);
    while (seen < ns && !latest_.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
    }
}

std::int64_t VirtualClock::counter() {
    if (mode_ == ClockMode::RealTime) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - realStart_)
                   .count() +
               1;
    }
    ThreadClock& clock = local();
    const std::int64_t now = clock.ns.load(std::memory_order_relaxed) + clock.step;
    clock.ns.store(now, std::memory_order_release);
    clock.step = std::min(clock.step * 2, MaxReadStep.count());
    raiseLatest(now);
    return now;
}

void VirtualClock::sleep(std::chrono::nanoseconds duration) {
    if (mode_ == ClockMode::RealTime) {
        if (duration.count() > 0) {
            std::this_thread::sleep_for(duration);
        }
        return;
    }
    // Even a zero-length wait (a zero-latency command) ends a run of counter
    // readings, so the next reading advances by the smallest step again.
    ThreadClock& clock = local();
    const std::int64_t now =
        clock.ns.load(std::memory_order_relaxed) + std::max<std::int64_t>(duration.count(), 0);
    clock.ns.store(now, std::memory_order_release);
    clock.step = MinReadStep.count();
    raiseLatest(now);
}

std::chrono::nanoseconds VirtualClock::threadNow() {
    if (mode_ == ClockMode::RealTime) {
        return std::chrono::steady_clock::now() - realStart_;
    }
    return std::chrono::nanoseconds(local().ns.load(std::memory_order_relaxed));
}

std::chrono::nanoseconds VirtualClock::now() const {
    if (mode_ == ClockMode::RealTime) {
        return std::chrono::steady_clock::now() - realStart_;
    }
    return std::chrono::nanoseconds(latest_.load(std::memory_order_relaxed));
}

void VirtualClock::catchUp() {
    if (mode_ == ClockMode::RealTime) {
        return;
    }
    ThreadClock& clock = local();
    const std::int64_t latest = latest_.load(std::memory_order_relaxed);
    if (clock.ns.load(std::memory_order_relaxed) < latest) {
        clock.ns.store(latest, std::memory_order_release);
    }
    clock.step = MinReadStep.count();
}

}  // namespace zorbel::sim
