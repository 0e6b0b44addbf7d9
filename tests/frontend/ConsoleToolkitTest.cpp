// The console front end: the script words, how dialogs are printed and
// answered, the status lines, the message loop's timer and end events, what
// the console does for the person when the window is idle, and the whole
// program on the console: an update starts only when asked or automatic.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "sim/SimHost.h"
#include "tests/app/AppFixture.h"

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

// A console whose input is the person's typing on a terminal, or the answers
// one a line when `terminal` is false.
struct Console {
    explicit Console(std::string_view steps = "", bool outTerminal = false,
                     const std::string* input = nullptr, bool terminal = true)
        : in(input != nullptr ? *input : std::string()) {
        ConsoleOptions options;
        options.out = &out;
        options.err = &err;
        options.in = &in;
        options.outputIsTerminal = outTerminal;
        options.inputIsTerminal = input != nullptr && terminal;
        options.script = script(steps);
        toolkit = std::make_unique<ConsoleToolkit>(std::move(options));
    }
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream in;
    std::unique_ptr<ConsoleToolkit> toolkit;
};

TEST(ConsoleDialogs, PrintedWithCaptionTextAndButtonsAndAnsweredInOrderOfSources) {
    const std::string question =
        "Your drive's Firmware is already the most updated !\n "
        "Do you wish to continue ?";
    const std::string yesNo = "Buttons: [&Yes] (default) [&No]\n";
    const std::string okOnly = "Buttons: [OK] (default)\n";
    const std::string enter = "\n";
    const std::string no = "n\n";
    const std::string none;
    const std::string yes = "Yes\n";
    const std::string maybe = "\nmaybe\n";
    const std::string esc = "esc\n";
    const std::string cancelThenNo = "cancel\nQ\nn\n";
    const std::string stop = "stop\n";
    const std::string yesThenEnter = "yes\n\n";
    const std::string rest = ", and the answers after it are not used\n";
    const auto refusedWord = [](const std::string& word) {
        return "  ('" + word +
               "' is no answer here: type y or yes for Yes, n, no or esc for No, or press Enter "
               "for Yes)\n";
    };
    struct Case {
        const char* name;
        DialogKind kind;
        const char* steps;
        const std::string* input;  // typed on the terminal, or piped; null: none
        bool terminal;
        DialogAnswer answer;
        std::string printed;  // the whole dialog as printed
        std::string refused;  // the error stream
    };
    const Case cases[] = {
        {"nobody: Escape answers No", DialogKind::WarningQuestion, "", nullptr, false,
         DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&No] (end of input: Escape)\n", ""},
        {"scripted Escape answers No", DialogKind::WarningQuestion, "esc", nullptr, false,
         DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&No] (script: Escape)\n", ""},
        {"an idle action is no answer", DialogKind::WarningQuestion, "update", nullptr, false,
         DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo +
             "Answer: [&No] (script: does not fit, Escape)\n",
         "answer 'update' does not fit: a message is shown, not the window; taken as Escape" +
             rest},
        {"OK does not answer a question", DialogKind::WarningQuestion, "ok", nullptr, false,
         DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo +
             "Answer: [&No] (script: does not fit, Escape)\n",
         "answer 'ok' does not fit: the question is answered Yes or No; taken as Escape" + rest},
        {"a piped answer", DialogKind::WarningQuestion, "", &yes, false, DialogAnswer::Yes,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&Yes] (standard input)\n", ""},
        {"Yes does not answer a message", DialogKind::Error, "", &yes, false, DialogAnswer::Ok,
         "\n[Error]\nNo F/W in executable !\n" + okOnly +
             "Answer: [OK] (standard input: does not fit, Escape)\n",
         "answer 'yes' does not fit: the message offers only OK; taken as Escape" + rest},
        {"an unknown piped word", DialogKind::WarningQuestion, "", &maybe, false, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer: [&No] (standard input: Escape)\n",
         "unknown answer 'maybe' (use yes, no, ok, esc, update, close or select=N); taken as "
         "Escape" +
             rest},
        {"the terminal answers n", DialogKind::WarningQuestion, "", &no, true, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: Answer: [&No] (terminal)\n",
         ""},
        {"Enter on the terminal takes the default", DialogKind::WarningQuestion, "", &enter, true,
         DialogAnswer::Yes,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: Answer: [&Yes] (terminal)\n",
         ""},
        {"end of input is Escape", DialogKind::WarningQuestion, "", &none, true, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo +
             "Answer [Y/n]: \nAnswer: [&No] (end of input: Escape)\n",
         ""},
        {"the terminal answers yes", DialogKind::WarningQuestion, "", &yes, true, DialogAnswer::Yes,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: Answer: [&Yes] (terminal)\n",
         ""},
        {"esc on the terminal answers No", DialogKind::WarningQuestion, "", &esc, true,
         DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: Answer: [&No] (terminal)\n",
         ""},
        {"cancel on the terminal is refused and the question asked again",
         DialogKind::WarningQuestion, "", &cancelThenNo, true, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: " + refusedWord("cancel") +
             "Answer [Y/n]: " + refusedWord("q") + "Answer [Y/n]: Answer: [&No] (terminal)\n",
         ""},
        {"a refused word, then the end of input, is Escape", DialogKind::WarningQuestion, "", &stop,
         true, DialogAnswer::No,
         "\n[Warning]\n" + question + "\n" + yesNo + "Answer [Y/n]: " + refusedWord("stop") +
             "Answer [Y/n]: \nAnswer: [&No] (end of input: Escape)\n",
         ""},
        {"yes does not acknowledge a message on the terminal", DialogKind::Error, "", &yesThenEnter,
         true, DialogAnswer::Ok,
         "\n[Error]\nNo F/W in executable !\n" + okOnly +
             "Press Enter:   ('yes' is no answer here: press Enter, or type ok or esc, for "
             "OK)\nPress Enter: Answer: [OK] (terminal)\n",
         ""},
        {"the script goes before the terminal", DialogKind::Error, "ok", &no, true,
         DialogAnswer::Ok,
         "\n[Error]\nNo F/W in executable !\n" + okOnly + "Answer: [OK] (script)\n", ""},
        {"nobody: a message is acknowledged", DialogKind::Information, "", &none, false,
         DialogAnswer::Ok,
         "\n[Information]\nFirmware has been updated successfully !\n" + okOnly +
             "Answer: [OK] (end of input: Escape)\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Console console(c.steps, false, c.input, c.terminal);
        const std::string text = c.kind == DialogKind::WarningQuestion ? question
                                 : c.kind == DialogKind::Error
                                     ? "No F/W in executable !"
                                     : "Firmware has been updated successfully !";
        EXPECT_EQ(console.toolkit->messageDialog(c.kind, text), c.answer);
        EXPECT_EQ(console.out.str(), c.printed);
        EXPECT_EQ(console.err.str(), c.refused);
    }
}

// Answers nobody asked for are reported; the demonstration's own answers
// stand in only for an input that held none.
TEST(ConsoleAnswers, UnusedAreReportedAndTheDemoAnswersOnlyForAnEmptyInput) {
    struct Case {
        const char* name;
        const char* steps;      // the script (--answers)
        std::string input;      // piped
        const char* whenEmpty;  // the demonstration's answers
        DialogAnswer answer;
        std::string reported;
    };
    const Case cases[] = {
        {"piped answers go before the demo's", "", "no\n", "yes,update", DialogAnswer::No, ""},
        {"an empty input takes the demo's, which are not reported", "", "", "yes,update",
         DialogAnswer::Yes, ""},
        {"piped words left over", "", "yes\nselect=2\n\nextra\n", "no", DialogAnswer::Yes,
         "2 answers left unused (nothing asked for them): select=2 extra\n"},
        {"a script word left over", "yes,close", "", "", DialogAnswer::Yes,
         "1 answer left unused (nothing asked for it): close\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream out;
        std::ostringstream err;
        std::istringstream in(c.input);
        ConsoleOptions options;
        options.out = &out;
        options.err = &err;
        options.in = &in;
        options.script = script(c.steps);
        options.answersWhenInputIsEmpty = script(c.whenEmpty);
        ConsoleToolkit toolkit(std::move(options));
        EXPECT_EQ(toolkit.messageDialog(DialogKind::WarningQuestion, "Do you wish to continue ?"),
                  c.answer);
        toolkit.reportUnusedAnswers();
        EXPECT_EQ(err.str(), c.reported);
    }
}

TEST(ConsoleDialogs, SystemMessageBoxShowsItsOwnCaption) {
    Console console;
    console.toolkit->systemMessageBox("Device object initialize failed !", "Error ...");
    EXPECT_EQ(console.out.str(),
              "\n[Error ...]\nDevice object initialize failed !\nButtons: [OK] (default)\n"
              "Answer: [OK] (end of input: Escape)\n");
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

TEST(ConsoleIdle, ActsForThePersonFromTheScriptElseCloses) {
    struct Case {
        const char* name;
        const char* steps;
        std::vector<std::string> calls;
        int selectedLine;
    };
    const Case cases[] = {
        {"nobody there", "", {"close"}, 0},
        {"scripted selection, then nobody", "select=2", {"change", "close"}, 1},
        {"scripted close", "close", {"close"}, 0},
        {"a line that does not exist", "select=9,close", {"close"}, 0},
        {"a disabled Update ends the answers", "select=2,update,select=1", {"change", "close"}, 1},
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

// The program on a simulated computer with the console front end: what was
// answered, whether an update started (the commits each drive received) and
// the exit status.
TEST(ConsoleProgram, StartsAnUpdateOnlyWhenAskedOrAutomatic) {
    enum class Question { None, Notice, UpToDate };
    struct Case {
        const char* name;
        bool terminal;      // the input is a terminal, else the answers one a line
        const char* input;  // typed, or piped
        bool automatic;     // AUTOMODE
        Question question;
        std::vector<std::string> answers;  // every answer and action echoed, in order
        int commits;                       // per drive
        int status;
        int drives = 1;
    };
    const std::string enter = "(end of input: Escape)";
    SetStandInProfilesAccepted(true);  // the simulated computer's store holds them
    const Case cases[] = {
        {"nobody: the notice is declined",
         false,
         "",
         false,
         Question::Notice,
         {"Answer: [&No] " + enter},
         0,
         ExitRefused},
        {"nobody, automatic: the notice is declined",
         false,
         "",
         true,
         Question::Notice,
         {"Answer: [&No] " + enter},
         0,
         ExitRefused},
        {"nobody: the window closes",
         false,
         "",
         false,
         Question::None,
         {"> press Close"},
         0,
         ExitNothingFailed},
        {"nobody, automatic: one update of every drive",
         false,
         "",
         true,
         Question::None,
         {"Answer: [OK] " + enter, "> press Close"},
         1,
         ExitNothingFailed,
         16},
        {"answers: notice and Update",
         false,
         "yes\nupdate\n",
         false,
         Question::Notice,
         {"Answer: [&Yes] (standard input)", "> press Update", "Answer: [OK] " + enter,
          "> press Close"},
         1,
         ExitNothingFailed},
        {"answers, automatic: Update does not answer the end message",
         false,
         "yes\nupdate\n",
         true,
         Question::Notice,
         {"Answer: [&Yes] (standard input)", "Answer: [OK] (standard input: does not fit, Escape)",
          "> press Close"},
         1,
         ExitNothingFailed},
        {"answers: a line past the list ends the answers, nothing is updated",
         false,
         "yes\nselect=9\nupdate\n",
         false,
         Question::Notice,
         {"Answer: [&Yes] (standard input)", "> press Close"},
         0,
         ExitNothingFailed,
         2},
        {"answers: an answer at the idle window ends the answers",
         false,
         "yes\nok\nupdate\n",
         false,
         Question::Notice,
         {"Answer: [&Yes] (standard input)", "> press Close"},
         0,
         ExitNothingFailed},
        {"answers: the up-to-date question left unanswered is No",
         false,
         "update\n",
         false,
         Question::UpToDate,
         {"> press Update", "Answer: [&No] " + enter},
         0,
         ExitNothingFailed},
        {"answers: the up-to-date question answered Yes",
         false,
         "update\nyes\nok\nclose\n",
         false,
         Question::UpToDate,
         {"> press Update", "Answer: [&Yes] (standard input)", "Answer: [OK] (standard input)",
          "> press Close"},
         1,
         ExitNothingFailed},
        {"terminal: notice and Update typed",
         true,
         "y\nu\n\n",
         false,
         Question::Notice,
         {"Answer: [&Yes] (terminal)", "> press Update", "Answer: [OK] (terminal)",
          "> press Close"},
         1,
         ExitNothingFailed},
        {"terminal: nothing typed",
         true,
         "",
         false,
         Question::Notice,
         {"Answer: [&No] " + enter},
         0,
         ExitRefused},
        {"terminal, automatic: nothing typed",
         true,
         "",
         true,
         Question::None,
         {"Answer: [OK] " + enter, "> press Close"},
         1,
         ExitNothingFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::BlockBytes package = testing::makePackage();
        const auto set = [&package](block::Option option, bool on) {
            package.option(option, testing::optionText(option, on ? '1' : '0'));
        };
        set(block::Option::AUTOMODE, c.automatic);
        set(block::Option::WARNING, c.question == Question::Notice);
        set(block::Option::N2OMESSAGE, c.question == Question::UpToDate);
        package.slot(0, 0, "1.00", c.question == Question::UpToDate ? "1.10" : "1.09",
                     testing::TestVendor, testing::TestProduct);
        sim::ComputerSpec computer;
        computer.clock = sim::ClockMode::Virtual;
        for (int i = 0; i < c.drives; ++i) {
            const std::string id = "d" + std::to_string(i);
            sim::DriveSpec& drive = computer.addDrive(id);
            drive.identity = sim::Identity::fromText(
                testing::TestVendor, "DVR-1",
                c.question == Question::UpToDate ? testing::NewRevision : testing::OldRevision);
            drive.newRevision = sim::padded<4>(testing::NewRevision);
            drive.imageSize = static_cast<std::uint32_t>(testing::TestImageSize);
            drive.expectedImage.resize(static_cast<std::size_t>(testing::TestImageSize));
            for (std::size_t k = 0; k < drive.expectedImage.size(); ++k) {
                drive.expectedImage[k] = testing::bankByte(k);
            }
            drive.medium = false;
            computer.addLetter(static_cast<char>('D' + i), id).address.targetId =
                static_cast<std::uint8_t>(i);
        }
        ScopedPackageOverride packageScope(package.bytes());
        sim::InstalledComputer installed(computer);
        const std::string input = c.input;
        Console console("", false, &input, c.terminal);

        EXPECT_EQ(RunZorbel(*console.toolkit), c.status);
        const std::string out = console.out.str();
        static const std::regex echoed(R"(Answer: \[[^\]]*\] \([^)]*\)|> press \w+)");
        std::vector<std::string> answers;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), echoed);
             it != std::sregex_iterator(); ++it) {
            answers.push_back(it->str());
        }
        EXPECT_EQ(answers, c.answers) << out;
        for (int i = 0; i < c.drives; ++i) {
            EXPECT_EQ(installed->findDrive("d" + std::to_string(i))->commits().size(),
                      static_cast<std::size_t>(c.commits))
                << "drive " << i;
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
