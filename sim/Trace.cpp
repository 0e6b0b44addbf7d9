#include "sim/Trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>

namespace zorbel::sim {

std::string formatTraceLine(std::string_view driveName, std::span<const std::uint8_t> packet,
                            Direction direction, std::uint32_t length, Outcome outcome,
                            const Sense& sense, std::chrono::nanoseconds duration) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(driveName.size() + 80);
    line.append(driveName);
    if (driveName.empty() || driveName.back() != ':') {
        line.push_back(':');  // "1-0-0:" as "E:" already ends with its colon
    }
    for (std::size_t i = 0; i < 12; ++i) {
        const std::uint8_t byte = i < packet.size() ? packet[i] : 0;
        line.push_back(' ');
        line.push_back(Hex[byte >> 4]);
        line.push_back(Hex[byte & 0x0F]);
    }
    switch (direction) {
        case Direction::In:
            line.append(" in ");
            break;
        case Direction::Out:
            line.append(" out ");
            break;
        case Direction::None:
            line.append(" none ");
            break;
    }
    line.append(std::to_string(length));
    line.append(" -> ");
    switch (outcome) {
        case Outcome::Ok:
            line.append("ok");
            break;
        case Outcome::Sense: {
            char text[16];
            std::snprintf(text, sizeof text, "sense %02X/%02X/%02X", sense.key, sense.asc,
                          sense.ascq);
            line.append(text);
            break;
        }
        case Outcome::Transport:
            line.append("transport");
            break;
        case Outcome::Timeout:
            line.append("timeout");
            break;
    }
    char seconds[48];
    std::snprintf(seconds, sizeof seconds, " %.3fs",
                  std::chrono::duration<double>(duration).count());
    line.append(seconds);
    return line;
}

CommandTrace::CommandTrace(std::ostream& out) : out_(&out) {}

CommandTrace::CommandTrace(const std::filesystem::path& file)
    : file_(file, std::ios::out | std::ios::trunc), out_(&file_) {
    if (!file_) {
        const int error = errno != 0 ? errno : ENOENT;
        throw std::runtime_error("cannot create the command trace file " + file.string() + ": " +
                                 std::strerror(error));
    }
}

void CommandTrace::write(std::string_view line) {
    std::lock_guard lock(mutex_);
    *out_ << line << '\n';
    out_->flush();
    ++lines_;
}

std::uint64_t CommandTrace::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

}  // namespace zorbel::sim
