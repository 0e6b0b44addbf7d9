// The programming worker thread on simulated drives: FlashResult of each run,
// one end event per thread on the window's thread, drives in parallel, and
// every way a run can fail reading as failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/Parser.h"
#include "engine/ProgramFlash.h"
#include "sim/ForwardingHost.h"
#include "tests/engine/SimRig.h"

namespace zorbel {
namespace {

using namespace std::chrono_literals;
using enginetest::makeImage;
using enginetest::OneMiB;
using enginetest::programmableDrive;
using enginetest::SimRig;

sim::FaultRule rejectEveryImageWrite() {
    return enginetest::faultRule(sim::FaultKind::Sense, 0x3B, 0x00, 0, 0,
                                 sim::sense::InvalidFieldInCdb);
}

// The window's side of an update: starts one Parser per run object and
// counts the end events it runs on this (the window's) thread.
struct Window {
    EndEventQueue queue;
    std::vector<int> endEvents;
    std::vector<std::uint8_t> resultAtEnd;
    std::thread::id windowThread = std::this_thread::get_id();
    bool allOnWindowThread = true;

    void start(AtapiDevice& drive, const std::vector<std::uint8_t>& image, bool bootCode = false) {
        const std::size_t index = endEvents.size();
        endEvents.push_back(0);
        resultAtEnd.push_back(0xFF);
        ParserParams params{&drive, image.data(), static_cast<std::int32_t>(image.size()),
                            static_cast<std::uint8_t>(bootCode ? 1 : 0), this};
        auto* worker = new Parser(params, &queue);
        EXPECT_TRUE(worker->FreeOnTerminate);
        worker->OnTerminate = [this, index, &drive](WorkerThread&) {
            ++endEvents[index];
            resultAtEnd[index] = drive.FlashResult();
            allOnWindowThread = allOnWindowThread && std::this_thread::get_id() == windowThread;
        };
        worker->Resume();
    }

    // Runs end events until `count` have run (or 60 s passed), then any stray ones.
    void waitForEnds(int count) {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        int ran = 0;
        while (ran < count && std::chrono::steady_clock::now() < deadline) {
            ran += queue.waitAndRunOne(10ms) ? 1 : 0;
        }
        std::this_thread::sleep_for(10ms);
        queue.runPending();
    }
};

TEST(Parser, SuccessfulRunLeavesFlashResultZeroAndEndsOnce) {
    const auto image = makeImage(OneMiB);
    SimRig rig({programmableDrive(image)});
    rig.run().SetFlashResult(7);  // a stale value the run must reset
    Window window;
    window.start(rig.run(), image, true);
    window.waitForEnds(1);
    EXPECT_EQ(window.endEvents[0], 1);
    EXPECT_EQ(window.resultAtEnd[0], 0);
    EXPECT_TRUE(window.allOnWindowThread);
    EXPECT_EQ(rig.drive().commits().at(0).code, 0xA0);
    EXPECT_TRUE(rig.drive().commits().at(0).good);
}

TEST(Parser, FailureInTheFlashPhaseBecomesFortyTwo) {
    const auto image = makeImage(OneMiB);
    auto drive = programmableDrive(image);
    drive.faults.push_back(rejectEveryImageWrite());
    SimRig rig({drive});
    Window window;
    window.start(rig.run(), image);
    window.waitForEnds(1);
    EXPECT_EQ(window.endEvents[0], 1);
    EXPECT_EQ(window.resultAtEnd[0], FlashFailure);
    EXPECT_TRUE(rig.run().FlashPhase());
    EXPECT_TRUE(rig.drive().commits().empty());
}

TEST(Parser, RefusedImageFailsOutsideTheFlashPhase) {
    const auto image = makeImage(OneMiB);
    SimRig rig({programmableDrive(image)});
    const std::vector<std::uint8_t> ragged(image.begin(), image.begin() + 20000);
    Window window;
    window.start(rig.run(), ragged);
    window.waitForEnds(1);
    EXPECT_EQ(window.resultAtEnd[0], FlashFailure);
    EXPECT_FALSE(rig.run().FlashPhase());
    EXPECT_EQ(rig.commandCount(), 0u);
}

// A host whose drive call throws: an exception of a kind the run does not
// know must still count as a failed run, never as success.
class ThrowingHost final : public sim::ForwardingHost {
  public:
    explicit ThrowingHost(Host& inner) : ForwardingHost(inner) {}
    std::atomic<int> passThroughCallsBeforeThrow{5};

    bool passThroughDirect(DeviceHandle device, std::span<std::uint8_t, PassThroughBlockSize> block,
                           void* data) override {
        if (passThroughCallsBeforeThrow-- == 0) {
            throw std::runtime_error("driver failure");
        }
        return ForwardingHost::passThroughDirect(device, block, data);
    }
};

TEST(Parser, ForeignExceptionFromTheRunCountsAsFailure) {
    const auto image = makeImage(OneMiB);
    SimRig rig({programmableDrive(image)});
    ThrowingHost throwing(rig.host());
    // Put in front of the simulated computer for this test only.
    struct Swap {
        Host& restore;
        ~Swap() { setCurrentHost(&restore); }
    } swap{rig.host()};
    setCurrentHost(&throwing);
    Window window;
    window.start(rig.run(), image);
    window.waitForEnds(1);
    EXPECT_EQ(window.endEvents[0], 1);
    EXPECT_EQ(window.resultAtEnd[0], FlashFailure);
    EXPECT_TRUE(rig.drive().commits().empty());
}

TEST(Parser, TwoDrivesInParallelEachWithItsOwnOutcomeAndOneEndEvent) {
    const auto image = makeImage(OneMiB);
    auto failing = programmableDrive(image, {0xDA, 0xB5, 0x00, 0x01});
    failing.faults.push_back(rejectEveryImageWrite());
    SimRig rig({programmableDrive(image), failing});
    Window window;
    window.start(rig.run(0), image);
    window.start(rig.run(1), image);
    window.waitForEnds(2);
    EXPECT_EQ(window.endEvents, (std::vector<int>{1, 1}));
    EXPECT_EQ(rig.run(0).FlashResult(), 0);
    EXPECT_EQ(rig.run(1).FlashResult(), FlashFailure);
    EXPECT_TRUE(window.allOnWindowThread);
    EXPECT_TRUE(rig.drive(0).commits().at(0).good);
    EXPECT_TRUE(rig.drive(1).commits().empty());
    EXPECT_EQ(rig.drive(1).profiles().at(0).frame.size(), 1286u) << "each drive its own profile";
}

TEST(Parser, SixteenDrivesInParallel) {
    const auto image = makeImage(OneMiB);
    std::vector<sim::DriveSpec> drives;
    for (int i = 0; i < 16; ++i) {
        auto drive = programmableDrive(image);
        if (i % 3 == 1) {
            drive.faults.push_back(rejectEveryImageWrite());
        }
        drives.push_back(drive);
    }
    SimRig rig(drives, sim::ClockMode::Virtual, /*record=*/false);
    Window window;
    for (std::size_t i = 0; i < 16; ++i) {
        window.start(rig.run(i), image);
    }
    window.waitForEnds(16);
    for (std::size_t i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(window.endEvents[i], 1);
        EXPECT_EQ(rig.run(i).FlashResult(), i % 3 == 1 ? FlashFailure : 0);
        EXPECT_FALSE(rig.drive(i).bricked());
    }
}

}  // namespace
}  // namespace zorbel
