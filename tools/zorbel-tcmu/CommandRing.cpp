#include "tools/zorbel-tcmu/CommandRing.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>

#include "tools/zorbel-tcmu/RingLayout.h"

namespace zorbel::tcmu {

namespace {

namespace mailbox {
constexpr std::size_t Flags = RING_MAILBOX_FLAGS;
constexpr std::size_t RingOffset = RING_MAILBOX_RING_OFFSET;
constexpr std::size_t RingSize = RING_MAILBOX_RING_SIZE;
constexpr std::size_t Head = RING_MAILBOX_HEAD;
constexpr std::size_t Tail = RING_MAILBOX_TAIL;
constexpr std::size_t Size = RING_MAILBOX_SIZE;
}  // namespace mailbox

namespace entry {
constexpr std::size_t LengthAndOp = RING_ENTRY_LENGTH_AND_OP;
constexpr std::size_t UserFlags = RING_ENTRY_USER_FLAGS;
constexpr std::size_t BufferCount = RING_ENTRY_BUFFER_COUNT;
constexpr std::size_t CdbOffset = RING_ENTRY_CDB_OFFSET;
constexpr std::size_t Buffers = RING_ENTRY_BUFFERS;
constexpr std::size_t BufferSize = RING_ENTRY_BUFFER_SIZE;
constexpr std::size_t Status = RING_ENTRY_STATUS;
constexpr std::size_t ReadLength = RING_ENTRY_READ_LENGTH;
constexpr std::size_t Sense = RING_ENTRY_SENSE;
constexpr std::size_t SenseSize = RING_ENTRY_SENSE_SIZE;
constexpr std::size_t HeaderSize = RING_ENTRY_HEADER_SIZE;
}  // namespace entry

template <typename T>
T load(const std::uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void store(std::uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

struct Buffer {
    std::uint64_t offset;
    std::uint64_t length;
};

}  // namespace

std::size_t cdbLengthOf(std::uint8_t opcode) {
    // Groups 0..7 by the top three bits; the kernel passes vendor groups 6
    // and 7 with ten bytes.
    static constexpr std::size_t Lengths[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    return Lengths[opcode >> 5];
}

CommandRing::CommandRing(std::span<std::uint8_t> region) : region_(region) {}

bool CommandRing::readLengthSupported() const {
    return region_.size() >= mailbox::Size &&
           (load<std::uint16_t>(region_.data() + mailbox::Flags) & RING_MAILBOX_CAN_READ_LENGTH) !=
               0;
}

std::size_t CommandRing::answerPending(const Handler& handler,
                                       const std::function<void()>& answered, bool* sound) {
    if (sound != nullptr) {
        *sound = true;
    }
    std::uint8_t* const base = region_.data();
    const std::size_t size = region_.size();
    const auto broken = [&] {
        if (sound != nullptr) {
            *sound = false;
        }
    };
    if (size < mailbox::Size) {
        broken();
        return 0;
    }
    const std::uint32_t ringOffset = load<std::uint32_t>(base + mailbox::RingOffset);
    const std::uint32_t ringSize = load<std::uint32_t>(base + mailbox::RingSize);
    if (ringSize == 0 || ringOffset > size || ringSize > size - ringOffset) {
        broken();
        return 0;
    }
    auto* headWord = reinterpret_cast<std::uint32_t*>(base + mailbox::Head);
    auto* tailWord = reinterpret_cast<std::uint32_t*>(base + mailbox::Tail);
    std::size_t done = 0;
    for (;;) {
        const std::uint32_t head = std::atomic_ref(*headWord).load(std::memory_order_acquire);
        std::uint32_t tail = std::atomic_ref(*tailWord).load(std::memory_order_relaxed);
        if (tail == head) {
            return done;
        }
        if (tail >= ringSize || ringSize - tail < entry::HeaderSize) {
            broken();
            return done;
        }
        std::uint8_t* const e = base + ringOffset + tail;
        const std::uint32_t lengthAndOp = load<std::uint32_t>(e + entry::LengthAndOp);
        const std::uint32_t length = lengthAndOp & ~std::uint32_t{RING_ENTRY_OP_MASK};
        if (length < entry::HeaderSize || length > ringSize - tail) {
            broken();
            return done;
        }
        const std::uint32_t op = lengthAndOp & RING_ENTRY_OP_MASK;
        if (op == RING_OP_CMD) {
            if (length < entry::Sense + entry::SenseSize) {  // no room for the answer
                broken();
                return done;
            }
            const std::uint32_t buffersGiven = load<std::uint32_t>(e + entry::BufferCount);
            if (entry::Buffers + std::uint64_t{buffersGiven} * entry::BufferSize > length) {
                broken();
                return done;
            }
            std::vector<Buffer> buffers;
            RingCommand command;
            for (std::uint32_t i = 0; i < buffersGiven; ++i) {
                const std::uint8_t* b = e + entry::Buffers + i * entry::BufferSize;
                Buffer buffer{load<std::uint64_t>(b), load<std::uint64_t>(b + 8)};
                if (buffer.offset > size || buffer.length > size - buffer.offset) {
                    broken();
                    return done;
                }
                buffers.push_back(buffer);
                command.dataLength += static_cast<std::uint32_t>(buffer.length);
            }
            const std::uint64_t cdbAt = load<std::uint64_t>(e + entry::CdbOffset);
            if (cdbAt >= size) {
                broken();
                return done;
            }
            command.cdbLength = cdbLengthOf(base[cdbAt]);
            const std::size_t cdbBytes = std::min<std::size_t>(command.cdbLength, size - cdbAt);
            std::copy_n(base + cdbAt, cdbBytes, command.cdb.begin());

            const Access access{
                [&](std::uint8_t* to, std::size_t want) {
                    std::size_t moved = 0;
                    for (const Buffer& buffer : buffers) {
                        const std::size_t n = std::min<std::size_t>(buffer.length, want - moved);
                        std::memcpy(to + moved, base + buffer.offset, n);
                        moved += n;
                    }
                    return moved;
                },
                [&](const std::uint8_t* from, std::size_t want) {
                    std::size_t moved = 0;
                    for (const Buffer& buffer : buffers) {
                        const std::size_t n = std::min<std::size_t>(buffer.length, want - moved);
                        std::memcpy(base + buffer.offset, from + moved, n);
                        moved += n;
                    }
                    return moved;
                }};
            const RingReply reply = handler(command, access);
            e[entry::Status] = reply.status;
            std::memset(e + entry::Sense, 0, entry::SenseSize);
            if (reply.status != 0) {
                std::copy(reply.sense.begin(), reply.sense.end(), e + entry::Sense);
            }
            if (reply.dataIn && readLengthSupported()) {
                e[entry::UserFlags] |= RING_FLAG_READ_LENGTH;
                store<std::uint32_t>(e + entry::ReadLength,
                                     std::min(reply.readLength, command.dataLength));
            }
            ++done;
        } else if (op != RING_OP_PAD) {
            e[entry::UserFlags] |= RING_FLAG_UNKNOWN_OP;
        }
        tail = (tail + length) % ringSize;
        std::atomic_ref(*tailWord).store(tail, std::memory_order_release);
        if (op == RING_OP_CMD && answered) {
            answered();
        }
    }
}

}  // namespace zorbel::tcmu
