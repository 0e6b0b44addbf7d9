// The command trace: one line per command that reaches a simulated drive, in
// the form other tools and black-box tests read:
//
//   E: 3B 05 01 00 40 00 00 40 00 00 00 00 out 16384 -> ok 0.004s
//   1-0-0: DF 11 00 00 00 00 00 00 00 00 00 00 in 128 -> sense 05/20/00 0.001s
//
// the drive's name with a colon (the first two characters of its root, "E:",
// or host adapter-target-LUN for a drive reached through ASPI), the 12 packet
// bytes in upper-case hex, the direction in/out/none, the requested length,
// the outcome ok / sense KK/AA/QQ / transport / timeout, and the duration in
// seconds with three decimals.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iosfwd>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "sim/SimDrive.h"

namespace zorbel::sim {

// One trace line, without the line feed. Packets shorter than 12 bytes are
// shown zero-padded; longer ones are cut to 12.
std::string formatTraceLine(std::string_view driveName, std::span<const std::uint8_t> packet,
                            Direction direction, std::uint32_t length, Outcome outcome,
                            const Sense& sense, std::chrono::nanoseconds duration);

// A thread-safe trace writer; each line is written whole and flushed.
class CommandTrace {
  public:
    // Writes to a stream the caller keeps alive.
    explicit CommandTrace(std::ostream& out);
    // Creates (truncates) the file; throws std::runtime_error naming it when
    // it cannot be opened.
    explicit CommandTrace(const std::filesystem::path& file);
    CommandTrace(const CommandTrace&) = delete;
    CommandTrace& operator=(const CommandTrace&) = delete;

    void write(std::string_view line);
    std::uint64_t lines() const;

  private:
    std::ofstream file_;
    std::ostream* out_;
    mutable std::mutex mutex_;
    std::uint64_t lines_ = 0;
};

}  // namespace zorbel::sim
