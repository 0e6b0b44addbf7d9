// The simulated computer's clock.
//
// Virtual mode: time advances only when code sleeps, when a simulated drive's
// latency elapses, or by a small step on each counter reading (so a loop that
// spins on the counter, like Pause, still ends). A 120-second wait costs no
// real time. Real-time mode: the counter is the machine's monotonic clock and
// sleeps and latencies really elapse (for demonstrations).
//
// Several threads: every thread has a clock of its own. Sleeps and latencies
// advance only the calling thread's clock, and the counter a thread reads is
// its own clock. So drives served by different worker threads run side by
// side in virtual time (16 runs take about as long as one), and no thread can
// make another thread's wait end early or late: each wait is exactly as long
// as the waiting thread's own sleeps and commands make it, whatever the other
// threads do. A thread that touches the clock for the first time starts at
// the clock of the thread that created the clock (the test's or the window's
// thread, whose clock the other threads are compared against). now() is the
// latest time any thread has reached; catchUp() moves the calling thread's
// clock there (for a thread that has waited for others, e.g. after joining
// its workers).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zorbel::sim {

enum class ClockMode { Virtual, RealTime };

class VirtualClock {
  public:
    // Counts per second of the counter: one count per nanosecond.
    static constexpr std::int64_t Frequency = 1'000'000'000;
    // Virtual mode: the first counter reading after any other clock activity
    // advances the thread's clock by this much; each further reading in a row
    // doubles the step, up to MaxReadStep.
    static constexpr std::chrono::nanoseconds MinReadStep{100};
    static constexpr std::chrono::nanoseconds MaxReadStep{1'000'000};

    explicit VirtualClock(ClockMode mode = ClockMode::Virtual);
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    ClockMode mode() const { return mode_; }

    // The counter as the calling thread reads it, in nanoseconds; never below 1
    // and never decreasing for one thread.
    std::int64_t counter();
    // Blocks (real time) or advances the calling thread's clock (virtual).
    void sleep(std::chrono::nanoseconds duration);
    // The calling thread's time, without advancing it.
    std::chrono::nanoseconds threadNow();
    // The latest time any thread has reached.
    std::chrono::nanoseconds now() const;
    // Moves the calling thread's clock forward to now().
    void catchUp();

  private:
    struct ThreadClock;
    ThreadClock& local();
    void raiseLatest(std::int64_t ns);

    const ClockMode mode_;
    const std::uint64_t id_;
    const std::chrono::steady_clock::time_point realStart_;
    std::atomic<std::int64_t> latest_{1};
    std::thread::id owner_;
    ThreadClock* ownerClock_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<ThreadClock>> threads_;
};

}  // namespace zorbel::sim
