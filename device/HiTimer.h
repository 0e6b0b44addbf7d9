// Interval timer on the host's high-resolution counter, reporting seconds.
// Every interval is measured as stop - start - overhead, the overhead being the
// cost of one start-stop pair measured at construction.
#pragma once

#include <cstdint>

namespace zorbel {

class HiTimer {
  public:
    HiTimer();   // calibrates; afterwards not running, total 0
    ~HiTimer();  // stops a running timer
    HiTimer(const HiTimer&) = default;
    HiTimer& operator=(const HiTimer&) = default;

    void StartTimer(bool reset);
    void StopTimer();
    void ResetTimer();
    // Seconds since the start, overhead removed; 0 when not running or unavailable.
    double ElapsedSinceStart();
    // Accumulated seconds of all completed intervals; 0 when unavailable.
    double TotalSeconds() const;

    bool IsRunning() const { return running_ != 0; }
    bool IsUnavailable() const { return unavailable_ != 0; }

  private:
    std::int64_t frequency_ = 0;
    std::int64_t startCount_ = 0;
    std::int64_t stopCount_ = 0;
    std::int64_t total_ = 0;
    std::int64_t overhead_ = 0;
    std::uint8_t unavailable_ = 0;
    // Running is kept apart from the start count: a counter may legitimately
    // read 0 (a virtual clock at its origin).
    std::uint8_t running_ = 0;
};

}  // namespace zorbel
