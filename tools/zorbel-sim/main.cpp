// zorbel-sim: the update program over a simulated computer, for demonstrations,
// bug reports ("here is my scenario") and black-box tests.
//
//   zorbel-sim [--scenario FILE] [--front console|qt] [--answers yes,no,ok,...]
//              [--trace FILE] [--realtime] [--screenshot DIR]
//
// Without a scenario it runs the built-in demo computer. On the console it
// reads standard input as zorbel does; only when that ends without any answer
// and no --answers were given, the demo answers the notice Yes and presses
// Update (unless the package updates by itself). At the end it prints one line per simulated drive:
// its identity now, the commits it received and whether it is bricked. Exit status as the program's
// (0, 1 or 3), 2 for a bad scenario or bad arguments, 4 when a simulated drive ended bricked.
#ifdef _WIN32
#include "device/host_windows.h"
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "engine/StandInProfiles.h"
#include "package/PackageBlock.h"
#include "sim/Scenario.h"
#include "sim/SimHost.h"
#include "sim/Trace.h"
#include "tools/common/ToolConventions.h"
#include "tools/zorbel-sim/DemoComputer.h"
#include "tools/zorbel-sim/Fronts.h"
#include "tools/zorbel-sim/Person.h"

namespace zorbel::simtool {

namespace {

constexpr int BadInput = 2;
constexpr int Bricked = 4;  // a simulated drive ended bricked, whatever the program said

bool displayAvailable() {
#ifdef _WIN32
    return true;  // Windows always has its desktop
#else
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
#endif
}

std::string fieldText(std::span<const std::uint8_t> field) {
    return std::string(field.begin(), field.end());
}

// "D:" for a drive behind a drive letter, "1-0-0" for one behind an ASPI
// adapter, the drive's id when nothing names it.
std::string placeOf(const sim::SimHost& computer, const std::string& id) {
    std::string place;
    for (const sim::LetterSpec& letter : computer.spec().letters) {
        if (letter.drive == id) {
            place += (place.empty() ? "" : ",") + letter.root.substr(0, 2);
        }
    }
    const auto& adapters = computer.spec().aspi.adapters;
    for (std::size_t a = 0; a < adapters.size(); ++a) {
        for (const sim::AspiDeviceSpec& device : adapters[a].devices) {
            if (device.drive == id) {
                place += (place.empty() ? "" : ",") + std::to_string(a) + "-" +
                         std::to_string(device.target) + "-" + std::to_string(device.lun);
            }
        }
    }
    return place.empty() ? "-" : place;
}

void printSummary(sim::SimHost& computer, std::ostream& out) {
    out << "\nSimulated drives at the end:\n";
    for (std::size_t i = 0; i < computer.driveCount(); ++i) {
        sim::SimDrive& drive = computer.drive(i);
        const sim::Identity& identity = drive.spec().identity;
        const auto commits = drive.commits();
        const std::string was = fieldText(identity.vendor) + " " + fieldText(identity.product) +
                                " " + drive.currentRevisionText();
        out << "drive " << drive.id() << " (" << placeOf(computer, drive.id()) << "): ";
        if (drive.bricked()) {
            // What the drive answers now: its boot block has no identity.
            out << "INQUIRY answers zeros (was \"" << was << "\")";
        } else {
            out << "\"" << was << "\"";
        }
        out << ", commits received " << commits.size() << ", ";
        if (drive.bricked()) {
            out << "BRICKED (" << drive.brickReason() << ")";
        } else {
            out << "not bricked";
        }
        if (drive.vanished()) {
            out << ", vanished";
        }
        out << "\n";
    }
    out.flush();
}

// One line on standard error for each drive the run left bricked; true when
// there was one.
bool reportBricked(sim::SimHost& computer, std::ostream& err) {
    bool any = false;
    for (std::size_t i = 0; i < computer.driveCount(); ++i) {
        sim::SimDrive& drive = computer.drive(i);
        if (drive.bricked()) {
            err << "zorbel-sim: drive " << drive.id() << " (" << placeOf(computer, drive.id())
                << ") is bricked: " << drive.brickReason() << "\n";
            any = true;
        }
    }
    err.flush();
    return any;
}

// The console reads its input exactly as zorbel's does; only an input that
// ends without a single answer (</dev/null) gets the demonstration's own.
int runConsole(sim::SimHost& computer, const FrontSettings& settings) {
#ifdef _WIN32
    // Only a console counts as a terminal: NUL, a file or a pipe does not.
    console::ConsoleOptions options = console::standardStreamOptions(
        winhost::standardStreamIsConsole(1), winhost::standardStreamIsConsole(0));
#else
    console::ConsoleOptions options =
        console::standardStreamOptions(isatty(STDOUT_FILENO) != 0, isatty(STDIN_FILENO) != 0);
#endif
    options.script = settings.script;
    if (!settings.answersGiven && !options.inputIsTerminal) {
        // What a person agreeing to the update gives.
        LoadedSettings package;
        PackageBlock::current().readOptions(package);
        if (package.warningOn()) {
            options.answersWhenInputIsEmpty.push_back({console::ScriptStep::Kind::Yes, 0});
        }
        if (!package.autoModeOn()) {
            options.answersWhenInputIsEmpty.push_back({console::ScriptStep::Kind::Update, 0});
        }
    }
    console::ConsoleToolkit console(std::move(options));
    Person person(console, computer, &std::cout);
    const int code = RunZorbel(person);
    console.reportUnusedAnswers();
    return code;
}

constexpr const char* Usage =
    "zorbel-sim [--scenario FILE] [--front console|qt] [--answers LIST] [--trace FILE]\n"
    "                  [--realtime] [--screenshot DIR]";

constexpr const char* Footer = R"(
On the console the answers come from --answers first, then from the terminal,
or, when standard input is no terminal, from standard input one word a line
(yes, no, ok, esc, update, close, select=N), exactly as zorbel reads them.
Only when standard input ends without any answer (</dev/null) and --answers is
not given does the demonstration answer for the person: Yes to the notice and
Update. Answers left unused are reported on standard error.

Exit status: 0 nothing failed, 1 an update failed or a file could not be read
or written, 2 a usage error or a bad scenario, 3 the program refused to start
any update, 4 a simulated drive ended bricked. tools/zorbel-sim/README.md tells more.)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zorbel-sim: the update program on a simulated computer"};
    std::optional<std::filesystem::path> scenarioFile;
    std::string front;
    std::string answers;
    std::optional<std::filesystem::path> traceFile;
    bool realtime = false;
    std::optional<std::filesystem::path> screenshotDir;
    app.add_option("--scenario", scenarioFile,
                   "scenario file describing the computer (default: the built-in demo)")
        ->type_name("FILE");
    app.add_option("--front", front,
                   "console or window (also called qt; default: the window when a display is "
                   "available)")
        ->check(CLI::IsMember({"console", "qt", "window"}))
        ->type_name("console|qt");
    app.add_option("--answers", answers,
                   "comma-separated answers to the dialogs in order (yes, no, ok, esc); on "
                   "the console also idle actions (update, close, select=N)")
        ->type_name("LIST");
    app.add_option("--trace", traceFile, "write one line per drive command to this file")
        ->type_name("FILE");
    app.add_flag("--realtime", realtime, "run on the real clock instead of the virtual one");
    app.add_option("--screenshot", screenshotDir,
                   "window only: write PNG pictures of the window and its dialogs to this "
                   "folder, then close")
        ->type_name("DIR");
    app.footer(Footer);
    if (const auto status = tools::readCommandLine(app, argc, argv, "zorbel-sim", Usage)) {
        return *status;
    }

    FrontSettings settings;
    std::string error;
    if (auto script = console::parseScript(answers, error)) {
        settings.script = std::move(*script);
    } else {
        std::cerr << "zorbel-sim: --answers: " << error << "\nusage: " << Usage << "\n";
        return BadInput;
    }
    settings.answersGiven = app.count("--answers") != 0;
    settings.screenshotDir = screenshotDir;

    if (front == "window") {
        front = "qt";
    }
    if (front.empty()) {
        front = screenshotDir || (windowFrontBuilt() && displayAvailable()) ? "qt" : "console";
    }
    if (front == "qt" && !screenshotDir && displayAvailable() && !windowOpens()) {
        std::cerr << "zorbel-sim: cannot open the window on the display; running on the console\n";
        front = "console";
    }
    if (front == "qt" && !windowFrontBuilt()) {
        std::cerr << "zorbel-sim: this build has no window (Qt); use --front console\n"
                  << "usage: " << Usage << "\n";
        return BadInput;
    }
    if (screenshotDir && front != "qt") {
        std::cerr << "zorbel-sim: --screenshot needs the window (--front qt)\n"
                  << "usage: " << Usage << "\n";
        return BadInput;
    }
    if (front == "qt" && !displayAvailable()) {
        if (!screenshotDir) {
            std::cerr << "zorbel-sim: no display for the window; use --front console\n"
                      << "usage: " << Usage << "\n";
            return BadInput;
        }
        // Pictures need no screen.
#ifndef _WIN32
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
#endif
    }

    sim::ComputerSpec computer;
    try {
        if (scenarioFile) {
            computer = sim::loadScenario(*scenarioFile);
        } else {
            const std::span<const std::uint8_t> image = PackageBlock::current().binImage(0);
            computer = demoComputer(image);
        }
        computer.clock = realtime ? sim::ClockMode::RealTime : sim::ClockMode::Virtual;
        computer.validate();
        for (const std::string& warning : computer.warnings) {
            std::cerr << "zorbel-sim: " << warning << "\n";
        }
    } catch (const sim::ScenarioError& failure) {
        if (failure.unreadable()) {
            std::cerr << "zorbel-sim: " << failure.what() << "\n";
            return tools::ExitFailed;
        }
        std::cerr << "zorbel-sim: bad scenario: " << failure.what() << "\n";
        return BadInput;
    } catch (const std::exception& failure) {
        std::cerr << "zorbel-sim: bad scenario "
                  << (scenarioFile ? scenarioFile->string() : std::string("(built-in)")) << ": "
                  << failure.what() << "\n";
        return BadInput;
    }

    std::unique_ptr<sim::CommandTrace> trace;
    if (traceFile) {
        try {
            trace = std::make_unique<sim::CommandTrace>(*traceFile);
        } catch (const std::exception& failure) {
            std::cerr << "zorbel-sim: --trace: " << failure.what() << "\n";
            return tools::ExitFailed;
        }
    }

    // The simulated computer runs the program with the stand-in profiles too.
    SetStandInProfilesAccepted(true);
    sim::InstalledComputer installed(std::move(computer));
    sim::SimHost& host = installed.host();
    host.setTrace(trace.get());

    int code = 0;
    if (front == "qt") {
        code = runWindow(host, settings, error);
        if (code == BadInput) {
            host.setTrace(nullptr);
            std::cerr << "zorbel-sim: " << error << "\n";
            return BadInput;
        }
    } else {
        code = runConsole(host, settings);
    }
    host.setTrace(nullptr);
    for (const sim::MessageBoxRecord& box : host.messageBoxes()) {
        std::cout << "system message box \"" << box.caption << "\": " << box.text << "\n";
    }
    if (!host.restartRequests().empty()) {
        std::cout << "the program asked the computer to restart\n";
    }
    const bool bricked = reportBricked(host, std::cerr);
    printSummary(host, std::cout);
    return bricked ? Bricked : code;
}

}  // namespace zorbel::simtool

int main(int argc, char** argv) {
    return zorbel::simtool::main(argc, argv);
}
