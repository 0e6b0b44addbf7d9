// The command ring a drive served through the kernel's SCSI target reads: a
// mailbox at the start of the shared region, a ring of command entries after
// it, and a data area the entries' buffer lists point into (offsets from the
// start of the region). The kernel appends entries and moves the head; the
// server answers each entry in place and moves the tail past it. The ring
// knows nothing of files or mappings: it works on the bytes it is given, so a
// region built in memory exercises it the same as the kernel's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace zorbel::tcmu {

// One command as the ring delivers it.
struct RingCommand {
    std::array<std::uint8_t, 16> cdb{};  // the packet, zero past its length
    std::size_t cdbLength = 0;           // from the operation code's group
    std::uint32_t dataLength = 0;        // bytes of the data buffer, either way
};

// The answer to one command.
struct RingReply {
    std::uint8_t status = 0;               // SCSI status: 0 good, 2 check condition
    std::array<std::uint8_t, 18> sense{};  // fixed-format sense when status is 2
    std::uint32_t readLength = 0;          // data-in bytes the drive delivered
    bool dataIn = false;                   // readLength counts (the command read data)
};

// The length of a command packet, by the group of its operation code.
std::size_t cdbLengthOf(std::uint8_t opcode);

class CommandRing {
  public:
    // The handler answers one command. It may read the data the host sent
    // with copyOut and return data with copyIn (both clipped to the buffer).
    struct Access {
        std::function<std::size_t(std::uint8_t* to, std::size_t length)> copyOut;
        std::function<std::size_t(const std::uint8_t* from, std::size_t length)> copyIn;
    };
    using Handler = std::function<RingReply(const RingCommand&, const Access&)>;

    // region: the whole shared mapping, mailbox first.
    explicit CommandRing(std::span<std::uint8_t> region);

    // Whether the kernel takes the delivered length of a data-in command.
    bool readLengthSupported() const;

    // Answers every entry between the tail and the head, in order, calling
    // `answered` after each command's answer is in place and the tail past
    // it (so the kernel can be told at once); returns how many commands were
    // answered. An entry that does not fit in the region stops the ring
    // (false in `sound`).
    std::size_t answerPending(const Handler& handler, const std::function<void()>& answered = {},
                              bool* sound = nullptr);

  private:
    std::span<std::uint8_t> region_;
};

}  // namespace zorbel::tcmu
