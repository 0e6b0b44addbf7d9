// The command ring and the served drive on a ring laid out as the kernel lays
// it out: entries with their packets and buffer lists, data split over
// several buffers, a pad entry at the end of the ring, answers written back in
// place, and a command the drive leaves unanswered held past the kernel's
// time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "sim/VirtualClock.h"
#include "tools/zorbel-tcmu/CommandRing.h"
#include "tools/zorbel-tcmu/RingLayout.h"
#include "tools/zorbel-tcmu/ServedDrive.h"

namespace zorbel::tcmu {
namespace {

constexpr std::uint32_t RingAt = 4096;
constexpr std::uint32_t RingSize = 576;  // the sixth command does not fit before the end
constexpr std::uint32_t DataAt = 8192;

template <typename T>
void put(std::vector<std::uint8_t>& region, std::size_t at, T value) {
    std::memcpy(region.data() + at, &value, sizeof value);
}
template <typename T>
T get(const std::vector<std::uint8_t>& region, std::size_t at) {
    T value;
    std::memcpy(&value, region.data() + at, sizeof value);
    return value;
}

// A region with a mailbox, a ring and a data area; the kernel's side.
class KernelSide {
  public:
    explicit KernelSide(bool readLength = true) : region(DataAt + 256 * 1024, 0) {
        put<std::uint16_t>(region, RING_MAILBOX_FLAGS,
                           readLength ? RING_MAILBOX_CAN_READ_LENGTH : 0);
        put<std::uint32_t>(region, RING_MAILBOX_RING_OFFSET, RingAt);
        put<std::uint32_t>(region, RING_MAILBOX_RING_SIZE, RingSize);
    }

    // Appends a command whose data lies in buffers of the given lengths;
    // returns where its entry starts.
    std::uint32_t command(std::vector<std::uint8_t> cdb, std::vector<std::uint32_t> buffers) {
        // Room for the request or the answer, whichever is longer.
        const std::uint32_t size = std::max<std::uint32_t>(
            RING_ENTRY_BUFFERS + RING_ENTRY_BUFFER_SIZE * buffers.size() + 16,
            RING_ENTRY_SENSE + RING_ENTRY_SENSE_SIZE);
        const std::uint32_t entrySize = (size + 63) / 64 * 64;
        if (head_ + entrySize > RingSize) {  // the rest of the ring is padding
            put<std::uint32_t>(region, RingAt + head_, (RingSize - head_) | RING_OP_PAD);
            head_ = 0;
        }
        const std::uint32_t at = RingAt + head_;
        std::memset(region.data() + at, 0, entrySize);
        buffers_[at].clear();
        put<std::uint32_t>(region, at, entrySize | RING_OP_CMD);
        put<std::uint32_t>(region, at + RING_ENTRY_BUFFER_COUNT, buffers.size());
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            const std::size_t b = at + RING_ENTRY_BUFFERS + i * RING_ENTRY_BUFFER_SIZE;
            put<std::uint64_t>(region, b, dataNext_);
            put<std::uint64_t>(region, b + 8, buffers[i]);
            buffers_[at].emplace_back(dataNext_, buffers[i]);
            dataNext_ += buffers[i] + 512;  // buffers apart, never in order of the data
        }
        const std::uint32_t cdbAt = at + size - 16;
        std::copy(cdb.begin(), cdb.end(), region.begin() + cdbAt);
        put<std::uint64_t>(region, at + RING_ENTRY_CDB_OFFSET, cdbAt);
        head_ = (head_ + entrySize) % RingSize;
        put<std::uint32_t>(region, RING_MAILBOX_HEAD, head_);
        return at;
    }

    // The command's data, gathered from its buffers (the answer overwrites
    // the entry's buffer list: the kernel keeps its own).
    std::vector<std::uint8_t> data(std::uint32_t entry) const {
        std::vector<std::uint8_t> bytes;
        for (const auto& [offset, length] : buffers_.at(entry)) {
            bytes.insert(bytes.end(), region.begin() + offset, region.begin() + offset + length);
        }
        return bytes;
    }
    void fill(std::uint32_t entry, const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        for (const auto& [offset, length] : buffers_.at(entry)) {
            std::copy_n(bytes.begin() + done, length, region.begin() + offset);
            done += length;
        }
    }
    std::uint8_t status(std::uint32_t entry) const { return region[entry + RING_ENTRY_STATUS]; }
    std::string sense(std::uint32_t entry) const {
        char text[16];
        std::snprintf(text, sizeof text, "%02X/%02X/%02X",
                      region[entry + RING_ENTRY_SENSE + 2] & 15,
                      region[entry + RING_ENTRY_SENSE + 12], region[entry + RING_ENTRY_SENSE + 13]);
        return text;
    }
    bool readLengthGiven(std::uint32_t entry) const {
        return (region[entry + RING_ENTRY_USER_FLAGS] & RING_FLAG_READ_LENGTH) != 0;
    }
    std::uint32_t readLength(std::uint32_t entry) const {
        return get<std::uint32_t>(region, entry + RING_ENTRY_READ_LENGTH);
    }
    std::uint32_t tail() const { return get<std::uint32_t>(region, RING_MAILBOX_TAIL); }
    std::uint32_t head() const { return head_; }

    std::vector<std::uint8_t> region;

  private:
    std::uint32_t head_ = 0;
    std::uint64_t dataNext_ = DataAt;
    std::map<std::uint32_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> buffers_;
};

std::vector<std::uint8_t> writeBuffer(std::uint32_t offset, std::uint32_t length,
                                      std::uint8_t code) {
    return {0x3B,
            0x05,
            0x01,
            std::uint8_t(offset >> 16),
            std::uint8_t(offset >> 8),
            std::uint8_t(offset),
            std::uint8_t(length >> 16),
            std::uint8_t(length >> 8),
            std::uint8_t(length),
            code,
            0,
            0};
}
std::vector<std::uint8_t> readBuffer(std::uint32_t offset, std::uint32_t length) {
    auto cdb = writeBuffer(offset, length, 0);
    cdb[0] = 0x3C;
    cdb[1] = 0x01;
    return cdb;
}

struct Served {
    explicit Served(sim::DriveSpec spec,
                    std::chrono::milliseconds kernelTimeout = std::chrono::seconds(2))
        : trace(text) {
        ServedDrive::Timing timing;
        timing.kernelTimeout = kernelTimeout;
        timing.sleep = [this](std::chrono::nanoseconds d) { slept.push_back(d); };
        timing.now = [] { return 12.5; };
        drive = std::make_unique<ServedDrive>(std::move(spec), clock, &trace, std::move(timing));
    }
    std::size_t answer(CommandRing& ring, std::size_t* notified = nullptr) {
        return ring.answerPending(
            [&](const RingCommand& c, const CommandRing::Access& a) { return drive->answer(c, a); },
            [&] {
                if (notified != nullptr) {
                    ++*notified;
                }
            });
    }
    std::ostringstream text;
    sim::CommandTrace trace;
    sim::VirtualClock clock{sim::ClockMode::Virtual};
    std::vector<std::chrono::nanoseconds> slept;
    std::unique_ptr<ServedDrive> drive;
};

sim::DriveSpec twoBlockDrive() {
    sim::DriveSpec spec;
    spec.id = "writer";
    spec.identity = sim::Identity::fromText("ZORBEL", "TCMU RING", "1A05");
    spec.newRevision = sim::padded<4>("1B10");
    spec.imageSize = 2 * 16384;
    spec.powerOnAttention = false;
    return spec;
}

TEST(CommandRing, CommandsTravelThroughTheRingAsTheKernelLaysThemOut) {
    KernelSide kernel;
    Served served(twoBlockDrive());
    CommandRing ring(kernel.region);

    // INQUIRY into two buffers, an unknown ten-byte command, two image blocks
    // each split over three buffers.
    const auto inquiry = kernel.command({0x12, 0, 0, 0, 96, 0}, {40, 56});
    const auto toc = kernel.command({0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, {12});
    std::vector<std::uint32_t> blocks;
    for (std::uint32_t b = 0; b < 2; ++b) {
        blocks.push_back(kernel.command(writeBuffer(b * 16384, 16384, 0), {1000, 15000, 384}));
        std::vector<std::uint8_t> bytes(16384);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 7 + b);
        }
        kernel.fill(blocks.back(), bytes);
    }
    std::size_t notified = 0;
    EXPECT_EQ(served.answer(ring, &notified), 4u);
    EXPECT_EQ(notified, 4u) << "the kernel is told after each answer";
    EXPECT_EQ(kernel.tail(), kernel.head());

    EXPECT_EQ(kernel.status(inquiry), 0);
    const auto answer = kernel.data(inquiry);
    EXPECT_EQ(answer[0], 0x05);
    EXPECT_EQ(std::string(answer.begin() + 8, answer.begin() + 36), "ZORBEL  TCMU RING       1A05");
    EXPECT_TRUE(kernel.readLengthGiven(inquiry));
    EXPECT_EQ(kernel.readLength(inquiry), 96u);
    EXPECT_EQ(kernel.status(toc), 2);
    EXPECT_EQ(kernel.sense(toc), "05/20/00");
    EXPECT_EQ(kernel.readLength(toc), 0u);
    EXPECT_EQ(served.drive->drive().stagedBytes(16384, 16384), kernel.data(blocks[1]));

    // Past the end of the ring: a pad entry, then a read back and the commit.
    const auto back = kernel.command(readBuffer(16384, 16384), {16384});
    const auto commit = kernel.command(writeBuffer(0, 0, 0x80), {});
    ASSERT_EQ(back, RingAt) << "the ring wrapped after a pad entry";
    EXPECT_EQ(served.answer(ring), 2u);
    EXPECT_EQ(kernel.data(back), kernel.data(blocks[1]));
    EXPECT_EQ(kernel.status(commit), 0);
    EXPECT_EQ(served.drive->drive().currentRevisionText(), "1B10");
    EXPECT_TRUE(served.slept.empty());

    const std::string trace = served.text.str();
    EXPECT_NE(
        trace.find("12.500000 writer: 12 00 00 00 60 00 00 00 00 00 00 00 in 96 -> ok 0.000s\n"),
        std::string::npos)
        << trace;
    EXPECT_NE(trace.find("12.500000 writer: 3B 05 01 00 40 00 00 40 00 00 00 00 out 16384 -> ok"),
              std::string::npos);
    EXPECT_NE(trace.find("12.500000 writer: commit 0x80 good, revision now \"1B10\"\n"),
              std::string::npos);
    EXPECT_NE(served.drive->summary().find("writer: commit 1 0x80 good\n"), std::string::npos);
}

TEST(CommandRing, AnUnansweredCommandIsHeldPastTheKernelsTimeOutAndStillCarriedOut) {
    KernelSide kernel(false);
    sim::DriveSpec spec = twoBlockDrive();
    spec.faults.push_back(
        {.kind = sim::FaultKind::LostReply, .opcode = 0x3B, .bufferCode = 0x00, .nth = 1});
    spec.faults.push_back({.kind = sim::FaultKind::Transport, .opcode = 0x00, .nth = 1});
    Served served(std::move(spec), std::chrono::seconds(2));
    CommandRing ring(kernel.region);
    const auto block = kernel.command(writeBuffer(0, 16384, 0), {16384});
    kernel.fill(block, std::vector<std::uint8_t>(16384, 0x5A));
    const auto ready = kernel.command({0x00, 0, 0, 0, 0, 0}, {});
    const auto inquiry = kernel.command({0x12, 0, 0, 0, 36, 0}, {36});
    EXPECT_EQ(served.answer(ring), 3u);
    ASSERT_EQ(served.slept.size(), 2u);
    EXPECT_EQ(served.slept[0], std::chrono::seconds(3)) << "past the kernel's 2 s";
    EXPECT_NE(kernel.status(block), 0);
    EXPECT_NE(kernel.status(ready), 0);
    EXPECT_EQ(served.drive->drive().stagedBytes(0, 16384), std::vector<std::uint8_t>(16384, 0x5A))
        << "the block whose answer came late is staged";
    EXPECT_FALSE(kernel.readLengthGiven(inquiry)) << "this kernel takes no delivered length";
    EXPECT_NE(served.text.str().find("out 16384 -> transport 0.000s held 3.000s\n"),
              std::string::npos)
        << served.text.str();
    EXPECT_NE(served.drive->summary().find(
                  "writer: commands 3, 2 answered only after the kernel's time-out"),
              std::string::npos);
}

TEST(CommandRing, AnEntryThatLeavesTheRegionStopsTheRing) {
    KernelSide kernel;
    Served served(twoBlockDrive());
    CommandRing ring(kernel.region);
    const auto entry = kernel.command(readBuffer(0, 16384), {16384});
    put<std::uint64_t>(kernel.region, entry + RING_ENTRY_BUFFERS, kernel.region.size() - 100);
    bool sound = true;
    EXPECT_EQ(
        ring.answerPending([&](const RingCommand& c,
                               const CommandRing::Access& a) { return served.drive->answer(c, a); },
                           {}, &sound),
        0u);
    EXPECT_FALSE(sound);
    EXPECT_EQ(served.drive->drive().commandCount(), 0u);
}

}  // namespace
}  // namespace zorbel::tcmu
