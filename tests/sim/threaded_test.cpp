// Several threads at once: worker threads send commands to different drives
// while another thread sleeps and reads what the drives saw. Each thread's
// waits are its own, so drives served side by side finish in about the
// virtual time of one.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "sim/SimHost.h"
#include "tests/sim/SimTestKit.h"

namespace zorbel::sim {
namespace {

using namespace testkit;
using namespace std::chrono_literals;

TEST(ThreadedSim, WorkersOnDifferentDrivesRunSideBySideInVirtualTime) {
    constexpr int Drives = 8;
    constexpr int Blocks = 16;
    ComputerSpec spec;
    for (int i = 0; i < Drives; ++i) {
        DriveSpec& drive = spec.addDrive("d" + std::to_string(i));
        drive.powerOnAttention = false;
        drive.imageSize = Blocks * 16384;
        drive.latency.perCommand = 5ms;
        drive.restartPolls = 0;
        spec.addLetter(static_cast<char>('D' + i), drive.id);
    }
    SimHost host(spec);
    ScopedHost scope(host);
    const auto start = host.clock().threadNow();

    std::atomic<bool> stop{false};
    std::thread observer([&] {
        while (!stop.load()) {
            host.sleepMs(100);
            for (int i = 0; i < Drives; ++i) {
                (void)host.drive(i).commands();
                (void)host.drive(i).bricked();
            }
            (void)host.counters();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    std::vector<std::chrono::nanoseconds> spent(Drives);
    for (int i = 0; i < Drives; ++i) {
        workers.emplace_back([&, i] {
            Host& h = currentHost();
            const auto t0 = host.clock().threadNow();
            const DeviceHandle device = h.openDevice(
                h.deviceNameForRoot(std::string(1, static_cast<char>('D' + i)) + ":\\"));
            std::vector<std::uint8_t> buffer(16384, static_cast<std::uint8_t>(i));
            for (int b = 0; b < Blocks; ++b) {
                EXPECT_TRUE(passThrough(h, device, writeBuffer(b * 16384, 16384, 0), Direction::Out,
                                        16384, buffer.data())
                                .delivered);
                EXPECT_TRUE(passThrough(h, device, readBuffer(b * 16384, 16384), Direction::In,
                                        16384, buffer.data())
                                .delivered);
            }
            passThrough(h, device, writeBuffer(0, 0, 0x80), Direction::None, 0, nullptr);
            h.sleepMs(300);
            h.closeDevice(device);
            spent[i] = host.clock().threadNow() - t0;
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    stop = true;
    observer.join();

    const auto one = 5ms * (2 * Blocks + 1) + 300ms;
    for (int i = 0; i < Drives; ++i) {
        EXPECT_EQ(spent[i], one) << "worker " << i << " saw only its own waits";
        EXPECT_FALSE(host.drive(i).bricked()) << host.drive(i).brickReason();
        EXPECT_EQ(host.drive(i).commandCount(), 2u * Blocks + 1);
    }
    EXPECT_EQ(host.counters().openHandles, 0u);
    // Eight drives in parallel took the time of one, not eight (the observer
    // thread sleeps on its own clock).
    host.clock().catchUp();
    EXPECT_GE(host.clock().threadNow() - start, one);
}

TEST(ThreadedSim, ANewThreadStartsAtTheTimeOfTheClocksOwner) {
    VirtualClock clock;
    clock.sleep(10s);
    std::chrono::nanoseconds seen{};
    std::thread([&] { seen = clock.threadNow(); }).join();
    EXPECT_EQ(seen, clock.threadNow());
    std::thread([&] { clock.sleep(1h); }).join();
    EXPECT_EQ(clock.threadNow(), seen) << "another thread's sleep is not this thread's";
    EXPECT_EQ(clock.now(), seen + 1h);
    clock.catchUp();
    EXPECT_EQ(clock.threadNow(), seen + 1h);
}

TEST(ThreadedSim, TwoThreadsOnOneDriveAreSerialised) {
    ComputerSpec spec;
    spec.addDrive("d").powerOnAttention = false;
    spec.drives[0].imageSize = 64 * 16384;
    spec.addLetter('E', "d");
    SimHost host(spec);
    auto writer = [&](int first) {
        const DeviceHandle device = host.openDevice("\\\\.\\E:");
        std::vector<std::uint8_t> buffer(16384, static_cast<std::uint8_t>(first));
        for (int b = first; b < 64; b += 2) {
            passThrough(host, device, writeBuffer(b * 16384, 16384, 0), Direction::Out, 16384,
                        buffer.data());
        }
        host.closeDevice(device);
    };
    std::thread a(writer, 0);
    std::thread b(writer, 1);
    a.join();
    b.join();
    EXPECT_EQ(host.drive(0).commandCount(), 64u);
    const DeviceHandle device = host.openDevice("\\\\.\\E:");
    EXPECT_TRUE(
        passThrough(host, device, writeBuffer(0, 0, 0x80), Direction::None, 0, nullptr).delivered);
    EXPECT_FALSE(host.drive(0).bricked()) << host.drive(0).brickReason();
}

TEST(ThreadedSim, AspiRequestsWithEventsFromSeveralThreads) {
    for (const AspiCompletion completion : {AspiCompletion::Immediate, AspiCompletion::OnWait}) {
        ComputerSpec spec;
        spec.aspi.libraryPresent = true;
        spec.aspi.completion = completion;
        AdapterSpec& adapter = spec.addAdapter();
        constexpr int Threads = 4;
        for (int i = 0; i < Threads; ++i) {
            spec.addDrive("d" + std::to_string(i)).powerOnAttention = false;
            adapter.devices.push_back(
                {static_cast<std::uint8_t>(i), 0, 5, "d" + std::to_string(i)});
        }
        SimHost host(spec);
        std::vector<std::thread> threads;
        for (int i = 0; i < Threads; ++i) {
            threads.emplace_back([&, i] {
                const AspiModule module = host.loadLibrary("WNASPI32");
                const AspiProc send = host.getProcAddress(module, "SendASPI32Command");
                std::array<std::uint8_t, 96> data{};
                for (int n = 0; n < 200; ++n) {
                    const EventHandle event = host.createEvent();
                    auto r = execRequest(0, static_cast<std::uint8_t>(i), 0, inquiry(),
                                         Direction::In, 96, true, event);
                    host.aspiSendCommand(send, r, data.data());
                    if (r[layout::aspi::Status] == layout::aspi::SS_PENDING) {
                        EXPECT_TRUE(host.waitEvent(event, 1000));
                    }
                    host.closeEvent(event);
                    EXPECT_EQ(r[layout::aspi::Status], layout::aspi::SS_COMP);
                    EXPECT_EQ(data[0], 0x05);
                }
                host.freeLibrary(module);
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const OsCounters counters = host.counters();
        EXPECT_EQ(counters.eventsCreated, counters.eventsClosed);
        EXPECT_EQ(counters.libraryLoads, counters.libraryFrees);
        for (int i = 0; i < Threads; ++i) {
            EXPECT_EQ(host.drive(i).commandCount(), 200u);
        }
    }
}

}  // namespace
}  // namespace zorbel::sim
