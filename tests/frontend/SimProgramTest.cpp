// zorbel-sim as a person or a script uses it: the packed program runs on
// simulated computers (the built-in demo and scenario files) with the console
// front end and scripted answers; the tests read what it printed, the command
// trace and the drive summaries.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path SimProgram = ZORBEL_SIM_PROGRAM;
const fs::path PackProgram = ZORBEL_PACK_PROGRAM;
const fs::path ZorbelOnSim = ZORBEL_ON_SIM_PROGRAM;
const fs::path DemoImage = fs::path(ZORBEL_DEMO_DIR) / "demo-image.bin";

const std::string NoticeText =
    "This flash utility only supports MERIDOX DX-4410S drive.\n\n"
    "NOTICE : \n\n"
    "1> Please REMOVE disc and close all applications before running this utility !\n"
    "2> Don't turn off the system while flash is in progress. \n"
    "3> Don't remove the adapter and battery during F/W reflash processing. \n"
    "\nDo you wish to continue ?";
const std::string SuccessText = "[Information]\nFirmware has been updated successfully !\n";
const std::string FailureText =
    "[Error]\nUnable to flash firmware. Please contact with your vendor !\n";

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string quoted(const std::string& word) {
    return "'" + word + "'";
}

class SimProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        std::replace(name.begin(), name.end(), '/', '-');
        dir_ = fs::temp_directory_path() /
               ("zorbel-frontend-" + name + "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(dir_);
        }
    }

    // Runs a program with arguments, stdin from `input` (no terminal).
    ProgramRun run(const fs::path& program, const std::vector<std::string>& arguments,
                   const std::string& environment = "", const fs::path& input = "/dev/null") {
        std::string command = environment + quoted(program.string());
        for (const std::string& argument : arguments) {
            command += " " + quoted(argument);
        }
        const fs::path out = dir_ / "stdout.txt";
        const fs::path err = dir_ / "stderr.txt";
        command += " <" + quoted(input.string()) + " >" + quoted(out.string()) + " 2>" +
                   quoted(err.string());
        ProgramRun result;
        const int raw = std::system(command.c_str());
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = readAll(out);
        result.err = readAll(err);
        return result;
    }

    ProgramRun sim(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--front", "console"});
        return run(SimProgram, arguments);
    }

    fs::path write(const std::string& name, const std::string& text) {
        const fs::path file = dir_ / name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }

    // A computer with one DX-4410S on 1.00 at E: that expects exactly the demo
    // image, plus `extra` TOML (more drives, faults of the first drive).
    fs::path writerScenario(const std::string& driveExtra = "", const std::string& more = "") {
        return write("computer.toml",
                     "platform = \"nt\"\n"
                     "[[drives]]\n"
                     "id = \"writer\"\n"
                     "vendor = \"MERIDOX\"\n"
                     "product = \"DVD-RW DX-4410S\"\n"
                     "revision = \"1.00\"\n"
                     "new_revision = \"1.10\"\n"
                     "medium = false\n"
                     "image_file = \"" +
                         DemoImage.string() + "\"\n" + driveExtra + more +
                         "\n[[letters]]\nletter = \"E\"\ndrive = \"writer\"\n"
                         "address = { port = 1, path = 0, target = 0, lun = 0 }\n");
    }

    fs::path dir_;
};

// The summary line of one drive.
std::string summaryOf(const std::string& out, const std::string& id) {
    const auto at = out.find("drive " + id + " (");
    if (at == std::string::npos) {
        return {};
    }
    return out.substr(at, out.find('\n', at) - at);
}

struct TraceLine {
    std::string drive;
    std::array<unsigned, 12> packet{};
    std::string direction;
    unsigned long length = 0;
    std::string outcome;
};

std::vector<TraceLine> readTrace(const fs::path& file) {
    std::vector<TraceLine> lines;
    std::ifstream in(file);
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream words(text);
        TraceLine line;
        words >> line.drive;
        for (unsigned& byte : line.packet) {
            words >> std::hex >> byte;
        }
        std::string arrow;
        words >> line.direction >> std::dec >> line.length >> arrow >> line.outcome;
        // The drive's name without colons: "D" for drive letter D.
        std::erase(line.drive, ':');
        lines.push_back(line);
    }
    return lines;
}

TEST_F(SimProgramTest, DemoUpdatesTheFittingDriveEndToEnd) {
    const fs::path trace = dir_ / "trace.txt";
    const ProgramRun r = sim({"--trace", trace.string()});
    ASSERT_EQ(r.status, 0) << r.err;

    // Start-up: the notice, answered by the demonstration's own answers, then
    // the window, where they press Update.
    EXPECT_NE(r.out.find("[Warning]\n" + NoticeText +
                         "\nButtons: [&Yes] (default) [&No]\n"
                         "Answer: [&Yes] (script)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("== Flash Program for MERIDOX DX-4410S ==\n"
                         "Please select target drive :\n"
                         "  > [1]  1-0-0-0 D:MERIDOX DVD-RW DX-4410S  1.00\n"
                         "    [2]  1-0-1-0 E:LUMINARKDVDRW LR-880     2.05\n"
                         "    [3]  2-0-0-0 F:MERIDOX DVD-RW DX-4410S  1.10\n"
                         "It will be updated from 1.00 to 1.10\n"),
              std::string::npos)
        << r.out;
    // The disc check finds the demo disc; the person takes it out.
    EXPECT_NE(r.out.find("Tray Out ...\n\n[Warning]\nPlease remove the disc.\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Waiting Drive Ready ..."), std::string::npos);
    EXPECT_NE(r.out.find("100 %  Inquiry ..."), std::string::npos);
    EXPECT_NE(r.out.find(SuccessText), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("> press Update"), r.out.rfind("> press Update")) << "one update";
    EXPECT_EQ(r.out.find("[Error]"), std::string::npos);
    // Afterwards the list shows the new revision.
    EXPECT_NE(r.out.find("  > [1]  1-0-0-0 D:MERIDOX DVD-RW DX-4410S  1.10\n"), std::string::npos);

    EXPECT_NE(summaryOf(r.out, "dx4410-d")
                  .find("\"MERIDOX  DVD-RW DX-4410S  1.10\", commits received 1, not bricked"),
              std::string::npos)
        << r.out;
    EXPECT_NE(summaryOf(r.out, "lr880-e").find("2.05\", commits received 0, not bricked"),
              std::string::npos);
    EXPECT_NE(summaryOf(r.out, "dx4410-f").find("1.10\", commits received 0, not bricked"),
              std::string::npos);

    // The trace: the image went to D: only, as 64 blocks of 16 KiB written
    // (WRITE BUFFER, vendor code 0) and read back, then one commit without data.
    const std::vector<TraceLine> lines = readTrace(trace);
    ASSERT_FALSE(lines.empty());
    int imageWrites = 0;
    int readBacks = 0;
    int commits = 0;
    for (const TraceLine& line : lines) {
        if (line.packet[0] == 0x3B && line.direction == "out" && line.length == 16384 &&
            line.packet[9] == 0x00) {
            EXPECT_EQ(line.drive, "D");
            ++imageWrites;
        }
        if (line.packet[0] == 0x3C && line.length == 16384) {
            EXPECT_EQ(line.drive, "D");
            ++readBacks;
        }
        if (line.packet[0] == 0x3B && line.direction == "none") {
            EXPECT_EQ(line.drive, "D");
            ++commits;
        }
    }
    EXPECT_EQ(imageWrites, 64);
    EXPECT_EQ(readBacks, 64);
    EXPECT_EQ(commits, 1);
}

TEST_F(SimProgramTest, ImageArrivesByteForByteOnAScenarioComputer) {
    // The drive accepts the commit only when the staged bytes equal the image
    // file: a good commit proves the image arrived byte for byte.
    const ProgramRun r = sim({"--scenario", writerScenario().string(), "--answers", "yes,update"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(SuccessText), std::string::npos) << r.out;
    EXPECT_NE(summaryOf(r.out, "writer")
                  .find("\"MERIDOX  DVD-RW DX-4410S  1.10\", commits received 1, not bricked"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  > [1]  1-0-0-0 E:MERIDOX DVD-RW DX-4410S  1.10\n"), std::string::npos)
        << r.out;
}

struct FaultCase {
    const char* name;
    const char* fault;  // the TOML of one fault rule of the drive
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class FaultyDriveTest : public SimProgramTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultyDriveTest, EndsInTheFailureMessageAndTheDriveIsNotBricked) {
    const ProgramRun r =
        sim({"--scenario",
             writerScenario("", std::string("\n[[drives.faults]]\n") + GetParam().fault).string(),
             "--answers", "yes,update"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find(FailureText), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("updated successfully"), std::string::npos);
    const std::string summary = summaryOf(r.out, "writer");
    EXPECT_NE(summary.find("1.00\", commits received 0, not bricked"), std::string::npos)
        << summary;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyDriveTest,
    ::testing::Values(FaultCase{"ReadBackAltered", "kind = \"read_corruption\"\nopcode = 0x3C\n"},
                      FaultCase{"ImageWritesStagedAltered",
                                "kind = \"write_corruption\"\nopcode = 0x3B\ncode = 0x00\n"},
                      FaultCase{"ImageWritesFailInTransport",
                                "kind = \"transport\"\nopcode = 0x3B\ncode = 0x00\n"},
                      FaultCase{"DriveVanishesMidImage", "kind = \"vanish\"\nnth = 60\n"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// The drive expects a larger image than the package carries: the commit
// bricks it. The program reports the failure, and the rehearsal says so.
TEST_F(SimProgramTest, DriveBrickedAtItsCommitEndsWithStatusFour) {
    const fs::path scenario = write("computer.toml",
                                    "[[drives]]\n"
                                    "id = \"writer\"\n"
                                    "vendor = \"MERIDOX\"\n"
                                    "product = \"DVD-RW DX-4410S\"\n"
                                    "revision = \"1.00\"\n"
                                    "new_revision = \"1.10\"\n"
                                    "medium = false\n"
                                    "image_size = 16777216\n"
                                    "\n[[letters]]\nletter = \"E\"\ndrive = \"writer\"\n");
    const ProgramRun r = sim({"--scenario", scenario.string(), "--answers", "yes,update"});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.out.find(FailureText), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("updated successfully"), std::string::npos);
    EXPECT_NE(summaryOf(r.out, "writer").find("INQUIRY answers zeros (was \"MERIDOX"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("is bricked: the drive expects 16777216 bytes (image_size of the "
                         "scenario), the update sent "),
              std::string::npos)
        << r.err;
    // The program names the drive that did not come back, the rehearsal the drive it bricked.
    EXPECT_NE(r.err.find("zorbel: drive E: (MERIDOX DVD-RW DX-4410S 1.00)"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("zorbel-sim: drive writer (E:) is bricked: "), std::string::npos) << r.err;
}

// A display that is named but has no server behind it: the programs say so in
// one line and run on the console, with the console's exit status.
TEST_F(SimProgramTest, UnusableDisplayFallsBackToTheConsole) {
    struct Case {
        fs::path program;
        int status;
        std::string shown;
    };
    std::vector<Case> cases{{SimProgram, 0, SuccessText}};
#ifdef ZORBEL_PROGRAM
    // The unfilled program refuses its empty package before it looks for drives.
    cases.push_back({ZORBEL_PROGRAM, 3, "Invalid F/W in executable !"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.filename().string());
        const ProgramRun r =
            run(c.program, {}, "env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:1999 ");
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("cannot open the window"), std::string::npos) << r.err;
    }
}

TEST_F(SimProgramTest, ScriptedAnswersAndActionsSteerThePerson) {
    struct Case {
        const char* name;
        const char* answers;
        std::vector<std::string> shown;     // texts the output must hold, in order
        std::vector<std::string> notShown;  // texts it must not hold
        int status;
    };
    const Case cases[] = {
        {"declining the notice ends before any drive is touched",
         "no",
         {"Answer: [&No] (script)\n"},
         {"> press", "Tray Out", "[Information]"},
         3},
        {"a drive of another make is refused",
         "yes,select=2,close",
         {"  > [2]  1-0-1-0 E:LUMINARKDVDRW LR-880     2.05\n",
          "This drive is not allowed to be updated.\nButtons: [Update (disabled)] [Close]\n",
          "> press Close\n"},
         {"Tray Out"},
         0},
        {"an up-to-date drive asks first; No ends the program",
         "yes,select=3,update,no",
         {"It will be updated from 1.10 to 1.10\n",
          "[Warning]\nYour drive's Firmware is already the most updated !\n Do you wish to "
          "continue ?\nButtons: [&Yes] (default) [&No]\nAnswer: [&No] (script)\n"},
         {"Tray Out", "[Information]"},
         0},
        {"an answer that does not fit counts as Escape",
         "ok",
         {"Answer: [&No] (script: does not fit, Escape)\n"},
         {"> press", "Tray Out"},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun r = sim({"--answers", c.answers});
        EXPECT_EQ(r.status, c.status) << r.err;
        std::size_t at = 0;
        for (const std::string& text : c.shown) {
            const auto found = r.out.find(text, at);
            ASSERT_NE(found, std::string::npos) << "missing: " << text << "\n" << r.out;
            at = found + text.size();
        }
        for (const std::string& text : c.notShown) {
            EXPECT_EQ(r.out.find(text), std::string::npos) << "unexpected: " << text;
        }
        // Nothing was committed anywhere.
        EXPECT_EQ(r.out.find("commits received 1"), std::string::npos) << r.out;
    }
}

TEST_F(SimProgramTest, RepackedProgramUpdatesEveryAllowedDriveInAutomaticMode) {
    // The real packaging path on the built program: another package, filled
    // into a copy of zorbel-sim.
    const fs::path program = dir_ / "zorbel-sim-auto";
    fs::copy_file(SimProgram, program);
    fs::copy_file(DemoImage, dir_ / "image.bin");
    const fs::path description =
        write("auto.toml",
              "title = \"APP_TITLE_HERE\"\n"
              "supported_drives = \"MERIDOX DX-4410S\"\n"
              "version = \"v3.1.4\"\n"
              "[options]\n"
              "N2OMESSAGE = 0\nCHKDISC = 0\nBOOTCODE = 0\nREBOOT = 0\nAUTOMODE = 1\n"
              "CLOSEAP = 1\nWARNING = 0\nNBWARNING = 0\nHOW_MANY_BIN = 1\n"
              "[[bin]]\nimage = \"image.bin\"\nnew_revision = \"1.10\"\n"
              "constraint = [ { lowest = \"1.00\", highest = \"1.09\", vendor = \"MERIDOX \", "
              "product = \"DVD-RW DX-4410S \" } ]\n");
    const ProgramRun pack =
        run(PackProgram, {"fill", program.string(), description.string(), "--stand-in-profiles"});
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;

    const fs::path scenario = writerScenario(
        "",
        "\n[[drives]]\nid = \"second\"\nvendor = \"MERIDOX\"\nproduct = \"DVD-RW DX-4410S\"\n"
        "revision = \"1.02\"\nnew_revision = \"1.10\"\nmedium = false\nimage_file = \"" +
            DemoImage.string() +
            "\"\n"
            "\n[[drives]]\nid = \"stranger\"\nvendor = \"LUMINARK\"\nproduct = \"DVDRW LR-880\"\n"
            "revision = \"2.05\"\nmedium = false\n"
            "\n[[letters]]\nletter = \"F\"\ndrive = \"second\"\n"
            "address = { port = 1, path = 0, target = 1, lun = 0 }\n"
            "\n[[letters]]\nletter = \"G\"\ndrive = \"stranger\"\n"
            "address = { port = 2, path = 0, target = 0, lun = 0 }\n");
    const ProgramRun r = run(program, {"--front", "console", "--scenario", scenario.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    // The placeholder title gives the caption from the version.
    EXPECT_NE(r.out.find("== Zorbel v3.1.4 =="), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[Warning]"), std::string::npos) << "no notice, no disc check";
    EXPECT_EQ(r.out.find("> press"), std::string::npos) << "automatic mode needs no person";
    EXPECT_NE(r.out.find(SuccessText), std::string::npos) << r.out;
    EXPECT_NE(summaryOf(r.out, "writer").find("1.10\", commits received 1, not bricked"),
              std::string::npos)
        << r.out;
    EXPECT_NE(summaryOf(r.out, "second").find("1.10\", commits received 1, not bricked"),
              std::string::npos)
        << r.out;
    EXPECT_NE(summaryOf(r.out, "stranger").find("2.05\", commits received 0, not bricked"),
              std::string::npos)
        << r.out;
}

TEST_F(SimProgramTest, AMalformedBinIsRefusedByTheProgramOnTheDemoComputer) {
    // The packed demo with its first bin's size beyond the bank.
    const fs::path program = dir_ / "zorbel-sim-malformed";
    std::string bytes = readAll(SimProgram);
    const auto at = bytes.find("BIN_SIZE1=");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at + 10, 10, "9999999999");
    std::ofstream(program, std::ios::binary) << bytes;
    fs::permissions(program, fs::perms::owner_exec, fs::perm_options::add);

    const ProgramRun r = run(program, {"--front", "console"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.out.find("[Error]\nInvalid F/W in executable !\n"), std::string::npos) << r.out;
    EXPECT_NE(summaryOf(r.out, "dx4410-d").find("commits received 0, not bricked"),
              std::string::npos)
        << r.out;
}

TEST_F(SimProgramTest, BadArgumentsAndScenariosEndWithStatusTwoAndTheReason) {
    const fs::path broken = write("broken.toml", "platform = \"nt\"\n[[drives]]\nvendor = 5\n");
    const fs::path unknownDrive =
        write("unknown.toml", "[[letters]]\nletter = \"E\"\ndrive = \"nobody\"\n");
    struct Case {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"--front", "sideways"}, "--front"},
        {{"--answers", "yes,maybe"}, "unknown answer 'maybe'"},
        {{"--answers", "select=0"}, "bad line number"},
        {{"--scenario", broken.string()}, "broken.toml"},
        {{"--scenario", unknownDrive.string()}, "nobody"},
        {{"--no-such-option"}, "no-such-option"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front());
        const ProgramRun r = run(SimProgram, c.arguments);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Simulated drives at the end"), std::string::npos);
    }
}

// The dialogue of a console run: what the window and its dialogs showed and
// every answer taken, without the rehearsal's own lines (the person's acts,
// the summary of the simulated drives) and the status lines, which follow the
// clock's ticks.
std::string dialogueOf(const std::string& out) {
    static const std::regex status(R"(^ *\d+ %  .*)");
    std::istringstream lines(out.substr(0, out.find("\nSimulated drives at the end:")));
    std::string dialogue;
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("(the person ", 0) != 0 && !std::regex_match(line, status)) {
            dialogue += line + "\n";
        }
    }
    return dialogue;
}

// The same piped script behaves in the rehearsal as in the program: the
// person's answers are taken as they come, never after the demonstration's
// own, and what is left over is reported by both.
TEST_F(SimProgramTest, APipedScriptRehearsesAsTheProgramRunsIt) {
    const fs::path scenario = writerScenario();
    const fs::path program = dir_ / "zorbel-on-sim";
    fs::copy_file(ZorbelOnSim, program);
    const ProgramRun filled =
        run(PackProgram,
            {"fill", program.string(), (fs::path(ZORBEL_DEMO_DIR) / "demo-package.toml").string(),
             "--stand-in-profiles"});
    ASSERT_EQ(filled.status, 0) << filled.err;
    const fs::path script = write("script.txt", "yes\nselect=1\nupdate\nok\nclose\nextra\n");

    const ProgramRun rehearsal =
        run(SimProgram, {"--front", "console", "--scenario", scenario.string()}, "", script);
    const ProgramRun real = run(program, {scenario.string()}, "", script);
    EXPECT_EQ(rehearsal.status, 0) << rehearsal.err;
    EXPECT_EQ(real.status, rehearsal.status) << real.err;
    const std::string dialogue = dialogueOf(rehearsal.out);
    EXPECT_EQ(dialogueOf(real.out), dialogue);
    for (const std::string& step :
         {std::string("Answer: [&Yes] (standard input)"), std::string("> select line 1"),
          std::string("> press Update"), SuccessText, std::string("> press Close")}) {
        EXPECT_NE(dialogue.find(step), std::string::npos) << step << "\n" << dialogue;
    }
    const std::string unused = "1 answer left unused (nothing asked for it): extra\n";
    EXPECT_EQ(rehearsal.err, unused);
    EXPECT_EQ(real.err, unused);
    EXPECT_NE(summaryOf(rehearsal.out, "writer").find("1.10\", commits received 1"),
              std::string::npos)
        << rehearsal.out;
}

// The tools' conventions, one row a call: --version and help exit 0, a usage
// error 2 with the usage line, a refusal or a file that cannot be read 1 with
// the system's reason.
TEST_F(SimProgramTest, ToolsExitWithTheConventionalStatuses) {
    struct Row {
        fs::path tool;
        std::vector<std::string> arguments;
        int status;
        std::string said;  // part of standard output and error
    };
    const std::string missing = (dir_ / "missing" / "zorbel").string();
    std::vector<Row> rows = {
        {PackProgram, {"--version"}, 0, "zorbel-pack 0.1.0 (package format 1)\n"},
        {PackProgram, {"--help"}, 0, "Exit status: 0 done, 1 refused"},
        {PackProgram, {"fill", "--help"}, 0, "one of\n--profiles FILE"},
        {PackProgram, {}, 2, "usage: zorbel-pack fill PROGRAM"},
        {PackProgram,
         {"bogus"},
         2,
         "unknown command 'bogus' (fill, show or same-build)\nusage: zorbel-pack"},
        {PackProgram, {"show"}, 2, "PROGRAM is required"},
        {PackProgram, {"show", SimProgram.string(), "--bogus"}, 2, "usage: zorbel-pack"},
        {PackProgram,
         {"show", missing},
         1,
         "cannot read the program file: No such file or directory"},
        {PackProgram,
         {"fill", SimProgram.string(), (fs::path(ZORBEL_DEMO_DIR) / "demo-package.toml").string(),
          "--stand-in-profiles", "-o", missing},
         1,
         "cannot create the temporary file " + missing},
        {SimProgram, {"--version"}, 0, "zorbel-sim 0.1.0 (package format 1)\n"},
        {SimProgram, {"--help"}, 0, "4 a simulated drive ended bricked"},
        {SimProgram, {"--bogus"}, 2, "usage: zorbel-sim [--scenario FILE]"},
        {SimProgram, {"--front", "paper"}, 2, "usage: zorbel-sim"},
        {SimProgram, {"extra"}, 2, "usage: zorbel-sim"},
        {SimProgram,
         {"--scenario", missing},
         1,
         "cannot read the scenario file: No such file or directory"},
        {SimProgram, {"--scenario", dir_.string()}, 1, "scenario file: Is a directory"},
        {SimProgram, {"--trace", missing}, 1, "trace file " + missing + ": No such file"},
        {SimProgram, {"--answers", "maybe"}, 2, "usage: zorbel-sim"},
        {PackProgram,
         {"fill", SimProgram.string(), missing},
         1,
         "cannot read the package description: No such file or directory"},
        {PackProgram,
         {"fill", SimProgram.string(), dir_.string()},
         1,
         "cannot read the package description: Is a directory"},
        {PackProgram,
         {"fill", (fs::path(ZORBEL_DEMO_DIR) / "demo-package.toml").string(), SimProgram.string()},
         2,
         "is a program, not a package description: the program comes first\nusage:"},
    };
#ifdef ZORBEL_PROGRAM
    // The update program takes no arguments: it ends before it shows or asks anything.
    rows.push_back({ZORBEL_PROGRAM, {"--help"}, 2, "zorbel: takes no arguments"});
#endif
#ifdef ZORBEL_PROBE_PROGRAM
    const fs::path probe = ZORBEL_PROBE_PROGRAM;
    rows.push_back({probe, {"--version"}, 0, "zorbel-probe 0.1.0 (package format 1)\n"});
    rows.push_back({probe, {"--help"}, 0, "EXIT STATUS"});
    rows.push_back({probe, {"--bogus"}, 2, "usage: zorbel-probe [--flash-id]"});
    rows.push_back({probe, {"extra"}, 2, "usage: zorbel-probe"});
#endif
    for (const Row& row : rows) {
        const ProgramRun r = run(row.tool, row.arguments);
        const std::string said = r.out + r.err;
        SCOPED_TRACE(row.tool.filename().string() + " " +
                     (row.arguments.empty() ? std::string() : row.arguments.front()));
        EXPECT_EQ(r.status, row.status) << said;
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        if (row.status == 2) {
            EXPECT_EQ(r.out.find("Invalid F/W"), std::string::npos) << said;
        }
    }
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
