// The whole program on a simulated computer, run once and judged: a package,
// a computer and the user's answers in; the window built with the scripted
// toolkit, the update run to its end (Update pressed when the window waits for
// it), the window destroyed; then every promise the program makes about an
// update is checked against what the drives and the operating system saw.
//
// Used by the soak test (random scenarios) and by the drive-answer fuzz target
// (a computer whose drives answer with arbitrary bytes).
#pragma once

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/ZorbelMain.h"
#include "device/Host.h"
#include "device/MessagePump.h"
#include "engine/StandInProfiles.h"
#include "package/PackageBlock.h"
#include "sim/SimHost.h"
#include "tests/app/ScriptedToolkit.h"

namespace zorbel::proof {

inline constexpr std::string_view SuccessText = "Firmware has been updated successfully !";
inline constexpr std::string_view FailureText =
    "Unable to flash firmware. Please contact with your vendor !";

// Threads of this process now (the entries of /proc/self/task).
inline int liveThreadCount() {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

// What one run showed, and every broken promise found in it.
struct RunVerdict {
    bool updateRan = false;        // at least one worker was started
    int updateCount = 0;           // drives in the update
    int finalMessages = 0;         // success and failure messages shown
    bool reportedSuccess = false;  // the success message was shown
    int bricked = 0;               // drives a commit bricked
    int programmedDrives = 0;      // drives that received an image block
    int committedDrives = 0;       // drives whose last commit was good
    std::size_t dialogs = 0;
    std::vector<std::string> violations;

    bool clean() const { return violations.empty(); }
    std::string describe() const {
        std::string text;
        for (const auto& v : violations) {
            text += v;
            text += '\n';
        }
        return text;
    }
};

// One run of the program. Fill `package`, `computer` and the answers, then
// call run() once.
class ProgramRig {
  public:
    // The package the program reads (exactly block::BlockSize bytes).
    std::vector<std::uint8_t> package;
    sim::ComputerSpec computer;
    // Answers to the first dialogs in order; later dialogs get the default
    // (OK, or No to a question). Each dialog, answered or not, also runs
    // `whileDialogOpen` (the user acting on the drives, say).
    std::vector<DialogAnswer> answers;
    std::function<void(sim::SimHost&)> whileDialogOpen;
    // Installed between the simulated host and the program (the fuzz target
    // uses it to bend the drives' answers); null: the simulated host itself.
    std::function<std::unique_ptr<Host>(sim::SimHost&)> wrapHost;
    std::size_t dialogLimit = 400;  // a run showing more is stuck in a loop

    RunVerdict run() {
        RunVerdict verdict;
        // The simulated computer's program carries the stand-in profiles.
        SetStandInProfilesAccepted(true);
        // A sanitizer starts its helper thread with the process's first thread:
        // start one before counting, so the count measures workers only.
        static const bool warmedUp = [] {
            std::thread([] {}).join();
            return true;
        }();
        (void)warmedUp;
        const int threadsBefore = liveThreadCount();
        {
            ScopedPackageOverride packageScope(package);
            sim::SimHost simHost(computer);
            std::unique_ptr<Host> wrapper = wrapHost ? wrapHost(simHost) : nullptr;
            Host& host = wrapper ? *wrapper : static_cast<Host&>(simHost);
            setCurrentHost(&host);
            testing::ScriptedToolkit toolkit;
            toolkit.setEndEventTimeout(std::chrono::milliseconds(20000));
            for (const DialogAnswer answer : answers) {
                toolkit.answer(answer);
            }
            // Later dialogs get the default; a run showing too many is stuck.
            std::size_t dialogCount = 0;
            toolkit.whileAnyDialogOpen([this, &simHost, &dialogCount] {
                if (++dialogCount >= dialogLimit) {
                    throw std::runtime_error("dialog loop");
                }
                if (whileDialogOpen) {
                    whileDialogOpen(simHost);
                }
            });
            setWindowMessagePump([&toolkit] { toolkit.processPendingMessages(); });

            int runObjects = 0;
            try {
                auto window = std::make_unique<TZorbelMain>(toolkit, [&runObjects](bool discover) {
                    if (!discover) {
                        ++runObjects;
                    }
                    return createAtapiDevice(discover);
                });
                if (!toolkit.terminateRequested() && !window->UpdateInProgress() &&
                    window->UpdateCount == 0) {
                    toolkit.clickUpdate();
                }
                verdict.updateRan = window->UpdateCount > 0 && runObjects > 0;
                verdict.updateCount = window->UpdateCount;
                // The update ends when its last end event has run.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (window->UpdateInProgress()) {
                    toolkit.waitForEndEvents(1);
                    if (std::chrono::steady_clock::now() > deadline) {
                        verdict.violations.push_back("update did not end within 60 s");
                        break;
                    }
                }
                if (verdict.updateRan && !window->UpdateInProgress()) {
                    for (std::size_t k = 1; k < window->Devices.size(); ++k) {
                        if (window->Devices[k]) {
                            verdict.violations.push_back("run object " + std::to_string(k) +
                                                         " not released after the update");
                        }
                    }
                    for (std::size_t k = 0; k < window->Workers.size(); ++k) {
                        if (window->Workers[k] != nullptr) {
                            verdict.violations.push_back("worker " + std::to_string(k) +
                                                         " still listed after the update");
                        }
                    }
                }
                window.reset();
            } catch (const std::exception& error) {
                verdict.violations.push_back(std::string("exception escaped the window: ") +
                                             error.what());
            }
            clearWindowMessagePump();
            toolkit.deliverEndEvents();

            judgeDialogs(toolkit, verdict);
            judgeDrives(simHost, verdict);
            judgeResources(simHost, verdict);
            setCurrentHost(nullptr);
        }
        // Every worker thread is joined when its end event has run.
        int threadsAfter = liveThreadCount();
        for (int i = 0; i < 200 && threadsAfter > threadsBefore; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            threadsAfter = liveThreadCount();
        }
        if (threadsAfter > threadsBefore) {
            verdict.violations.push_back("threads left running: " +
                                         std::to_string(threadsAfter - threadsBefore));
        }
        return verdict;
    }

  private:
    void judgeDialogs(const testing::ScriptedToolkit& toolkit, RunVerdict& verdict) const {
        verdict.dialogs = toolkit.dialogs().size();
        for (const auto& dialog : toolkit.dialogs()) {
            if (dialog.text == SuccessText) {
                ++verdict.finalMessages;
                verdict.reportedSuccess = true;
            } else if (dialog.text == FailureText) {
                ++verdict.finalMessages;
            }
        }
        if (verdict.updateRan && verdict.finalMessages != 1) {
            verdict.violations.push_back("update showed " + std::to_string(verdict.finalMessages) +
                                         " final messages");
        }
        if (!verdict.updateRan && verdict.finalMessages != 0) {
            verdict.violations.push_back("a final message without an update");
        }
        if (!toolkit.exceptions().empty()) {
            verdict.violations.push_back("exception box: " + toolkit.exceptions().front());
        }
    }

    void judgeDrives(sim::SimHost& host, RunVerdict& verdict) const {
        for (std::size_t i = 0; i < host.driveCount(); ++i) {
            sim::SimDrive& drive = host.drive(i);
            const auto commits = drive.commits();
            if (drive.bricked()) {
                ++verdict.bricked;
                verdict.violations.push_back("drive " + drive.id() +
                                             " bricked: " + drive.brickReason());
            }
            bool received = false;
            int commitsSent = 0;
            for (const auto& c : drive.commands()) {
                received = received || (c.packet[0] == 0x3B && c.packet[9] == 0x00 &&
                                        c.length > 0 && c.outcome == sim::Outcome::Ok);
                commitsSent += c.packet[0] == 0x3B && (c.packet[9] == 0x80 || c.packet[9] == 0xA0);
            }
            if (commitsSent > 1) {
                verdict.violations.push_back("drive " + drive.id() + " was sent " +
                                             std::to_string(commitsSent) + " commits");
            }
            if (received) {
                ++verdict.programmedDrives;
            }
            if (!commits.empty() && commits.back().good) {
                ++verdict.committedDrives;
            }
        }
        // Success may be reported only when every drive of the update got its
        // image and a good commit.
        if (verdict.reportedSuccess && verdict.committedDrives < verdict.updateCount) {
            verdict.violations.push_back(
                "success reported but only " + std::to_string(verdict.committedDrives) + " of " +
                std::to_string(verdict.updateCount) + " drives were committed");
        }
    }

    static void judgeResources(sim::SimHost& host, RunVerdict& verdict) {
        const sim::OsCounters counters = host.counters();
        if (counters.openHandles != 0) {
            verdict.violations.push_back(std::to_string(counters.openHandles) +
                                         " device handles left open");
        }
        if (counters.eventsCreated != counters.eventsClosed) {
            verdict.violations.push_back("ASPI events left open");
        }
        if (counters.libraryLoads != counters.libraryFrees) {
            verdict.violations.push_back("ASPI library left loaded");
        }
        if (counters.invalidCloses != 0) {
            verdict.violations.push_back("close of a handle that was not open");
        }
    }
};

}  // namespace zorbel::proof
