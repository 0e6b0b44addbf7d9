// Several run objects use the Linux host at once, each on its own drive and
// thread, as the workers of one update do: every command reaches its own
// device and every committed drive is rescanned when it is closed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device/RequestLayout.h"
#include "device/host_linux.h"

namespace zorbel::linuxhost {
namespace {

namespace fs = std::filesystem;
namespace pt = passthrough;

TEST(LinuxHostThreads, RunObjectsOnSeveralDrivesAtOnce) {
    std::string pattern = (fs::temp_directory_path() / "zorbel-linux-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern;
    constexpr int Drives = 4;
    constexpr int Commands = 200;
    for (int i = 0; i < Drives; ++i) {
        const std::string sr = "sr" + std::to_string(i);
        fs::create_directories(root / "sys" / "block" / sr / "device");
        std::ofstream(root / "sys" / "block" / sr / "device" / "type") << "5\n";
        std::ofstream(root / "sys" / "block" / sr / "device" / "rescan");
        fs::create_directories(root / "dev");
        std::ofstream(root / "dev" / sr);
    }
    std::atomic<int> sent{0};
    LinuxHost host(root / "sys", root / "dev", [&](int, sg_io_hdr&) {
        sent.fetch_add(1, std::memory_order_relaxed);
        return 0;
    });

    std::vector<std::thread> workers;
    std::atomic<int> good{0};
    for (int i = 0; i < Drives; ++i) {
        workers.emplace_back([&, i] {
            const DeviceHandle h =
                host.openDevice((root / "dev" / ("sr" + std::to_string(i))).string());
            std::array<std::uint8_t, PassThroughBlockSize> block{};
            for (int c = 0; c < Commands; ++c) {
                block.fill(0);
                block[pt::CdbLength] = 12;
                block[pt::SenseInfoLength] = pt::SenseBytes;
                block[pt::DataIn] = 2;
                putLe32(block, pt::SenseInfoOffset, pt::SenseArea);
                block[pt::Cdb] = 0x3B;
                block[pt::Cdb + 1] = 0x05;
                block[pt::Cdb + 9] = c + 1 == Commands ? 0x80 : 0x00;  // the last one commits
                good += host.passThroughDirect(h, block, nullptr) ? 1 : 0;
            }
            host.closeDevice(h);
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(sent.load(), Drives * Commands);
    EXPECT_EQ(good.load(), Drives * Commands);
    for (int i = 0; i < Drives; ++i) {
        std::ifstream rescan(root / "sys" / "block" / ("sr" + std::to_string(i)) / "device" /
                             "rescan");
        std::string text;
        rescan >> text;
        EXPECT_EQ(text, "1") << "sr" << i;
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace zorbel::linuxhost

// The real signal watch: a termination signal reaches the deliver function on
// the host's thread instead of ending the process, and a write into a pipe
// nobody reads fails with EPIPE instead of ending it.
namespace zorbel::linuxhost {
namespace {

std::atomic<int> deliveredSignal{0};

TEST(LinuxHostSignals, TerminationSignalsAreDeliveredAndBrokenPipesIgnored) {
    LinuxHost host("/nonexistent-sys", "/nonexistent-dev");
    ASSERT_TRUE(host.watchStopSignals([](int signal) { deliveredSignal.store(signal); }));
    EXPECT_FALSE(host.watchStopSignals([](int) {})) << "once per process";

    // No handler a thread could run: a thread started now (a worker) has the
    // signals blocked, and they are left to the watcher.
    sigset_t workerMask;
    std::thread([&workerMask] { ::pthread_sigmask(SIG_BLOCK, nullptr, &workerMask); }).join();
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        struct sigaction action {};
        ::sigaction(signal, nullptr, &action);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << signal;
        EXPECT_EQ(sigismember(&workerMask, signal), 1) << signal;
    }

    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        deliveredSignal.store(0);
        ASSERT_EQ(::kill(::getpid(), signal), 0);
        for (int i = 0; i < 2000 && deliveredSignal.load() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(deliveredSignal.load(), signal);
    }
    EXPECT_FALSE(host.waitForConsoleInput()) << "a prompt gives up once a signal came";

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    errno = 0;
    EXPECT_EQ(::write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(fds[1]);
}

}  // namespace
}  // namespace zorbel::linuxhost
