// zorbel-tcmu: serves the simulated drives of a scenario to the Linux kernel
// through its SCSI target, so that the kernel's own drivers (sr, sg) and any
// program on the machine meet them as optical drives.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/Scenario.h"
#include "sim/Trace.h"
#include "sim/VirtualClock.h"
#include "tools/zorbel-tcmu/CommandRing.h"
#include "tools/zorbel-tcmu/ServedDrive.h"
#include "tools/zorbel-tcmu/UioDevice.h"

namespace {

namespace fs = std::filesystem;
using namespace zorbel;
using namespace zorbel::tcmu;

constexpr const char* Description = R"(NAME
    zorbel-tcmu - serve simulated drives to the Linux kernel as real optical drives

SYNOPSIS
    zorbel-tcmu SCENARIO --list
    zorbel-tcmu SCENARIO [--trace FILE] [--summary FILE] [--background]

DESCRIPTION
    Serves every drive of a zorbel-sim scenario (its [[drives]]; letters and
    ASPI devices are left aside) through the kernel's SCSI target: each drive
    is a user backstore named after the drive's id, made and enabled before
    (zorbel-tcmu-up.sh does it all). Linked to a LUN of the kernel's loopback
    host, a drive gets /dev/srN and /dev/sgN nodes, and every command the
    kernel sends it, the kernel's own included, is carried out by the drive
    model with its faults and latency (always in real time).

    A command the model leaves unanswered (the faults transport, timeout and
    lost_reply) is answered only after the backstore's attrib/cmd_time_out
    has passed: the kernel ends it for the host first, with CHECK CONDITION
    02/08/00. A lost reply is still carried out (a block staged, a commit
    taken).

    --list prints the drive ids, one a line, and exits.)";

constexpr const char* Footer = R"(FILES
    The trace has one line per command, when it arrived (seconds since the
    machine started), then as zorbel-sim writes it, for example
      12.345678 writer: 3B 05 01 00 40 00 00 40 00 00 00 00 out 16384 -> ok 0.001s
    with " held S.SSSs" after a command answered only after the kernel's
    time-out, and a line for each commit, "... writer: commit 0x80 good,
    revision now "1B10"" or "... bricked: WHY".
    The summary has, per drive, its identity now, its commits, whether it is
    bricked and how many commands it received; it is written after each
    commit and when the server ends.

EXIT STATUS
    0 ended by SIGTERM, SIGINT or SIGHUP (or --list); 1 the scenario or a
    backstore could not be used; 2 wrong usage.)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{Description};
    app.footer(Footer);
    app.get_formatter()->column_width(24);
    std::string scenarioFile, traceFile, summaryFile;
    bool list = false, background = false;
    app.add_option("scenario", scenarioFile, "zorbel-sim scenario (TOML)")
        ->required()
        ->type_name("FILE");
    app.add_flag("--list", list, "print the drive ids and exit");
    app.add_option("--trace", traceFile, "write every command received to FILE")->type_name("FILE");
    app.add_option("--summary", summaryFile, "write what became of each drive to FILE")
        ->type_name("FILE");
    app.add_flag("--background", background,
                 "once every drive is reached, go on in the background and print its process id");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    sim::ComputerSpec computer;
    try {
        computer = sim::loadScenario(scenarioFile);
    } catch (const std::exception& e) {
        std::cerr << "zorbel-tcmu: " << e.what() << "\n";
        return 1;
    }
    if (computer.drives.empty()) {
        std::cerr << "zorbel-tcmu: " << scenarioFile << ": the scenario has no [[drives]]\n";
        return 1;
    }
    for (const auto& drive : computer.drives) {
        if (drive.id.empty() || drive.id.find_first_of("/ \t\n") != std::string::npos) {
            std::cerr << "zorbel-tcmu: " << scenarioFile << ": drive id \"" << drive.id
                      << "\" cannot name a backstore (no blanks or slashes)\n";
            return 1;
        }
    }
    if (list) {
        for (const auto& drive : computer.drives) {
            std::cout << drive.id << "\n";
        }
        return 0;
    }

    std::vector<UioDevice> devices;
    for (const auto& drive : computer.drives) {
        std::string error;
        auto device = UioDevice::open(drive.id, error);
        if (!device) {
            std::cerr << "zorbel-tcmu: drive " << drive.id << ": " << error << "\n";
            return 1;
        }
        devices.push_back(std::move(*device));
    }
    if (background) {
        continueInBackground();
    }
    blockTerminationSignals();

    std::unique_ptr<sim::CommandTrace> trace;
    if (!traceFile.empty()) {
        try {
            trace = std::make_unique<sim::CommandTrace>(fs::path(traceFile));
        } catch (const std::exception& e) {
            std::cerr << "zorbel-tcmu: " << e.what() << "\n";
            return 1;
        }
    }
    sim::VirtualClock clock(sim::ClockMode::RealTime);
    std::vector<std::unique_ptr<ServedDrive>> served;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        ServedDrive::Timing timing;
        timing.kernelTimeout = devices[i].kernelTimeout();
        timing.sleep = [](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); };
        timing.now = secondsSinceBoot;
        served.push_back(std::make_unique<ServedDrive>(computer.drives[i], clock, trace.get(),
                                                       std::move(timing)));
    }

    std::mutex summaryMutex;
    const auto writeSummary = [&] {
        if (summaryFile.empty()) {
            return;
        }
        std::string text;
        for (const auto& drive : served) {
            text += drive->summary();
        }
        std::lock_guard lock(summaryMutex);
        if (!writeWhole(summaryFile, text)) {
            std::cerr << "zorbel-tcmu: cannot write " << summaryFile << "\n";
        }
    };
    writeSummary();

    for (std::size_t i = 0; i < devices.size(); ++i) {
        std::thread([&, i] {
            UioDevice& device = devices[i];
            ServedDrive& drive = *served[i];
            CommandRing ring(device.region());
            const auto handler = [&](const RingCommand& command,
                                     const CommandRing::Access& access) {
                const std::size_t before = drive.drive().commits().size();
                RingReply reply = drive.answer(command, access);
                if (drive.drive().commits().size() != before) {
                    writeSummary();
                }
                return reply;
            };
            do {
                bool sound = true;
                ring.answerPending(
                    handler, [&] { device.answersReady(); }, &sound);
                if (!sound) {
                    std::cerr << "zorbel-tcmu: drive " << drive.drive().id()
                              << ": the command ring is damaged; no longer served\n";
                    return;
                }
            } while (device.waitForCommands());
        }).detach();
    }

    waitForTermination();
    writeSummary();
    std::fflush(nullptr);
    std::_Exit(0);
}
