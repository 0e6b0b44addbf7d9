// SimDrive conformance: each command, state and fault gives the answer a real
// drive gives, sent through the host interface by pass-through and by ASPI
// exactly as the operating system and the ASPI manager receive them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "sim/SimHost.h"
#include "tests/sim/SimTestKit.h"

namespace zorbel::sim {
namespace {

using namespace testkit;
namespace a = layout::aspi;

enum class Route { PassThrough, Aspi };

struct Answer {
    Outcome outcome = Outcome::Ok;
    Sense sense;
};

// Sends one command to the drive "dvd" of a oneDrive(true) computer.
class Bench {
  public:
    Bench(ComputerSpec spec, Route route) : host_(std::move(spec)), route_(route) {
        device_ = host_.openDevice("\\\\.\\E:");
        module_ = host_.loadLibrary("WNASPI32");
        send_ = host_.getProcAddress(module_, "SendASPI32Command");
    }
    ~Bench() {
        host_.closeDevice(device_);
        host_.freeLibrary(module_);
    }

    Answer send(const Cdb& packet, Direction direction, std::uint32_t length,
                std::uint32_t timeoutSeconds = 108000) {
        std::uint8_t* data = length > 0 && direction != Direction::None ? buffer.data() : nullptr;
        if (route_ == Route::PassThrough) {
            const PtAnswer pt =
                passThrough(host_, device_, packet, direction, length, data, timeoutSeconds);
            if (!pt.delivered) {
                return {Outcome::Transport, {}};
            }
            if (pt.sense.key != 0) {
                EXPECT_EQ(pt.scsiStatus, a::STATUS_CHKCOND);
                return {Outcome::Sense, pt.sense};
            }
            return {Outcome::Ok, {}};
        }
        const EventHandle event = host_.createEvent();
        auto request = execRequest(0, 1, 0, packet, direction, length, data != nullptr, event);
        host_.aspiSendCommand(send_, request, data);
        if (request[a::Status] == a::SS_PENDING) {
            host_.waitEvent(event, timeoutSeconds * 1000);
        }
        host_.closeEvent(event);
        const Sense sense = aspiSense(request);
        if (request[a::Status] == a::SS_COMP) {
            return {Outcome::Ok, {}};
        }
        if (sense.key != 0) {
            return {Outcome::Sense, sense};
        }
        return {Outcome::Transport, {}};
    }

    SimHost& host() { return host_; }
    SimDrive& drive() { return host_.drive(0); }
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536, 0);

  private:
    SimHost host_;
    Route route_;
    DeviceHandle device_ = InvalidDevice;
    AspiModule module_ = 0;
    AspiProc send_ = 0;
};

using Bytes = std::vector<std::uint8_t>;

struct Step {
    Cdb packet;
    Direction direction = Direction::None;
    std::uint32_t length = 0;
    Outcome outcome = Outcome::Ok;
    Sense sense{};
    Bytes out{};  // data sent (copied to the buffer first)
    std::function<void(const Bytes& buffer, Bench& bench)> check{};
};

Step ok(Cdb packet) {
    return {packet, Direction::None, 0, Outcome::Ok};
}
Step okIn(Cdb packet, std::uint32_t length,
          std::function<void(const Bytes&, Bench&)> check = nullptr) {
    return {packet, Direction::In, length, Outcome::Ok, {}, {}, std::move(check)};
}
Step okOut(Cdb packet, Bytes out) {
    const auto length = static_cast<std::uint32_t>(out.size());
    return {packet, Direction::Out, length, Outcome::Ok, {}, std::move(out)};
}
Step senseOf(Cdb packet, Sense sense, Direction direction = Direction::None,
             std::uint32_t length = 0, Bytes out = {}) {
    return {packet, direction, length, Outcome::Sense, sense, std::move(out)};
}
Step transportOf(Cdb packet, Direction direction = Direction::None, std::uint32_t length = 0) {
    return {packet, direction, length, Outcome::Transport};
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

Bytes frame(std::initializer_list<std::uint8_t> header, std::size_t total) {
    Bytes bytes(header);
    bytes.resize(total, 0x5A);
    return bytes;
}

struct Case {
    std::string name;
    std::function<void(DriveSpec&)> setup;
    std::vector<Step> steps;
};

std::vector<Case> conformanceCases() {
    const Sense readError{0x03, 0x11, 0x00};
    std::vector<Case> cases = {
        {"ready drive answers TEST UNIT READY", nullptr, {ok(testUnitReady())}},
        {"power-on unit attention is reported once",
         [](DriveSpec& d) { d.powerOnAttention = true; },
         {senseOf(testUnitReady(), sense::PowerOnReset), ok(testUnitReady())}},
        {"becoming ready for two polls",
         [](DriveSpec& d) { d.becomingReadyPolls = 2; },
         {senseOf(testUnitReady(), sense::BecomingReady),
          senseOf(testUnitReady(), sense::BecomingReady), ok(testUnitReady())}},
        {"unit attention comes before becoming ready",
         [](DriveSpec& d) {
             d.powerOnAttention = true;
             d.becomingReadyPolls = 1;
         },
         {senseOf(testUnitReady(), sense::PowerOnReset),
          senseOf(testUnitReady(), sense::BecomingReady), ok(testUnitReady())}},
        {"no medium", [](DriveSpec& d) { d.medium = false; },
         {senseOf(testUnitReady(), sense::NoMedium)}},
        {"tray open", [](DriveSpec& d) { d.trayOpen = true; },
         {senseOf(testUnitReady(), sense::TrayOpen)}},
        {"INQUIRY answers the identity, blanks and zeros kept",
         [](DriveSpec& d) {
             d.identity = Identity::fromText("VEND", "PRODUCT", "1.0", "");
             d.identity.vendorSpecific = {0, 1, 2, 3};
         },
         {okIn(inquiry(96), 96, [](const Bytes& b, Bench&) {
             EXPECT_EQ(b[0], 0x05);
             EXPECT_EQ(b[4], 91);
             EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "VEND    ");
             EXPECT_EQ(std::string(b.begin() + 16, b.begin() + 32), "PRODUCT         ");
             EXPECT_EQ(std::string(b.begin() + 32, b.begin() + 36), "1.0 ");
             EXPECT_EQ(Bytes(b.begin() + 36, b.begin() + 41), (Bytes{0, 1, 2, 3, 0}));
             EXPECT_EQ(b[52], 0);
         })}},
        {"INQUIRY answers no more than the allocation length",
         nullptr,
         {okIn(inquiry(36), 96, [](const Bytes& b, Bench&) {
             EXPECT_EQ(b[35], '0');  // "1.00"
             EXPECT_EQ(b[36], 0xEE) << "byte 36 lies past the allocation length";
         })}},
        {"INQUIRY is answered while a unit attention is pending",
         [](DriveSpec& d) { d.powerOnAttention = true; },
         {okIn(inquiry(), 96), senseOf(testUnitReady(), sense::PowerOnReset)}},
        {"INQUIRY of a vital product data page is refused", nullptr,
         {senseOf(cdb({0x12, 0x01, 0x80, 0, 96}), sense::InvalidFieldInCdb, Direction::In, 96)}},
        {"locked tray refuses eject", [](DriveSpec& d) { d.trayLocked = true; },
         {senseOf(startStop(true, false), sense::RemovalPrevented),
          okIn(eventStatus(), 8, [](const Bytes& b, Bench&) { EXPECT_EQ(b[5], 0x02); })}},
        {"eject, tray open, load, medium changed, becoming ready", nullptr,
         {ok(startStop(true, false)),
          okIn(eventStatus(), 8,
               [](const Bytes& b, Bench&) {
                   EXPECT_EQ(b[5], 0x03) << "tray open, medium present";
                   EXPECT_EQ(b[4], 0x03) << "media removal event";
               }),
          senseOf(testUnitReady(), sense::TrayOpen), ok(startStop(true, true)),
          senseOf(testUnitReady(), sense::MediumChanged),
          senseOf(testUnitReady(), sense::BecomingReady),
          senseOf(testUnitReady(), sense::BecomingReady), ok(testUnitReady())}},
        {"stop the disc", nullptr, {ok(startStop(false, false)), ok(testUnitReady())}},
        {"GET EVENT STATUS media class: 8 bytes, medium present, tray closed", nullptr,
         {okIn(eventStatus(), 8, [](const Bytes& b, Bench&) {
             EXPECT_EQ(Bytes(b.begin(), b.begin() + 8),
                       (Bytes{0x00, 0x06, 0x04, 0x10, 0x00, 0x02, 0x00, 0x00}));
         })}},
        {"GET EVENT STATUS without a disc in an open tray",
         [](DriveSpec& d) {
             d.medium = false;
             d.trayOpen = true;
         },
         {okIn(eventStatus(), 8, [](const Bytes& b, Bench&) { EXPECT_EQ(b[5], 0x01); })}},
        {"GET EVENT STATUS unsupported", [](DriveSpec& d) { d.eventStatusSupported = false; },
         {senseOf(eventStatus(), sense::InvalidOpcode, Direction::In, 8)}},
        {"GET EVENT STATUS asynchronous is refused", nullptr,
         {senseOf(cdb({0x4A, 0, 0, 0, 0x10, 0, 0, 0, 8}), sense::InvalidFieldInCdb,
                  Direction::In, 8)}},
        {"flash identification: 128 bytes, chip first", [](DriveSpec& d) {
             d.chip = {0xBF, 0xD8, 0x00, 0x05};
             d.flashIdTail = {0x42};
         },
         {okIn(flashId(), 128, [](const Bytes& b, Bench&) {
             EXPECT_EQ(Bytes(b.begin(), b.begin() + 6), (Bytes{0xBF, 0xD8, 0x00, 0x05, 0x42, 0}));
             EXPECT_TRUE(std::all_of(b.begin() + 5, b.begin() + 128, [](auto x) { return x == 0; }));
         })}},
        {"flash identification of zeros", [](DriveSpec& d) { d.chip = {}; },
         {okIn(flashId(), 128, [](const Bytes& b, Bench&) {
             EXPECT_TRUE(std::all_of(b.begin(), b.begin() + 128, [](auto x) { return x == 0; }));
         })}},
        {"flash identification unsupported", [](DriveSpec& d) { d.flashIdSupported = false; },
         {senseOf(flashId(), sense::InvalidOpcode, Direction::In, 128)}},
        {"unknown operation code", nullptr,
         {senseOf(cdb({0x28}), sense::InvalidOpcode, Direction::In, 2048)}},
        {"READ BUFFER and WRITE BUFFER in other modes, buffers and codes are refused", nullptr,
         {senseOf(cdb({0x3C, 0x02, 0x01, 0, 0, 0, 0, 0x40, 0}), sense::InvalidFieldInCdb,
                  Direction::In, 16384),
          senseOf(cdb({0x3C, 0x01, 0x00, 0, 0, 0, 0, 0x40, 0}), sense::InvalidFieldInCdb,
                  Direction::In, 16384),
          senseOf(cdb({0x3B, 0x04, 0x01, 0, 0, 0, 0, 0x40, 0}), sense::InvalidFieldInCdb,
                  Direction::Out, 16384, Bytes(16384)),
          senseOf(writeBuffer(0, 16384, 0x55), sense::InvalidFieldInCdb, Direction::Out, 16384,
                  Bytes(16384))}},
        {"a block written is read back unchanged", nullptr,
         {okOut(writeBuffer(0x4000, 16384, 0x00), pattern(16384, 3)),
          okIn(readBuffer(0x4000, 16384), 16384,
               [](const Bytes& b, Bench&) {
                   EXPECT_EQ(Bytes(b.begin(), b.begin() + 16384), pattern(16384, 3));
               }),
          okIn(readBuffer(0x4000 + 100, 16), 16, [](const Bytes& b, Bench&) {
              const Bytes sent = pattern(16384, 3);
              EXPECT_EQ(Bytes(b.begin(), b.begin() + 16),
                        Bytes(sent.begin() + 100, sent.begin() + 116));
          })}},
        {"read-back of nothing staged, across the staged end and shorter than asked", nullptr,
         {okIn(readBuffer(0x2000, 64), 64,
               [](const Bytes& b, Bench&) {
                   EXPECT_TRUE(std::all_of(b.begin(), b.begin() + 64, [](auto x) { return x == 0; }));
                   EXPECT_EQ(b[64], 0xEE);
               }),
          okOut(writeBuffer(0xFC000, 16384, 0x00), pattern(16384, 5)),
          okIn(readBuffer(0xFE000, 16384), 16384,
               [](const Bytes& b, Bench& bench) {
                   const Bytes sent = pattern(16384, 5);
                   Bytes expected(sent.begin() + 0x2000, sent.end());
                   expected.resize(16384, 0);  // past the staged end: zeros
                   EXPECT_EQ(Bytes(b.begin(), b.begin() + 16384), expected);
                   EXPECT_EQ(bench.drive().stagedBytes(0xFE000, 16384), expected);
                   EXPECT_EQ(bench.drive().stagedBytes(0x2000000, 4), Bytes(4, 0));
               }),
          okIn(readBuffer(0xFC000 + 3, 16384), 100, [](const Bytes& b, Bench&) {
              const Bytes sent = pattern(16384, 5);
              EXPECT_EQ(Bytes(b.begin(), b.begin() + 100),
                        Bytes(sent.begin() + 3, sent.begin() + 103));
              EXPECT_EQ(b[100], 0xEE) << "no byte past the host's length";
          })}},
        {"READ BUFFER past 16 MiB is refused", nullptr,
         {senseOf(readBuffer(0xFFC000, 0x8000), sense::InvalidFieldInCdb, Direction::In, 0x8000)}},
        {"a data phase that does not suit the command fails in transport", nullptr,
         {transportOf(inquiry(96), Direction::Out, 96),
          transportOf(writeBuffer(0, 16384, 0x00), Direction::In, 16384),
          transportOf(writeBuffer(0, 0, 0x80), Direction::Out, 16384)}},
        {"legacy profile frame fits its chip", [](DriveSpec& d) { d.chip = {0xDA, 0xC8, 0, 0}; },
         {okOut(writeBuffer(0x080000, 318, 0x00), frame({0xDA, 0xC8, 0, 0}, 318)),
          okIn(flashId(), 128, [](const Bytes&, Bench& bench) {
              const auto profiles = bench.drive().profiles();
              ASSERT_EQ(profiles.size(), 1u);
              EXPECT_TRUE(profiles[0].legacy);
              EXPECT_TRUE(profiles[0].fits) << profiles[0].why;
              EXPECT_EQ(profiles[0].frame.size(), 318u);
          })}},
        {"current profile frame fits; a wrong header is refused", nullptr,
         {okOut(writeBuffer(0, 700, 0x7F), frame({0xBF, 0xD6, 0, 2, 0x02, 0xB6}, 700)),
          senseOf(writeBuffer(0, 700, 0x7F), sense::InvalidFieldInParameters, Direction::Out, 700,
                  frame({0xBF, 0xD6, 0, 1, 0x02, 0xB6}, 700)),
          senseOf(writeBuffer(0, 706, 0x7F), sense::InvalidFieldInParameters, Direction::Out, 706,
                  frame({0xBF, 0xD6, 0, 2, 0x02, 0xB6}, 706)),
          senseOf(writeBuffer(0x080000, 318, 0x00), sense::InvalidFieldInParameters,
                  Direction::Out, 318, frame({0xBF, 0xD6, 0, 2}, 318))}},
        {"profile whose header is not counted in the transfer",
         [](DriveSpec& d) { d.chip = {0xBF, 0xD6, 0, 1}; },
         {okOut(writeBuffer(0, 1280, 0x7F), frame({0xBF, 0xD6, 0, 1, 0x05, 0x00}, 1280)),
          senseOf(writeBuffer(0, 1286, 0x7F), sense::InvalidFieldInParameters, Direction::Out,
                  1286, frame({0xBF, 0xD6, 0, 1, 0x05, 0x00}, 1286))}},
        {"a chip outside the drive's table takes no profile",
         [](DriveSpec& d) { d.chip = {0xBF, 0xD6, 0, 9}; },
         {senseOf(writeBuffer(0, 700, 0x7F), sense::InvalidFieldInParameters, Direction::Out, 700,
                  frame({0xBF, 0xD6, 0, 9, 0x02, 0xB6}, 700))}},
        {"commit: the drive restarts with its new revision",
         [](DriveSpec& d) {
             d.imageSize = 32768;
             d.newRevision = padded<4>("2.00");
             d.restartPolls = 1;
         },
         {okOut(writeBuffer(0, 16384, 0x00), pattern(16384, 1)),
          okOut(writeBuffer(0x4000, 16384, 0x00), pattern(16384, 2)),
          ok(writeBuffer(0, 0, 0x80)), senseOf(testUnitReady(), sense::PowerOnReset),
          senseOf(testUnitReady(), sense::BecomingReady), ok(testUnitReady()),
          okIn(inquiry(), 96, [](const Bytes& b, Bench& bench) {
              EXPECT_EQ(std::string(b.begin() + 32, b.begin() + 36), "2.00");
              EXPECT_FALSE(bench.drive().bricked());
              EXPECT_EQ(bench.drive().currentRevisionText(), "2.00");
          })}},
        {"a bricked drive answers nothing useful",
         [](DriveSpec& d) { d.restartPolls = 0; },
         {ok(writeBuffer(0, 0, 0xA0)), senseOf(testUnitReady(), sense::InternalFailure),
          okIn(inquiry(), 96,
               [](const Bytes& b, Bench& bench) {
                   EXPECT_TRUE(std::all_of(b.begin(), b.begin() + 96, [](auto x) { return x == 0; }));
                   EXPECT_TRUE(bench.drive().bricked());
               }),
          senseOf(flashId(), sense::InternalFailure, Direction::In, 128)}},
        // Faults by rule.
        {"transport failure on the second command",
         [](DriveSpec& d) { d.faults.push_back({.kind = FaultKind::Transport, .nth = 2}); },
         {ok(testUnitReady()), transportOf(testUnitReady()), ok(testUnitReady())}},
        {"drive error with the rule's sense on every WRITE BUFFER of an image block",
         [&](DriveSpec& d) {
             d.faults.push_back({.kind = FaultKind::Sense,
                                 .opcode = 0x3B,
                                 .bufferCode = 0x00,
                                 .sense = readError});
         },
         {okOut(writeBuffer(0, 700, 0x7F),  // other codes pass
                frame({0xBF, 0xD6, 0, 2, 0x02, 0xB6}, 700)),
          senseOf(writeBuffer(0, 16384, 0x00), readError, Direction::Out, 16384, Bytes(16384)),
          senseOf(writeBuffer(0, 16384, 0x00), readError, Direction::Out, 16384, Bytes(16384))}},
        {"a fault limited in number strikes that often",
         [](DriveSpec& d) {
             d.faults.push_back({.kind = FaultKind::Transport, .opcode = 0x00, .nth = 2, .times = 2});
         },
         {ok(testUnitReady()), transportOf(testUnitReady()), transportOf(testUnitReady()),
          ok(testUnitReady())}},
        {"time-out: the call fails and the host's time-out has passed",
         [](DriveSpec& d) { d.faults.push_back({.kind = FaultKind::Timeout, .nth = 1}); },
         {transportOf(testUnitReady()), ok(testUnitReady())}},
        {"read-back corruption alters the answer, not the staging",
         [](DriveSpec& d) {
             d.faults.push_back({.kind = FaultKind::ReadCorruption, .opcode = 0x3C, .nth = 1});
         },
         {okOut(writeBuffer(0, 16384, 0x00), pattern(16384, 9)),
          okIn(readBuffer(0, 16384), 16384,
               [](const Bytes& b, Bench& bench) {
                   EXPECT_NE(Bytes(b.begin(), b.begin() + 16384), pattern(16384, 9));
                   EXPECT_EQ(bench.drive().stagedBytes(0, 16384), pattern(16384, 9));
               }),
          okIn(readBuffer(0, 16384), 16384, [](const Bytes& b, Bench&) {
              EXPECT_EQ(Bytes(b.begin(), b.begin() + 16384), pattern(16384, 9));
          })}},
        {"write corruption stages altered bytes",
         [](DriveSpec& d) {
             d.faults.push_back({.kind = FaultKind::WriteCorruption, .opcode = 0x3B, .nth = 1});
         },
         {okOut(writeBuffer(0, 16384, 0x00), pattern(16384, 4)),
          okIn(readBuffer(0, 16384), 16384, [](const Bytes& b, Bench& bench) {
              EXPECT_NE(Bytes(b.begin(), b.begin() + 16384), pattern(16384, 4));
              EXPECT_EQ(bench.drive().stagedBytes(0, 16384), Bytes(b.begin(), b.begin() + 16384));
          })}},
        {"a vanished drive fails every later command",
         [](DriveSpec& d) { d.faults.push_back({.kind = FaultKind::Vanish, .nth = 2}); },
         {okIn(inquiry(), 96), transportOf(testUnitReady()), transportOf(inquiry(), Direction::In, 96)}},
    };
    return cases;
}

class Conformance : public ::testing::TestWithParam<Route> {};

TEST_P(Conformance, EachCommandStateAndFaultAnswersAsARealDrive) {
    for (const Case& c : conformanceCases()) {
        SCOPED_TRACE(c.name);
        ComputerSpec spec = oneDrive(true);
        if (c.setup) {
            c.setup(spec.drives[0]);
        }
        Bench bench(std::move(spec), GetParam());
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            std::fill(bench.buffer.begin(), bench.buffer.end(), 0xEE);
            std::copy(step.out.begin(), step.out.end(), bench.buffer.begin());
            const Answer answer = bench.send(step.packet, step.direction, step.length);
            EXPECT_EQ(answer.outcome, step.outcome);
            EXPECT_EQ(answer.sense, step.sense)
                << std::hex << int(answer.sense.key) << "/" << int(answer.sense.asc) << "/"
                << int(answer.sense.ascq);
            if (step.check) {
                step.check(bench.buffer, bench);
            }
        }
        EXPECT_EQ(bench.drive().commandCount(), c.steps.size()) << "one command per step";
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, Conformance, ::testing::Values(Route::PassThrough, Route::Aspi),
                         [](const auto& info) {
                             return info.param == Route::PassThrough ? "PassThrough" : "Aspi";
                         });

// ---- brick detection ----

struct Transfer {
    std::vector<Step> steps;
};

Step block(std::uint32_t index, std::uint8_t seed = 0) {
    return okOut(writeBuffer(index * 16384, 16384, 0x00),
                 pattern(16384, static_cast<std::uint8_t>(index + seed)));
}

std::vector<Step> blocks(std::uint32_t count, std::uint8_t seed = 0) {
    std::vector<Step> steps;
    for (std::uint32_t i = 0; i < count; ++i) {
        steps.push_back(block(i, seed));
    }
    return steps;
}

Bytes expectedImage(std::uint32_t count) {
    Bytes image;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Bytes b = pattern(16384, static_cast<std::uint8_t>(i));
        image.insert(image.end(), b.begin(), b.end());
    }
    return image;
}

TEST(BrickDetection, ACommitBricksExactlyWhenTheStagedImageIsIncompleteOrAltered) {
    constexpr std::uint32_t Blocks = 8;
    const Step commit = ok(writeBuffer(0, 0, 0x80));
    const Step profile =
        okOut(writeBuffer(0, 700, 0x7F), frame({0xBF, 0xD6, 0, 2, 0x02, 0xB6}, 700));
    struct BrickCase {
        std::string name;
        std::function<void(DriveSpec&)> setup;
        std::vector<Step> steps;  // the commit is appended
        bool bricks;
        std::string reason;  // part of the reason when it bricks
    };
    auto join = [](std::vector<std::vector<Step>> parts) {
        std::vector<Step> all;
        for (auto& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    };
    const std::vector<BrickCase> cases = {
        {"every block written", nullptr, blocks(Blocks), false, ""},
        {"every block written, in any order",
         nullptr,
         {block(7), block(0), block(3), block(1), block(2), block(6), block(5), block(4)},
         false,
         ""},
        {"profile, then every block", nullptr, join({{profile}, blocks(Blocks)}), false, ""},
        {"last block missing", nullptr, blocks(Blocks - 1), true, "block 7"},
        {"nothing staged", nullptr, {}, true, "block 0"},
        {"blocks written before the profile do not count", nullptr,
         join({blocks(4), {profile}, {block(4), block(5), block(6), block(7)}}), true, "block 0"},
        {"a refused profile keeps what was staged", nullptr,
         join({blocks(Blocks),
               {senseOf(writeBuffer(0, 700, 0x7F), sense::InvalidFieldInParameters, Direction::Out,
                        700, frame({0, 0, 0, 0}, 700))}}),
         false, ""},
        {"a legacy profile frame at 0x080000 is not an image block",
         [](DriveSpec& d) { d.imageSize = 0x080000 + 16384; },
         join({blocks(32),
               {okOut(writeBuffer(0x080000, 318, 0x00), frame({0xBF, 0xD6, 0, 2}, 318))}}),
         true, "block 32"},
        {"block 32 at 0x080000 is an image block", [](DriveSpec& d) { d.imageSize = 33 * 16384; },
         blocks(33), false, ""},
        {"an altered block not written again",
         [](DriveSpec& d) {
             d.faults.push_back({.kind = FaultKind::WriteCorruption, .opcode = 0x3B, .nth = 3});
         },
         blocks(Blocks), true, "block 2"},
        {"an altered block written again cleanly",
         [](DriveSpec& d) {
             d.faults.push_back({.kind = FaultKind::WriteCorruption, .opcode = 0x3B, .nth = 3});
         },
         join({blocks(Blocks), {block(2)}}), false, ""},
        {"read-back corruption leaves the staging intact",
         [](DriveSpec& d) { d.faults.push_back({.kind = FaultKind::ReadCorruption}); },
         join({blocks(Blocks), {okIn(readBuffer(0, 16384), 16384)}}), false, ""},
        {"a block refused by the drive is missing",
         [](DriveSpec& d) {
             d.faults.push_back(
                 {.kind = FaultKind::Sense, .opcode = 0x3B, .nth = 5, .sense = {0x04, 0x08, 0x00}});
         },
         join({blocks(4),
               {senseOf(writeBuffer(4 * 16384, 16384, 0), {0x04, 0x08, 0x00}, Direction::Out, 16384,
                        Bytes(16384))},
               {block(5), block(6), block(7)}}),
         true, "block 4"},
        {"the expected image staged", [](DriveSpec& d) { d.expectedImage = expectedImage(8); },
         blocks(Blocks), false, ""},
        {"another image than the expected one",
         [](DriveSpec& d) { d.expectedImage = expectedImage(8); }, blocks(Blocks, 1), true,
         "expected image at 0x000000"},
        {"the expected image but for its last byte",
         [](DriveSpec& d) {
             d.expectedImage = expectedImage(8);
             d.expectedImage.back() ^= 1;
         },
         blocks(Blocks), true, "expected image at 0x01FFFF (block 7)"},
        {"matching CRC-32", [](DriveSpec& d) { d.expectedCrc32 = crc32(expectedImage(8)); },
         blocks(Blocks), false, ""},
        {"CRC-32 differs", [](DriveSpec& d) { d.expectedCrc32 = crc32(expectedImage(8)) ^ 1; },
         blocks(Blocks), true, "CRC-32"},
        {"a profile required but none accepted", [](DriveSpec& d) { d.requireProfile = true; },
         blocks(Blocks), true, "profile"},
        {"a profile required and accepted", [](DriveSpec& d) { d.requireProfile = true; },
         join({{profile}, blocks(Blocks)}), false, ""},
        {"a second commit without a new transfer", nullptr, join({blocks(Blocks), {commit}}), true,
         "block 0"},
    };
    for (const BrickCase& c : cases) {
        SCOPED_TRACE(c.name);
        ComputerSpec spec = oneDrive();
        spec.drives[0].imageSize = Blocks * 16384;
        spec.drives[0].restartPolls = 0;
        spec.drives[0].powerOnAttention = false;
        if (c.setup) {
            c.setup(spec.drives[0]);
        }
        Bench bench(std::move(spec), Route::PassThrough);
        std::vector<Step> steps = c.steps;
        steps.push_back(commit);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            std::copy(steps[i].out.begin(), steps[i].out.end(), bench.buffer.begin());
            const Answer answer = bench.send(steps[i].packet, steps[i].direction, steps[i].length);
            if (answer.outcome == Outcome::Sense && answer.sense == sense::PowerOnReset) {
                // The restart after a first commit: read the attention and go on.
                std::copy(steps[i].out.begin(), steps[i].out.end(), bench.buffer.begin());
                bench.send(steps[i].packet, steps[i].direction, steps[i].length);
            }
        }
        EXPECT_EQ(bench.drive().bricked(), c.bricks) << bench.drive().brickReason();
        const auto commits = bench.drive().commits();
        ASSERT_FALSE(commits.empty());
        EXPECT_EQ(commits.back().good, !c.bricks);
        if (c.bricks) {
            EXPECT_NE(bench.drive().brickReason().find(c.reason), std::string::npos)
                << bench.drive().brickReason();
        }
    }
}

TEST(BrickDetection, ARunOfTheFullProcedureOnA1MiBImageLeavesAWorkingDrive) {
    ComputerSpec spec = oneDrive();
    spec.drives[0].newRevision = padded<4>("1.10");
    Bench bench(std::move(spec), Route::PassThrough);
    const Bytes image = [] {
        Bytes bytes(1 << 20);
        std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
        return bytes;
    }();
    for (std::uint32_t i = 0; i < 64; ++i) {
        std::copy_n(image.begin() + i * 16384, 16384, bench.buffer.begin());
        ASSERT_EQ(bench.send(writeBuffer(i * 16384, 16384, 0), Direction::Out, 16384).outcome,
                  Outcome::Ok);
        ASSERT_EQ(bench.send(readBuffer(i * 16384, 16384), Direction::In, 16384).outcome,
                  Outcome::Ok);
        ASSERT_TRUE(std::equal(bench.buffer.begin(), bench.buffer.begin() + 16384,
                               image.begin() + i * 16384));
    }
    EXPECT_EQ(bench.send(writeBuffer(0, 0, 0x80), Direction::None, 0).outcome, Outcome::Ok);
    EXPECT_FALSE(bench.drive().bricked()) << bench.drive().brickReason();
    EXPECT_EQ(bench.drive().currentRevisionText(), "1.10");
    EXPECT_TRUE(bench.drive().unitAttentionPending());
    ASSERT_EQ(bench.drive().commits().size(), 1u);
    EXPECT_EQ(bench.drive().commits()[0].code, 0x80);
}

// ---- faults drawn at random ----

TEST(Faults, RandomFaultsFollowTheirSeedAndProbability) {
    auto strikes = [](std::uint64_t seed) {
        ComputerSpec spec = oneDrive();
        spec.drives[0].faults.push_back(
            {.kind = FaultKind::Transport, .probability = 0.25, .seed = seed});
        Bench bench(std::move(spec), Route::PassThrough);
        std::vector<bool> pattern;
        for (int i = 0; i < 400; ++i) {
            pattern.push_back(bench.send(testUnitReady(), Direction::None, 0).outcome ==
                              Outcome::Transport);
        }
        return pattern;
    };
    const auto first = strikes(7);
    EXPECT_EQ(first, strikes(7)) << "the same seed strikes the same commands";
    EXPECT_NE(first, strikes(8));
    const auto count = std::count(first.begin(), first.end(), true);
    EXPECT_GT(count, 60);
    EXPECT_LT(count, 140);
}

TEST(Faults, ATimeOutRunsPastTheHostsTimeOutInVirtualTime) {
    ComputerSpec spec = oneDrive();
    spec.drives[0].faults.push_back({.kind = FaultKind::Timeout, .nth = 1});
    Bench bench(std::move(spec), Route::PassThrough);
    const auto before = bench.host().clock().threadNow();
    EXPECT_EQ(bench.send(testUnitReady(), Direction::None, 0, 30).outcome, Outcome::Transport);
    EXPECT_EQ(bench.host().clock().threadNow() - before, std::chrono::seconds(31));
    const auto commands = bench.drive().commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].outcome, Outcome::Timeout);
}

// A lost reply fails the host's call like a transport failure, but the drive
// has done the work: the block is staged, the commit taken and the drive
// restarting on its new firmware.
TEST(Faults, ALostReplyIsCarriedOutThoughTheHostSeesTheCallFail) {
    ComputerSpec spec = oneDrive();
    spec.drives[0].imageSize = 2 * 16384;
    spec.drives[0].newRevision = padded<4>("1B10");
    spec.drives[0].faults.push_back(
        {.kind = FaultKind::LostReply, .opcode = 0x3B, .bufferCode = 0x00, .nth = 2});
    spec.drives[0].faults.push_back(
        {.kind = FaultKind::LostReply, .opcode = 0x3B, .bufferCode = 0x80, .nth = 1});
    Bench bench(std::move(spec), Route::PassThrough);
    for (std::uint32_t block = 0; block < 2; ++block) {
        std::fill_n(bench.buffer.begin(), 16384, static_cast<std::uint8_t>(0xA0 + block));
        const Answer answer =
            bench.send(writeBuffer(block * 16384, 16384, 0), Direction::Out, 16384);
        EXPECT_EQ(answer.outcome, block == 1 ? Outcome::Transport : Outcome::Ok) << block;
    }
    const auto staged = bench.drive().stagedBytes(16384, 16384);
    EXPECT_TRUE(std::all_of(staged.begin(), staged.end(), [](std::uint8_t b) { return b == 0xA1; }))
        << "the block whose reply was lost is staged";

    EXPECT_EQ(bench.send(writeBuffer(0, 0, 0x80), Direction::None, 0).outcome, Outcome::Transport);
    const auto commits = bench.drive().commits();
    ASSERT_EQ(commits.size(), 1u) << "the commit whose reply was lost was taken";
    EXPECT_TRUE(commits[0].good) << commits[0].why;
    EXPECT_EQ(bench.drive().currentRevisionText(), "1B10");
    EXPECT_TRUE(bench.drive().unitAttentionPending()) << "the drive restarts";
    EXPECT_EQ(bench.send(testUnitReady(), Direction::None, 0).sense, sense::PowerOnReset);
}

TEST(Faults, AVanishedDriveCannotBeOpenedOrFoundAgain) {
    ComputerSpec spec = oneDrive(true);
    spec.drives[0].faults.push_back({.kind = FaultKind::Vanish, .nth = 1});
    Bench bench(std::move(spec), Route::PassThrough);
    EXPECT_EQ(bench.send(testUnitReady(), Direction::None, 0).outcome, Outcome::Transport);
    EXPECT_TRUE(bench.drive().vanished());
    EXPECT_EQ(bench.host().openDevice("\\\\.\\E:"), InvalidDevice);
    std::array<std::uint8_t, a::devtype::Size> devType{};
    devType[a::Cmd] = a::SC_GET_DEV_TYPE;
    devType[a::devtype::Target] = 1;
    const AspiModule module = bench.host().loadLibrary("WNASPI32");
    bench.host().aspiSendCommand(bench.host().getProcAddress(module, "SendASPI32Command"), devType,
                                 nullptr);
    bench.host().freeLibrary(module);
    EXPECT_EQ(devType[a::Status], a::SS_NO_DEVICE);
}

TEST(Latency, ACommandTakesItsFixedTimeAndItsTimePerByte) {
    ComputerSpec spec = oneDrive();
    spec.drives[0].latency = {std::chrono::milliseconds(2), std::chrono::nanoseconds(100),
                              std::chrono::seconds(5)};
    Bench bench(std::move(spec), Route::PassThrough);
    auto& clock = bench.host().clock();
    auto t0 = clock.threadNow();
    bench.send(inquiry(), Direction::In, 96);
    EXPECT_EQ(clock.threadNow() - t0,
              std::chrono::milliseconds(2) + std::chrono::nanoseconds(9600));
    t0 = clock.threadNow();
    bench.send(writeBuffer(0, 0, 0x80), Direction::None, 0);
    EXPECT_EQ(clock.threadNow() - t0, std::chrono::milliseconds(5002));
    EXPECT_EQ(bench.drive().commands().back().duration, std::chrono::milliseconds(5002));
}

}  // namespace
}  // namespace zorbel::sim
