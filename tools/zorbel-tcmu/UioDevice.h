// The kernel side of one served drive: the user-space I/O device the kernel's
// SCSI target made for a backstore of ours, found by the backstore's name,
// with its command ring mapped. All system calls of zorbel-tcmu are here.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace zorbel::tcmu {

class UioDevice {
  public:
    // Finds the device of backstore `name` under sysRoot (/sys) and maps it;
    // on failure, `error` says what was missing.
    static std::optional<UioDevice> open(const std::string& name, std::string& error,
                                         const std::filesystem::path& sysRoot = "/sys");
    UioDevice(UioDevice&& other) noexcept;
    UioDevice& operator=(UioDevice&&) = delete;
    UioDevice(const UioDevice&) = delete;
    ~UioDevice();

    std::span<std::uint8_t> region() const { return {map_, size_}; }
    // The kernel's time-out for one command of this backstore (0: none).
    std::chrono::milliseconds kernelTimeout() const { return timeout_; }
    const std::string& node() const { return node_; }

    // Blocks until the kernel has put commands in the ring; false when the
    // device is gone.
    bool waitForCommands();
    // Tells the kernel that answers are in the ring.
    void answersReady();

  private:
    UioDevice() = default;
    int fd_ = -1;
    std::uint8_t* map_ = nullptr;
    std::size_t size_ = 0;
    std::chrono::milliseconds timeout_{0};
    std::string node_;
};

// Seconds since the machine started (the clock of the kernel's own log).
double secondsSinceBoot();

// Runs the rest of the program in a child and returns in it, with standard
// input and output on /dev/null; the parent prints the child's process id and
// exits 0. Call before any thread starts.
void continueInBackground();

// Blocks termination signals in the calling thread (and the threads it
// starts) and returns once one of them arrives.
void blockTerminationSignals();
int waitForTermination();

// Writes a file whole: a temporary beside it, then renamed over it.
bool writeWhole(const std::filesystem::path& file, const std::string& text);

}  // namespace zorbel::tcmu
