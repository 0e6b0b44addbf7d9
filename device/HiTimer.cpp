#include "device/HiTimer.h"

#include "device/Host.h"

namespace zorbel {

HiTimer::HiTimer() {
    std::int64_t frequency = 0;
    // A counter that reports no positive frequency cannot turn counts into
    // seconds: it counts as no counter at all.
    if (!currentHost().queryPerformanceFrequency(frequency) || frequency <= 0) {
        unavailable_ = 1;
        return;
    }
    frequency_ = frequency;

    // Calibrate: one start-stop pair with no overhead correction; its total is
    // the cost of taking the two readings, removed from every later interval.
    startCount_ = currentHost().queryPerformanceCounter();
    running_ = 1;
    StopTimer();
    overhead_ = total_;

    startCount_ = 0;
    stopCount_ = 0;
    total_ = 0;
}

HiTimer::~HiTimer() {
    if (running_ != 0) {
        StopTimer();
    }
}

void HiTimer::StartTimer(bool reset) {
    if (unavailable_ != 0) {
        return;
    }
    if (reset) {
        ResetTimer();
    }
    startCount_ = currentHost().queryPerformanceCounter();
    running_ = 1;
}

void HiTimer::StopTimer() {
    if (unavailable_ != 0 || running_ == 0) {
        return;
    }
    stopCount_ = currentHost().queryPerformanceCounter();
    total_ += stopCount_ - startCount_ - overhead_;
    startCount_ = 0;
    running_ = 0;
}

void HiTimer::ResetTimer() {
    if (running_ != 0) {
        StopTimer();
    }
    total_ = 0;
}

double HiTimer::ElapsedSinceStart() {
    if (unavailable_ != 0 || running_ == 0) {
        return 0.0;
    }
    stopCount_ = currentHost().queryPerformanceCounter();
    return static_cast<double>(stopCount_ - startCount_ - overhead_) /
           static_cast<double>(frequency_);
}

double HiTimer::TotalSeconds() const {
    if (unavailable_ != 0) {
        return 0.0;
    }
    return static_cast<double>(total_) / static_cast<double>(frequency_);
}

}  // namespace zorbel
