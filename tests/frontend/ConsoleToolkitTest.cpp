// The console front end: the script words, how dialogs are printed and
// answered, the status lines, the message loop's timer and end events, and
// what the console does for the person when the window is idle.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/console/ConsoleToolkit.h"
#include "sim/SimHost.h"

namespace zorbel::console {
namespace {

using Kind = ScriptStep::Kind;

std::vector<ScriptStep> script(std::string_view text) {
    std::string error;
    auto steps = parseScript(text, error);
    EXPECT_TRUE(steps.has_value()) << error;
    return steps.value_or(std::vector<ScriptStep>{});
}

TEST(ConsoleScript, WordsAndRefusals) {
    const auto steps = script(" Yes,no ,OK,esc,escape,update,close,select=12,y,n,,");
    const std::vector<Kind> kinds = {Kind::Yes,    Kind::No,     Kind::Ok,    Kind::Escape,
                                     Kind::Escape, Kind::Update, Kind::Close, Kind::Select,
                                     Kind::Yes,    Kind::No};
    ASSERT_EQ(steps.size(), kinds.size());
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(steps[i].kind, kinds[i]) << i;
    }
    EXPECT_EQ(steps[7].line, 12);
    EXPECT_TRUE(script("").empty());

    for (const char* bad : {"maybe", "yes,select=0", "select=", "select=x", "select=3x"}) {
        std::string error;
        EXPECT_FALSE(parseScript(bad, error).has_value()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

struct Console {
    explicit Console(std::string_view steps = "", bool outTerminal = false,
                     const std::string* input = nullptr)
        : in(input != nullptr ? *input : std::string()) {
        ConsoleOptions options;
        options.out = &out;
        options.in = &in;
        options.outputIsTerminal = outTerminal;
        options.inputIsTerminal = input != nullptr;
        options.script = script(steps);
        toolkit = std::make_unique<ConsoleToolkit>(std::move(options));
    }
    std::ostringstream out;
    std::istringstream in;
    std::unique_ptr<ConsoleToolkit> toolkit;
};

TEST(ConsoleDialogs, PrintedWithCaptionTextAndButtonsAndAnsweredInOrderOfSources) {
    const std::string question =
        "Your drive's Firmware is already the most updated !\n "
        "Do you wish to continue ?";
    const std::string yesNo = "Buttons: [&Yes] (default) [&No]\n";
    const std::string okOnly = "Buttons: [OK] (default)\n";
    const std::string yes = "\n";
    const std::string no = "n\n";
    const std::string none;
    struct Case {
        const char* name;
        DialogKind kind;
        const char* steps;
        const std::string* terminal;  // the person's typing, null: no terminal
        DialogAnswer answer;
        std::string printed;  // the whole dialog as printed
    };
    const Case cases[] = {
        {"no script, no terminal: the default button", DialogKind::WarningQuestion, "", nullptr,
         DialogAnswer::Yes,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&Yes] (default button)\n"},
        {"scripted No", DialogKind::WarningQuestion, "no", nullptr, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&No] (script)\n"},
        {"scripted Escape answers No", DialogKind::WarningQuestion, "esc", nullptr,
         DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&No] (script: Escape)\n"},
        {"an idle action is not an answer", DialogKind::WarningQuestion, "update", nullptr,
         DialogAnswer::Yes,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&Yes] (default button)\n"},
        {"OK does not answer a question", DialogKind::WarningQuestion, "ok", nullptr,
         DialogAnswer::Yes,
         "\n[Warning]\n" + question + "\n" + yesNo +
             "Answer: [&Yes] (script answer does not fit; default button)\n"},
        {"the terminal answers n", DialogKind::WarningQuestion, "", &no, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: Answer: [&No] (terminal)\n"},
        {"Enter on the terminal takes the default", DialogKind::WarningQuestion, "", &yes,
         DialogAnswer::Yes,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: Answer: [&Yes] (terminal)\n"},
        {"end of input is Escape", DialogKind::WarningQuestion, "", &none, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo +
             "Answer [Y/n]: \nAnswer: [&No] (end of input: Escape)\n"},
        {"the script goes before the terminal", DialogKind::Error, "ok", &no, DialogAnswer::Ok,
         "\n[Error]\nNo F/W in executable !\n" + okOnly + "Answer: [OK] (script)\n"},
        {"information", DialogKind::Information, "", nullptr, DialogAnswer::Ok,
         "\n[Information]\nFirmware has been updated successfully !\n" + okOnly +
             "Answer: [OK] (default button)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Console console(c.steps, false, c.terminal);
        const std::string text = c.kind == DialogKind::WarningQuestion ? question
                                 : c.kind == DialogKind::Error
                                     ? "No F/W in executable !"
                                     : "Firmware has been updated successfully !";
        EXPECT_EQ(console.toolkit->messageDialog(c.kind, text), c.answer);
        EXPECT_EQ(console.out.str(), c.printed);
    }
}

TEST(ConsoleDialogs, SystemMessageBoxShowsItsOwnCaption) {
    Console console;
    console.toolkit->systemMessageBox("Device object initialize failed !", "Error ...");
    EXPECT_EQ(console.out.str(),
              "\n[Error ...]\nDevice object initialize failed !\nButtons: [OK] (default)\n"
              "Answer: [OK] (default button)\n");
}

// A window stand-in: handlers given as functions, counting their calls.
struct FakeWindow final : FormEvents {
    std::function<void()> onChange, onUpdate, onClose, onTick;
    std::vector<std::string> calls;
    void cboDrivesChange() override {
        calls.push_back("change");
        if (onChange)
            onChange();
    }
    void cmdUpdateClick() override {
        calls.push_back("update");
        if (onUpdate)
            onUpdate();
    }
    void cmdCloseClick() override {
        calls.push_back("close");
        if (onClose)
            onClose();
    }
    void tmrTimer() override {
        if (onTick)
            onTick();
    }
    void FormDestroy() override {}
};

// The simulated computer supplies the clock the loop sleeps on.
sim::ComputerSpec emptyComputer(sim::ClockMode clock) {
    sim::ComputerSpec spec;
    spec.clock = clock;
    return spec;
}

// Runs the window's progress display for `ticks` ticks, as the update does,
// then ends the program.
void runProgress(ConsoleToolkit& toolkit, FakeWindow& window, int ticks) {
    toolkit.attachForm(&window);
    toolkit.setProgressRange(0, 330);
    toolkit.setProgressStep(1);
    toolkit.setProgressPosition(0);
    toolkit.setText(Control::lblMsg, "");
    toolkit.setText(Control::lblPercent, "0 %");
    toolkit.setEnabled(Control::cmdUpdate, false);
    toolkit.setEnabled(Control::cmdClose, false);
    toolkit.setTimerEnabled(true);
    int count = 0;
    window.onTick = [&] {
        if (++count == ticks) {
            toolkit.setTimerEnabled(false);
            toolkit.terminate();
            return;
        }
        if (toolkit.progressPosition() == toolkit.progressMaximum()) {
            toolkit.setText(Control::lblMsg, "Programming ..........");
            return;
        }
        toolkit.progressStepIt();
        const int position = toolkit.progressPosition();
        toolkit.setText(Control::lblPercent, std::to_string(position * 100 / 330) + " %");
        toolkit.setText(Control::lblMsg, "Programming " + std::string(position % 10, '.'));
    };
    toolkit.runMessageLoop();
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(ConsoleLoop, TicksEvery100MsOfTheHostClockAndPrintsAtMostOneLinePerTenPercent) {
    sim::InstalledComputer computer(emptyComputer(sim::ClockMode::Virtual));
    Console console;
    FakeWindow window;
    const auto before = computer->clock().threadNow();
    const auto realStart = std::chrono::steady_clock::now();
    runProgress(*console.toolkit, window, 400);
    const auto realTime = std::chrono::steady_clock::now() - realStart;

    EXPECT_EQ(console.toolkit->ticks(), 400u);
    // Each tick waited 100 ms on the host's (virtual) clock, not in real time.
    EXPECT_GE(computer->clock().threadNow() - before, std::chrono::milliseconds(400 * 100));
    EXPECT_LT(realTime, std::chrono::seconds(10));
    EXPECT_GE(computer->counters().sleeps, 400u);

    const std::string out = console.out.str();
    // 0 %, 10 %, ..., 100 %: one line each, however many ticks fell in a decade.
    EXPECT_EQ(countOf(out, "Programming"), 11) << out;
    EXPECT_NE(out.find("  0 %  Programming .\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" 10 %  Programming "), std::string::npos);
    EXPECT_NE(out.find("100 %  Programming "), std::string::npos);
    EXPECT_EQ(out.find('\r'), std::string::npos);
}

TEST(ConsoleLoop, OnATerminalTheStatusIsOneUpdatingLine) {
    sim::InstalledComputer computer(emptyComputer(sim::ClockMode::Virtual));
    Console console("", true);
    FakeWindow window;
    runProgress(*console.toolkit, window, 50);
    const std::string out = console.out.str();
    EXPECT_GE(countOf(out, "\r"), 45);
    EXPECT_NE(out.find("\r 14 %  Programming ........\033[K"), std::string::npos) << out;
    // The window view and the final line feed; no line per tick.
    EXPECT_LE(countOf(out, "\n"), 12) << out;
    EXPECT_EQ(out.back(), '\n');
}

TEST(ConsoleLoop, EndEventsFromWorkersRunOnTheWindowThread) {
    sim::InstalledComputer computer(emptyComputer(sim::ClockMode::Virtual));
    Console console;
    FakeWindow window;
    ConsoleToolkit& toolkit = *console.toolkit;
    toolkit.attachForm(&window);
    // An update is under way: both buttons disabled, the timer off.
    toolkit.setEnabled(Control::cmdUpdate, false);
    toolkit.setEnabled(Control::cmdClose, false);
    const auto windowThread = std::this_thread::get_id();
    std::vector<std::thread::id> ranOn;
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&toolkit, &ranOn, i] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
            toolkit.endEventDispatcher().post([&toolkit, &ranOn] {
                ranOn.push_back(std::this_thread::get_id());
                if (ranOn.size() == 3) {
                    toolkit.terminate();
                }
            });
        });
    }
    toolkit.runMessageLoop();
    for (std::thread& worker : workers) {
        worker.join();
    }
    ASSERT_EQ(ranOn.size(), 3u);
    for (const auto id : ranOn) {
        EXPECT_EQ(id, windowThread);
    }
    EXPECT_TRUE(window.calls.empty()) << "the console pressed nothing while the update ran";
}

TEST(ConsoleIdle, ActsForThePersonFromTheScriptElseUpdatesOnceThenCloses) {
    struct Case {
        const char* name;
        const char* steps;
        std::vector<std::string> calls;
        int selectedLine;
    };
    const Case cases[] = {
        {"nobody there", "", {"update", "close"}, 0},
        // Update is disabled for the refused drive: the default is Close.
        {"scripted selection then the defaults", "select=2", {"change", "close"}, 1},
        {"scripted close", "close", {"close"}, 0},
        {"a line that does not exist", "select=9,close", {"close"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::InstalledComputer computer(emptyComputer(sim::ClockMode::Virtual));
        Console console(c.steps);
        ConsoleToolkit& toolkit = *console.toolkit;
        FakeWindow window;
        toolkit.attachForm(&window);
        toolkit.setCaption("Flash Program for MERIDOX DX-4410S");
        toolkit.addListLine(" 1-0-0-0 D:MERIDOX DVD-RW DX-4410S  1.00");
        toolkit.addListLine(" 1-0-1-0 E:LUMINARKDVDRW LR-880     2.05");
        toolkit.selectListLine(0);
        toolkit.setText(Control::lblOldFW, "1.00");
        toolkit.setText(Control::lblNewFW, "1.10");
        window.onChange = [&] {
            // The refusal display, as the window shows it for line 2.
            toolkit.setEnabled(Control::cmdUpdate, false);
            toolkit.setVisible(Control::lblOldFW, false);
            toolkit.setVisible(Control::lblNewFW, false);
            toolkit.setText(Control::lblUpdateMsg, "This drive is not allowed to be updated.");
        };
        toolkit.runMessageLoop();
        EXPECT_EQ(window.calls, c.calls);
        EXPECT_EQ(toolkit.selectedListLine(), c.selectedLine);
        EXPECT_TRUE(toolkit.terminateRequested());
        const std::string out = console.out.str();
        EXPECT_EQ(out.find("== Flash Program for MERIDOX DX-4410S ==\n"
                           "Please select target drive :\n"
                           "  > [1]  1-0-0-0 D:MERIDOX DVD-RW DX-4410S  1.00\n"
                           "    [2]  1-0-1-0 E:LUMINARKDVDRW LR-880     2.05\n"
                           "It will be updated from 1.00 to 1.10\n"
                           "Buttons: [Update] [Close]\n"),
                  1u)
            << out;
        if (c.selectedLine == 1) {
            EXPECT_NE(out.find("  > [2]  1-0-1-0 E:LUMINARKDVDRW LR-880     2.05\n"
                               "This drive is not allowed to be updated.\n"
                               "Buttons: [Update (disabled)] [Close]\n"),
                      std::string::npos)
                << out;
        }
    }
}

TEST(ConsoleLoop, TerminationBeforeTheLoopShowsNothing) {
    Console console;
    console.toolkit->terminate();
    console.toolkit->runMessageLoop();
    EXPECT_EQ(console.out.str(), "");
}

}  // namespace
}  // namespace zorbel::console
