// The update sequence end to end on the simulated computer: workers on real
// threads, end events and timer ticks delivered when the test says so.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/StopSignals.h"
#include "engine/CommitVerdict.h"
#include "engine/ProgramFlash.h"
#include "engine/WorkerThread.h"
#include "tests/app/AppFixture.h"

namespace zorbel::testing {
namespace {

constexpr std::uint8_t OpInquiry = 0x12;
const std::string SuccessText = "Firmware has been updated successfully !";
const std::string FailureText = "Unable to flash firmware. Please contact with your vendor !";

// A fault that makes every read-back differ: the run fails, nothing is committed.
sim::FaultRule failingReadBack() {
    sim::FaultRule rule;
    rule.kind = sim::FaultKind::ReadCorruption;
    rule.opcode = 0x3C;
    return rule;
}

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// A drive that never answers: every command outlasts the host's time-out.
sim::FaultRule hangs(std::optional<std::uint8_t> opcode = std::nullopt) {
    sim::FaultRule rule;
    rule.kind = sim::FaultKind::Timeout;
    rule.opcode = opcode;
    return rule;
}

// The longest the commands to a drive that stops answering may wait in a whole
// run: one discovery time-out and one check time-out, each overrun by the
// simulator's one second.
constexpr std::chrono::seconds MuteDriveBound{DiscoveryCommandTimeout + 1 + 60 + 1};

class UpdateTest : public AppTest {
  protected:
    // The package's slot reaches the new revision, so the drive stays allowed.
    void keepAllowedAfterUpdate() { package.slot(0, 0, "1.00", "1.10", TestVendor, TestProduct); }

    // Virtual time the commands to a drive waited, in all.
    std::chrono::nanoseconds waitedOn(std::string_view id) {
        std::chrono::nanoseconds total{0};
        for (const sim::CommandRecord& command : drive(id).commands()) {
            total += command.duration;
        }
        return total;
    }

    // Waits (real time) until the drive has received its commit; the worker's
    // end event is then queued but not yet delivered.
    void awaitCommit(std::string_view id) {
        for (int i = 0; i < 6000 && drive(id).commits().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_FALSE(drive(id).commits().empty());
    }
};

// ---- manual update: progress display and completion ----

TEST_F(UpdateTest, ManualUpdateShowsProgressAndSucceeds) {
    keepAllowedAfterUpdate();
    addDrive("d1", 'E', OldRevision, 0);
    start();
    toolkit.clickUpdate();

    EXPECT_EQ(runObjectsCreated, 1);
    EXPECT_EQ(window->UpdateCount, 1);
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_NE(window->Devices[1], nullptr);
    EXPECT_NE(window->Workers[0], nullptr);
    EXPECT_TRUE(toolkit.timerEnabled());
    EXPECT_FALSE(toolkit.enabled(Control::cmdUpdate));
    EXPECT_FALSE(toolkit.enabled(Control::cmdClose));
    EXPECT_EQ(toolkit.fontColour(Control::lblMsg), FontColour::Maroon);
    EXPECT_EQ(toolkit.text(Control::lblMsg), "");  // no check ran
    EXPECT_EQ(toolkit.progressMinimum(), 0);
    EXPECT_EQ(toolkit.progressMaximum(), 330);
    EXPECT_EQ(toolkit.progressStep(), 1);

    EXPECT_EQ(toolkit.tick(), 1);
    EXPECT_EQ(toolkit.text(Control::lblPercent), "0 %");
    EXPECT_EQ(toolkit.text(Control::lblMsg), "Programming .");
    toolkit.tick(4);
    EXPECT_EQ(toolkit.text(Control::lblPercent), "1 %");  // 5 * 100 / 330
    EXPECT_EQ(toolkit.text(Control::lblMsg), "Programming .....");
    toolkit.tick(325);
    EXPECT_EQ(toolkit.progressPosition(), 330);
    EXPECT_EQ(toolkit.text(Control::lblPercent), "100 %");
    toolkit.tick();
    EXPECT_EQ(toolkit.text(Control::lblMsg), "Programming ..........");
    toolkit.tick(20);
    EXPECT_EQ(toolkit.progressPosition(), 330);
    EXPECT_EQ(toolkit.text(Control::lblPercent), "100 %");
    EXPECT_EQ(toolkit.text(Control::lblMsg), "Programming ..........");

    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    const DialogRecord& done = toolkit.dialogs()[0];
    EXPECT_EQ(done.kind, DialogKind::Information);
    EXPECT_EQ(done.caption, "Information");
    EXPECT_EQ(done.buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(done.text, SuccessText);
    const auto& shown = done.controls;
    EXPECT_EQ(shown[static_cast<std::size_t>(Control::lblMsg)].text, "Done.");
    EXPECT_EQ(shown[static_cast<std::size_t>(Control::lblMsg)].colour, FontColour::Navy);
    EXPECT_EQ(shown[static_cast<std::size_t>(Control::lblPercent)].text, "100 %");
    EXPECT_TRUE(shown[static_cast<std::size_t>(Control::cmdUpdate)].enabled);
    EXPECT_TRUE(shown[static_cast<std::size_t>(Control::cmdClose)].enabled);
    EXPECT_EQ(done.progressPosition, 330);
    EXPECT_FALSE(done.timerEnabled);

    const auto messages = toolkit.textHistory(Control::lblMsg);
    const auto inquiry = std::find(messages.begin(), messages.end(), "Inquiry ...");
    ASSERT_NE(inquiry, messages.end());
    EXPECT_EQ(*(inquiry + 1), "Done.");

    // Idle again, showing the drive's new revision.
    EXPECT_FALSE(toolkit.terminateRequested());
    EXPECT_TRUE(window->UpdateOk);
    EXPECT_EQ(window->Devices[1], nullptr);
    EXPECT_EQ(window->Workers[0], nullptr);
    EXPECT_FALSE(window->UpdateInProgress());
    EXPECT_EQ(toolkit.text(Control::lblMsg), "");
    EXPECT_EQ(toolkit.text(Control::lblPercent), "0 %");
    EXPECT_EQ(toolkit.progressPosition(), 0);
    EXPECT_EQ(toolkit.progressMaximum(), 330);
    EXPECT_EQ(toolkit.text(Control::lblOldFW), "1.10");
    EXPECT_EQ(toolkit.selectedListLine(), 0);
    EXPECT_EQ(toolkit.lines()[0].substr(toolkit.lines()[0].size() - 4), "1.10");
    EXPECT_TRUE(toolkit.enabled(Control::cmdUpdate));

    const auto commits = drive("d1").commits();
    ASSERT_EQ(commits.size(), 1u);
    EXPECT_TRUE(commits[0].good) << commits[0].why;
    EXPECT_EQ(commits[0].code, 0xA0);  // BOOTCODE 1
    EXPECT_FALSE(drive("d1").bricked());
}

TEST_F(UpdateTest, BarIsFullAtCompletionWhateverTheTicks) {
    addDrive("d1", 'E', OldRevision, 0);
    setOption(block::Option::BOOTCODE, '0');
    start();
    // Shutdown and sleep are held off from the first command of the update.
    std::atomic<int> uninhibited{0};
    host().setCommandHook(
        [&](std::span<const std::uint8_t>) { uninhibited += host().inhibited() ? 0 : 1; });
    toolkit.clickUpdate();
    toolkit.tick(3);
    EXPECT_EQ(toolkit.progressPosition(), 3);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].progressPosition, 330);
    EXPECT_EQ(toolkit.dialogs()[0].controls[static_cast<std::size_t>(Control::lblPercent)].text,
              "100 %");
    ASSERT_EQ(drive("d1").commits().size(), 1u);
    EXPECT_EQ(drive("d1").commits()[0].code, 0x80);  // BOOTCODE 0
    EXPECT_EQ(host().counters().inhibits, 1u);
    EXPECT_EQ(host().counters().inhibitReleases, 1u);
    EXPECT_EQ(uninhibited.load(), 0) << "a command of the update went out uninhibited";
}

// ---- what follows a successful update ----

struct OutcomeCase {
    const char* name;
    char reboot;
    char closeAp;
    sim::Platform platform;
    bool restartAccepted;
    bool restarts;
    bool ends;
};

class OutcomeTest : public UpdateTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(OutcomeTest, RestartEndOrIdle) {
    const OutcomeCase& c = GetParam();
    computer.platform = c.platform;
    computer.restartAccepted = c.restartAccepted;
    if (c.platform == sim::Platform::Win9x) {
        addAspiDrive("d1", OldRevision, 0);  // the 9x family reaches drives through ASPI only
    } else {
        addDrive("d1", 'E', OldRevision, 0);
    }
    setOption(block::Option::REBOOT, c.reboot);
    setOption(block::Option::CLOSEAP, c.closeAp);
    DialogStep step;
    step.whileOpen = [this] {
        EXPECT_TRUE(host().restartRequests().empty());  // only after the message
        EXPECT_FALSE(toolkit.terminateRequested());
        // The update is over: shutdown is no longer held off (nor our own restart).
        EXPECT_FALSE(host().inhibited());
    };
    toolkit.answer(step);
    start();
    toolkit.clickUpdate();
    ASSERT_TRUE(toolkit.waitForEndEvents(1));

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, SuccessText);
    const auto restarts = host().restartRequests();
    if (c.restarts) {
        EXPECT_EQ(restarts, std::vector<bool>{c.platform == sim::Platform::Nt});
    } else {
        EXPECT_TRUE(restarts.empty());
    }
    EXPECT_EQ(toolkit.terminateRequested(), c.ends);
}

INSTANTIATE_TEST_SUITE_P(
    Options, OutcomeTest,
    ::testing::Values(
        OutcomeCase{"StaysOpen", '0', '0', sim::Platform::Nt, true, false, false},
        OutcomeCase{"Restarts", '1', '0', sim::Platform::Nt, true, true, true},
        OutcomeCase{"RestartDigitTwo", '2', '0', sim::Platform::Nt, true, true, true},
        OutcomeCase{"RestartRefusedStillEnds", '1', '0', sim::Platform::Nt, false, true, true},
        OutcomeCase{"RestartOnWin9x", '1', '0', sim::Platform::Win9x, true, true, true},
        OutcomeCase{"Closes", '0', '1', sim::Platform::Nt, true, false, true},
        OutcomeCase{"RestartsAndCloses", '1', '1', sim::Platform::Nt, true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateTest, DriveRefusedAfterTheUpdateShowsTheRefusal) {
    addDrive("d1", 'E', OldRevision, 0);  // slot 1.00-1.09; the new firmware is 1.10
    start();
    toolkit.clickUpdate();
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, SuccessText);
    EXPECT_EQ(toolkit.selectedListLine(), 0);
    EXPECT_EQ(toolkit.text(Control::lblUpdateMsg), "This drive is not allowed to be updated.");
    EXPECT_EQ(toolkit.fontColour(Control::lblUpdateMsg), FontColour::Maroon);
    EXPECT_FALSE(toolkit.enabled(Control::cmdUpdate));
    EXPECT_FALSE(toolkit.visible(Control::lblOldFW));
    EXPECT_FALSE(toolkit.visible(Control::lblNewFW));
    EXPECT_TRUE(toolkit.enabled(Control::cmdClose));
    EXPECT_FALSE(toolkit.terminateRequested());
}

// ---- failure ----

TEST_F(UpdateTest, FailedDriveShowsTheErrorAfterReleasingRunObjects) {
    addDrive("d1", 'E', OldRevision, 0).faults.push_back(failingReadBack());
    DialogStep step;
    step.whileOpen = [this] {
        EXPECT_EQ(window->Devices[1], nullptr);
        EXPECT_FALSE(window->UpdateOk);
    };
    toolkit.answer(step);
    start();
    toolkit.clickUpdate();
    ASSERT_TRUE(toolkit.waitForEndEvents(1));

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    const DialogRecord& error = toolkit.dialogs()[0];
    EXPECT_EQ(error.kind, DialogKind::Error);
    EXPECT_EQ(error.caption, "Error");
    EXPECT_EQ(error.text, FailureText);
    EXPECT_TRUE(error.controls[static_cast<std::size_t>(Control::cmdUpdate)].enabled);
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_TRUE(drive("d1").commits().empty());
    EXPECT_FALSE(drive("d1").bricked());
}

// ---- the up-to-date question answered Yes ----

TEST_F(UpdateTest, UpToDateQuestionYesGoesOn) {
    keepAllowedAfterUpdate();
    setOption(block::Option::N2OMESSAGE, '1');
    addDrive("d1", 'E', NewRevision, 0);
    start();
    toolkit.answer(DialogAnswer::Yes);
    toolkit.clickUpdate();
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 2u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::WarningQuestion);
    EXPECT_EQ(toolkit.dialogs()[1].text, SuccessText);
}

TEST_F(UpdateTest, UpToDateDriveIsNotAskedAboutWithoutTheOption) {
    keepAllowedAfterUpdate();
    addDrive("d1", 'E', NewRevision, 0);
    start();
    toolkit.clickUpdate();
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, SuccessText);
}

TEST_F(UpdateTest, UpdateWorksOnceRunObjectsCanBeCreatedAgain) {
    addDrive("d1", 'E', OldRevision, 0);
    start();
    runObjectsFail = true;
    toolkit.clickUpdate();
    EXPECT_FALSE(window->UpdateInProgress());
    runObjectsFail = false;
    toolkit.clickUpdate();
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    EXPECT_TRUE(window->UpdateOk);
}

TEST_F(UpdateTest, NoWorkerThreadShowsTheFailure) {
    addDrive("d1", 'E', OldRevision, 0);
    start();
    setThreadCreationRefused(true);
    toolkit.clickUpdate();
    setThreadCreationRefused(false);
    EXPECT_EQ(window->RunningCount, 0);
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, FailureText);
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(commandsWithOpcode("d1", OpWriteBuffer), 0u);
    EXPECT_FALSE(window->UpdateInProgress());
}

// ---- the list during a manual update ----

TEST_F(UpdateTest, ListStaysDisabledAndTheProgrammedDriveIsRefreshed) {
    keepAllowedAfterUpdate();
    addDrive("d1", 'E', OldRevision, 0);
    addDrive("d2", 'F', OldRevision, 1);
    start();
    toolkit.clickUpdate();
    EXPECT_FALSE(toolkit.enabled(Control::cboDrives));
    toolkit.chooseLine(1);      // the user tries another line while d1 is programmed
    toolkit.selectListLine(1);  // a selection the window never heard of
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, SuccessText);
    EXPECT_TRUE(toolkit.enabled(Control::cboDrives));
    EXPECT_EQ(toolkit.selectedListLine(), 0);
    EXPECT_EQ(toolkit.lines()[0].substr(toolkit.lines()[0].size() - 4), "1.10");
    EXPECT_EQ(toolkit.text(Control::lblOldFW), "1.10");
    EXPECT_EQ(drive("d1").commits().size(), 1u);
    EXPECT_TRUE(drive("d2").commits().empty());
}

// ---- the drive programmed is the drive matched ----

// The letter comes to name another drive after start-up (one unplugged,
// another plugged in) that differs from the matched one in one identity field
// only; with and without the disc and tray check.
struct Swap {
    char chkdisc;
    std::string_view vendor, product, revision;
};
class SwappedDriveTest : public UpdateTest, public ::testing::WithParamInterface<Swap> {};

TEST_P(SwappedDriveTest, AnotherDriveBehindTheLetterIsNeitherWrittenNorEjected) {
    setOption(block::Option::CHKDISC, GetParam().chkdisc);
    addDrive("matched", 'E', OldRevision, 0);
    sim::DriveSpec& other = computer.addDrive("other");
    other.identity =
        sim::Identity::fromText(GetParam().vendor, GetParam().product, GetParam().revision);
    other.medium = true;
    DialogStep trayMoved;
    trayMoved.whileOpen = [this] {
        if (toolkit.dialogs().back().kind == DialogKind::Warning) {
            throw std::runtime_error("the check moved the tray of another drive");
        }
    };
    toolkit.answer(trayMoved);
    start();
    host().replaceDrive("E:", "other");
    toolkit.clickUpdate();
    ASSERT_TRUE(toolkit.waitForEndEvents(static_cast<std::size_t>(window->RunningCount)));

    ASSERT_FALSE(toolkit.dialogs().empty());
    EXPECT_EQ(toolkit.dialogs().back().text, FailureText);
    EXPECT_EQ(commandsWithOpcode("other", OpWriteBuffer), 0u);
    EXPECT_EQ(commandsWithOpcode("other", OpStartStopUnit), 0u);
    EXPECT_FALSE(drive("other").bricked());
}

INSTANTIATE_TEST_SUITE_P(DiscCheckAndField, SwappedDriveTest,
                         ::testing::Values(Swap{'0', TestVendor, "DVR-1", "1.05"},
                                           Swap{'1', TestVendor, "DVR-1", "1.05"},
                                           Swap{'0', "MERIDOY ", "DVR-1", OldRevision},
                                           Swap{'1', "MERIDOY ", "DVR-1", OldRevision},
                                           Swap{'0', TestVendor, "DVR-2", OldRevision}));

// ---- the run holds its drive ----

// Another program holds the first drive (a mounted disc, a burner): the hold
// is refused before its tray moves or anything is written; the second drive
// is updated all the same, and the update reports the failure.
TEST_F(UpdateTest, ADriveHeldElsewhereFailsBeforeItsTrayMovesAndTheOthersGoOn) {
    setOption(block::Option::AUTOMODE, '1');
    setOption(block::Option::CHKDISC, '1');
    addDrive("held", 'E', OldRevision, 0).medium = true;
    computer.letters.back().heldElsewhere = true;
    addDrive("free", 'F', OldRevision, 1);
    ::testing::internal::CaptureStderr();
    start();
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(toolkit.waitForEndEvents(static_cast<std::size_t>(window->RunningCount)));

    EXPECT_EQ(commandsWithOpcode("held", OpStartStopUnit), 0u);
    EXPECT_EQ(commandsWithOpcode("held", 0x1E), 0u);
    EXPECT_EQ(commandsWithOpcode("held", OpWriteBuffer), 0u);
    EXPECT_EQ(drive("free").commits().size(), 1u);
    EXPECT_EQ(host().counters().refusedClaims, 1u);
    EXPECT_EQ(host().counters().unheldChanges, 0u);
    EXPECT_EQ(std::count(stderrText.begin(), stderrText.end(), '\n'), 1) << stderrText;
    EXPECT_NE(stderrText.find("E:"), std::string::npos) << stderrText;
    EXPECT_NE(stderrText.find("nothing was written"), std::string::npos) << stderrText;
    ASSERT_FALSE(toolkit.dialogs().empty());
    EXPECT_EQ(toolkit.dialogs().back().text, FailureText);
    EXPECT_EQ(toolkit.dialogs().size(), 1u) << "no disc or tray message for the held drive";
}

// One drive behind two letters (both report its SCSI address): one line in
// the list, under the first letter, and one run and one commit.
TEST_F(UpdateTest, OneDriveBehindTwoLettersIsListedAndProgrammedOnce) {
    setOption(block::Option::AUTOMODE, '1');
    addDrive("d1", 'E', OldRevision, 3);
    sim::LetterSpec& alias = computer.addLetter('F', "d1");
    alias.address.targetId = 3;
    addDrive("d2", 'G', OldRevision, 4);
    start();
    ASSERT_TRUE(toolkit.waitForEndEvents(static_cast<std::size_t>(window->RunningCount)));

    ASSERT_EQ(toolkit.lines().size(), 2u);
    EXPECT_NE(toolkit.lines()[0].find("E:"), std::string::npos) << toolkit.lines()[0];
    EXPECT_NE(toolkit.lines()[1].find("G:"), std::string::npos) << toolkit.lines()[1];
    EXPECT_EQ(runObjectsCreated, 2);
    EXPECT_EQ(drive("d1").commits().size(), 1u);
    EXPECT_EQ(drive("d2").commits().size(), 1u);
    EXPECT_EQ(toolkit.dialogs().back().text, SuccessText);
}

// ---- termination signals ----

// SIGTERM while the image goes out (after the second block was sent) and during
// the settle pause before the commit, and the system's sleep there (the drive
// lost its profile): no block after it, no commit, the hold released, no
// dialog, exit status 1 and one line naming the cause.
class StopSignalTest : public UpdateTest, public ::testing::WithParamInterface<int> {
  protected:
    ~StopSignalTest() override { StopSignals::reset(); }
};

TEST_P(StopSignalTest, NoBlockAndNoCommitGoOutAfterTheSignal) {
    const bool duringSettle = GetParam() != 0;
    const int signal = GetParam() == 2 ? StopSignals::SystemSleep : 15;
    addDrive("d1", 'E', OldRevision, 0);
    start();
    std::atomic<int> blocks{0};
    std::atomic<int> blocksAtSignal{-1};
    const auto stop = [&] {
        if (blocksAtSignal.exchange(blocks.load()) == -1) {
            StopSignals::deliver(signal);
        }
    };
    host().setCommandHook([&](std::span<const std::uint8_t> cdb) {
        if (cdb[0] == OpWriteBuffer && cdb[9] == 0x00 && cdb[6] == 0x00 && cdb[7] == 0x40 &&
            ++blocks == 2 && !duringSettle) {
            stop();
        }
    });
    host().setSleepHook([&](std::uint32_t) {
        if (duringSettle && blocks.load() == TestImageSize / 16384) {
            stop();
        }
    });
    ::testing::internal::CaptureStderr();
    toolkit.clickUpdate();
    ASSERT_TRUE(toolkit.waitForEndEvents(2));  // the signal's event, then the worker's end
    const std::string stderrText = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(blocks.load(), blocksAtSignal.load()) << "no block after the signal";
    EXPECT_EQ(blocks.load(), duringSettle ? TestImageSize / 16384 : 2);
    EXPECT_TRUE(drive("d1").commits().empty());
    EXPECT_FALSE(drive("d1").bricked());
    EXPECT_EQ(window->Devices[1], nullptr) << "the hold is released";
    EXPECT_TRUE(toolkit.dialogs().empty());
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitUpdateFailed);
    EXPECT_EQ(stderrText, "zorbel: stopped by " + StopSignals::name(signal) +
                              ": no image block and no commit went to a drive after it.\n");
    EXPECT_EQ(StopSignals::name(signal), signal == 15 ? "SIGTERM" : "the system's sleep");
}

// 0: SIGTERM during the transfer; 1: during the settle pause; 2: the system's
// sleep during the settle pause.
INSTANTIATE_TEST_SUITE_P(TransferOrSettle, StopSignalTest, ::testing::Values(0, 1, 2));

// A stop after the last commit changes nothing the drives did: they are still
// asked, the ones that came back count as updated, and one line says when the
// stop came.
TEST_F(UpdateTest, StopAfterTheLastCommitKeepsTheVerdict) {
    addDrive("d1", 'E', OldRevision, 0);
    start();
    ::testing::internal::CaptureStderr();
    toolkit.clickUpdate();
    awaitCommit("d1");
    StopSignals::deliver(2);
    const bool ended = toolkit.waitForEndEvents(1);  // the completion takes the signal's event
    const std::string err = ::testing::internal::GetCapturedStderr();
    StopSignals::reset();
    ASSERT_TRUE(ended);
    EXPECT_TRUE(toolkit.dialogs().empty());
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitNothingFailed);
    EXPECT_EQ(err,
              "zorbel: stopped by SIGINT after the last commit: every drive was still asked "
              "whether it came back.\n");
}

// Outside an update a signal ends the program as Close would: with the exit
// status it has.
TEST_F(UpdateTest, SignalOutsideAnUpdateEndsTheProgramAsCloseWould) {
    addDrive("d1", 'E', OldRevision, 0);
    start();
    StopSignals::deliver(1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    StopSignals::reset();
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitNothingFailed);
    EXPECT_EQ(runObjectsCreated, 0);
    EXPECT_EQ(commandsWithOpcode("d1", OpWriteBuffer), 0u);
}

// ---- external power ----

struct PowerCase {
    const char* what;
    PowerSource source;
    bool battery;
    bool automatic;
    bool updates;  // false: a warning, one line on stderr, exit 1, nothing sent
};

class PowerTest : public UpdateTest, public ::testing::WithParamInterface<PowerCase> {};

// Only the battery alone keeps an update from starting, in automatic mode
// too; the drive then receives nothing beyond start-up's identification.
TEST_P(PowerTest, AnUpdateStartsOnlyOnExternalPower) {
    const PowerCase& c = GetParam();
    computer.power.source = c.source;
    computer.power.batteryPresent = c.battery;
    computer.power.batteryPercent = c.battery ? 3 : -1;
    if (c.automatic) {
        setOption(block::Option::AUTOMODE, '1');
    }
    addDrive("d1", 'E', OldRevision, 0);
    ::testing::internal::CaptureStderr();
    start();
    if (!c.automatic) {
        toolkit.clickUpdate();
    }
    if (c.updates) {
        ASSERT_TRUE(toolkit.waitForEndEvents(1));
    }
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(drive("d1").commits().size(), c.updates ? 1u : 0u) << c.what;
    if (c.updates) {
        EXPECT_EQ(toolkit.dialogs().back().text, SuccessText) << c.what;
        return;
    }
    for (const sim::CommandRecord& command : drive("d1").commands()) {
        EXPECT_TRUE(command.packet[0] == 0x00 || command.packet[0] == OpInquiry)
            << c.what << ": opcode " << int(command.packet[0]);
    }
    EXPECT_EQ(runObjectsCreated, 0) << c.what;
    ASSERT_EQ(dialogsOf(DialogKind::Warning).size(), 1u) << c.what;
    EXPECT_EQ(dialogsOf(DialogKind::Warning)[0]->text,
              "No AC power detected !\nPlease connect the AC adapter before updating the "
              "firmware.");
    EXPECT_EQ(stderrText,
              "zorbel: the computer is on its battery alone (3 %): connect the AC adapter, then "
              "update again; no drive was touched.\n");
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitUpdateFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Computers, PowerTest,
    ::testing::Values(PowerCase{"battery only", PowerSource::Battery, true, false, false},
                      PowerCase{"battery only, automatic", PowerSource::Battery, true, true, false},
                      PowerCase{"battery and adapter", PowerSource::External, true, false, true},
                      PowerCase{"a desktop", PowerSource::External, false, true, true},
                      PowerCase{"cannot tell", PowerSource::Unknown, true, false, true}),
    [](const ::testing::TestParamInfo<PowerCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c != '\0'; ++c) {
            name += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
        }
        return name;
    });

// The adapter pulled after k commands of the run (during the image, and in
// the settle pause once the whole image was read back): no block goes out
// after it and no commit; the failure message, exit status 1, the reason on
// standard error.
class PowerLostTest : public UpdateTest, public ::testing::WithParamInterface<int> {};

TEST_P(PowerLostTest, NoBlockAndNoCommitAfterTheLoss) {
    const int k = GetParam();  // image blocks out before the loss
    addDrive("d1", 'E', OldRevision, 0);
    start();
    std::atomic<int> blocks{0};
    std::atomic<int> blocksAtLoss{-1};
    const auto pull = [&] {
        if (blocksAtLoss.exchange(blocks.load()) == -1) {
            sim::PowerSpec battery;
            battery.source = PowerSource::Battery;
            battery.batteryPresent = true;
            host().setPower(battery);
        }
    };
    host().setCommandHook([&](std::span<const std::uint8_t> cdb) {
        if (cdb[0] == OpWriteBuffer && cdb[9] == 0x00 && cdb[7] == 0x40 && ++blocks == k) {
            pull();
        }
    });
    host().setSleepHook([&](std::uint32_t) {
        if (blocks.load() == TestImageSize / 16384) {
            pull();  // the settle pause before the commit
        }
    });
    ::testing::internal::CaptureStderr();
    toolkit.clickUpdate();
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    const std::string stderrText = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(blocks.load(), blocksAtLoss.load()) << "no block after the loss";
    EXPECT_TRUE(drive("d1").commits().empty());
    EXPECT_FALSE(drive("d1").bricked());
    EXPECT_EQ(toolkit.dialogs().back().text, FailureText);
    EXPECT_EQ(window->ExitStatus(), ExitUpdateFailed);
    EXPECT_NE(stderrText.find("zorbel: external power was lost during the update (the computer "
                              "is on its battery alone): no image block and no commit"),
              std::string::npos)
        << stderrText;
}

INSTANTIATE_TEST_SUITE_P(AtBlockOrWholeImage, PowerLostTest,
                         ::testing::Values(2, TestImageSize / 16384 + 1));

// ---- automatic mode ----

TEST_F(UpdateTest, AutomaticModeProgramsEveryAllowedDriveAndReportsOneFailureOnce) {
    setOption(block::Option::AUTOMODE, '1');
    // The failing drive comes first: a later success must not hide its failure.
    addDrive("failing", 'E', "1.01", 0).faults.push_back(failingReadBack());
    sim::DriveSpec& refused = addDrive("refused", 'F', OldRevision, 1);
    refused.identity = sim::Identity::fromText("OTHERCO", "WRITER 16X", "1.00");
    addDrive("a", 'G', OldRevision, 2);
    start();

    // The update started during start-up, before the window is shown.
    EXPECT_TRUE(toolkit.systemMenuCloseRemoved());
    EXPECT_EQ(runObjectsCreated, 2);
    EXPECT_EQ(window->UpdateCount, 2);
    EXPECT_EQ(window->RunningCount, 2);
    EXPECT_TRUE(toolkit.timerEnabled());
    EXPECT_FALSE(toolkit.enabled(Control::cmdClose));
    const std::size_t inquiriesBefore = commandsWithOpcode("refused", OpInquiry);

    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    EXPECT_TRUE(toolkit.dialogs().empty());  // one worker still runs
    EXPECT_EQ(window->RunningCount, 1);
    EXPECT_NE(window->Devices[1], nullptr);
    EXPECT_NE(window->Devices[2], nullptr);

    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::Error);
    EXPECT_EQ(toolkit.dialogs()[0].text, FailureText);
    EXPECT_TRUE(toolkit.terminateRequested());

    EXPECT_EQ(drive("a").commits().size(), 1u);
    EXPECT_TRUE(drive("failing").commits().empty());
    EXPECT_EQ(commandsWithOpcode("refused", OpWriteBuffer), 0u);
    EXPECT_TRUE(drive("refused").commits().empty());
    // Every drive is identified anew after the update, the refused one too.
    EXPECT_GT(commandsWithOpcode("refused", OpInquiry), inquiriesBefore);
    EXPECT_EQ(toolkit.lines()[2].substr(toolkit.lines()[2].size() - 4), "1.10");
}

TEST_F(UpdateTest, WorkerEndingDuringALaterDrivesCheckOnlyCountsDown) {
    setOption(block::Option::AUTOMODE, '1');
    setOption(block::Option::CHKDISC, '1');
    addDrive("empty", 'E', OldRevision, 0);
    addDrive("loaded", 'F', OldRevision, 1).medium = true;

    DialogStep step;
    step.endEventsBefore = 1;  // the first drive's worker ends while the dialog is open
    step.whileOpen = [this] {
        TZorbelMain* w = liveWindow();
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->RunningCount, 0);
        EXPECT_TRUE(w->UpdateInProgress());
        EXPECT_NE(w->Devices[1], nullptr);
        EXPECT_NE(w->Devices[2], nullptr);
        EXPECT_FALSE(contains(toolkit.textHistory(Control::lblMsg), "Inquiry ..."));
        drive("loaded").removeMedium();
    };
    toolkit.answer(step);
    start();

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, "Please remove the disc.");
    EXPECT_EQ(toolkit.dialogs()[0].endEventsDelivered, 1u);
    EXPECT_EQ(window->RunningCount, 1);
    EXPECT_EQ(window->UpdateCount, 2);
    EXPECT_TRUE(toolkit.timerEnabled());

    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 2u);
    EXPECT_EQ(toolkit.dialogs()[1].text, SuccessText);
    EXPECT_EQ(drive("empty").commits().size(), 1u);
    EXPECT_EQ(drive("loaded").commits().size(), 1u);
    EXPECT_FALSE(window->UpdateInProgress());
}

// ---- the disc and tray check ----

TEST_F(UpdateTest, EmptyDriveWithClosedTrayPassesAtOnce) {
    setOption(block::Option::CHKDISC, '1');
    addDrive("d1", 'E', OldRevision, 0);
    start();
    toolkit.clickUpdate();
    EXPECT_EQ(window->RunningCount, 1);
    EXPECT_EQ(toolkit.textHistory(Control::lblMsg).back(), "Check Disc & Tray Status...");
    EXPECT_EQ(toolkit.text(Control::lblMsg), "Check Disc & Tray Status...");
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, SuccessText);
    const auto commands = drive("d1").commands();
    EXPECT_TRUE(std::none_of(commands.begin(), commands.end(), [](const sim::CommandRecord& c) {
        return c.packet[0] == OpStartStopUnit && (c.packet[4] & 0x02) != 0;  // eject or load
    }));
}

TEST_F(UpdateTest, EjectableDiscIsAskedForUntilRemoved) {
    setOption(block::Option::CHKDISC, '1');
    addDrive("d1", 'E', OldRevision, 0).medium = true;
    toolkit.answer(DialogAnswer::Ok);  // the user leaves the disc on the tray
    DialogStep removed;
    removed.whileOpen = [this] {
        EXPECT_TRUE(drive("d1").trayOpen());
        drive("d1").removeMedium();
    };
    toolkit.answer(removed);
    start();
    toolkit.clickUpdate();

    ASSERT_EQ(toolkit.dialogs().size(), 2u);
    for (const auto& dialog : toolkit.dialogs()) {
        EXPECT_EQ(dialog.kind, DialogKind::Warning);
        EXPECT_EQ(dialog.caption, "Warning");
        EXPECT_EQ(dialog.buttons, std::vector<std::string>{"OK"});
        EXPECT_EQ(dialog.text, "Please remove the disc.");
    }
    EXPECT_EQ(toolkit.textHistory(Control::lblMsg),
              (std::vector<std::string>{"", "Check Disc & Tray Status...", "Tray Out ...",
                                        "Tray In ...", "Waiting Drive Ready ...", "Tray Out ...",
                                        "Tray In ...", "Waiting Drive Ready ..."}));
    EXPECT_EQ(window->RunningCount, 1);
    EXPECT_FALSE(drive("d1").trayOpen());
    // The tray moved only while the run held the drive.
    EXPECT_EQ(host().counters().claims, 1u);
    EXPECT_EQ(host().counters().unheldChanges, 0u);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    EXPECT_EQ(toolkit.dialogs().back().text, SuccessText);
}

TEST_F(UpdateTest, LockedTrayAsksToRemoveTheDiscManually) {
    setOption(block::Option::CHKDISC, '1');
    sim::DriveSpec& spec = addDrive("d1", 'E', OldRevision, 0);
    spec.medium = true;
    spec.trayLocked = true;
    DialogStep manual;
    manual.whileOpen = [this] {
        drive("d1").setTrayLocked(false);
        drive("d1").removeMedium();
    };
    toolkit.answer(manual);
    start();
    toolkit.clickUpdate();

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::Warning);
    EXPECT_EQ(toolkit.dialogs()[0].text,
              "Disc detected in drive. Unable to eject the disc , maybe locked by other "
              "program\n\nPlease remove the disc manually.");
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    EXPECT_EQ(toolkit.dialogs().back().text, SuccessText);
}

TEST_F(UpdateTest, TrayLeftOpenIsAskedToBePushedIn) {
    setOption(block::Option::CHKDISC, '1');
    addDrive("d1", 'E', OldRevision, 0).trayOpen = true;
    DialogStep pushed;
    pushed.whileOpen = [this] { drive("d1").setTrayOpen(false); };
    toolkit.answer(pushed);
    start();
    // The drive cannot pull its tray in by itself.
    sim::FaultRule noLoad;
    noLoad.kind = sim::FaultKind::Sense;
    noLoad.opcode = OpStartStopUnit;
    noLoad.nth = 1;
    noLoad.sense = sim::sense::InvalidFieldInCdb;
    drive("d1").addFault(noLoad);
    toolkit.clickUpdate();

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::Warning);
    EXPECT_EQ(toolkit.dialogs()[0].text, "Please push the tray in.");
    EXPECT_FALSE(contains(toolkit.textHistory(Control::lblMsg), "Tray Out ..."));
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    EXPECT_EQ(toolkit.dialogs().back().text, SuccessText);
}

// A drive that never passes the check fails alone: after DiscCheckRounds
// rounds of asking, or at once when it stops answering (one check time-out,
// whichever command hangs). The other drive is programmed and the completion
// reports the failure.
struct StuckCase {
    const char* name;
    std::optional<std::uint8_t> hangsOn;  // the command it stops answering after start-up
    std::size_t checkDialogs;
};

void PrintTo(const StuckCase& c, std::ostream* out) {
    *out << c.name;
}

class StuckCheckTest : public UpdateTest, public ::testing::WithParamInterface<StuckCase> {};

TEST_P(StuckCheckTest, ThatDriveFailsAndTheOtherGoesOn) {
    const StuckCase& c = GetParam();
    setOption(block::Option::AUTOMODE, '1');
    setOption(block::Option::CHKDISC, '1');
    setOption(block::Option::WARNING, '1');
    addDrive("stuck", 'E', OldRevision, 0).medium = !c.hangsOn;  // the user never takes it out
    addDrive("good", 'F', OldRevision, 1);
    DialogStep notice;
    notice.answer = DialogAnswer::Yes;
    notice.whileOpen = [this, &c] {
        if (c.hangsOn) {
            drive("stuck").addFault(hangs(*c.hangsOn));
        }
    };
    toolkit.answer(notice);
    for (std::size_t i = 0; i < c.checkDialogs; ++i) {
        toolkit.answer(DialogAnswer::Ok);
    }
    DialogStep oneTooMany;
    oneTooMany.whileOpen = [this] {
        if (toolkit.dialogs().back().kind == DialogKind::Warning) {
            throw std::runtime_error("the disc and tray check asks for ever");
        }
    };
    toolkit.answer(oneTooMany);
    start();

    EXPECT_EQ(toolkit.dialogs().size(), 1 + c.checkDialogs);
    EXPECT_EQ(window->UpdateCount, 2);
    EXPECT_EQ(window->RunningCount, 1);
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    EXPECT_EQ(toolkit.dialogs().back().text, FailureText);
    EXPECT_EQ(commandsWithOpcode("stuck", OpWriteBuffer), 0u);
    EXPECT_EQ(drive("good").commits().size(), 1u);
    EXPECT_LE(waitedOn("stuck"), MuteDriveBound);
}

INSTANTIATE_TEST_SUITE_P(WayOut, StuckCheckTest,
                         ::testing::Values(StuckCase{"DiscNeverRemoved", std::nullopt, 5},
                                           StuckCase{"StopsAnsweringTestUnitReady",
                                                     std::uint8_t{0x00}, 0},
                                           StuckCase{"StopsAnsweringInquiry", OpInquiry, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// One drive never answers anything, beside one the package fits: whether the
// update is started by hand or by itself, with the disc check, the mute drive
// costs one discovery time-out and one check time-out at most, and the other
// drive is updated.
class MuteDriveTest : public UpdateTest, public ::testing::WithParamInterface<char> {};

TEST_P(MuteDriveTest, CostsBoundedTimeAndTheOtherIsUpdated) {
    setOption(block::Option::AUTOMODE, GetParam());
    setOption(block::Option::CHKDISC, '1');
    keepAllowedAfterUpdate();
    addDrive("mute", 'D', OldRevision, 0).faults.push_back(hangs());
    addDrive("good", 'E', OldRevision, 1);
    start();
    if (GetParam() == '0') {
        toolkit.clickUpdate();
    }
    ASSERT_TRUE(toolkit.waitForEndEvents(1));

    ASSERT_FALSE(toolkit.dialogs().empty());
    EXPECT_EQ(toolkit.dialogs().back().text, SuccessText);
    EXPECT_EQ(window->ExitStatus(), ExitNothingFailed);
    EXPECT_EQ(drive("good").commits().size(), 1u);
    EXPECT_LE(waitedOn("mute"), MuteDriveBound);
}

INSTANTIATE_TEST_SUITE_P(Modes, MuteDriveTest, ::testing::Values('0', '1'), [](const auto& info) {
    return std::string(info.param == '0' ? "Manual" : "Automatic");
});

// ---- a drive that falls silent during its run ----

// A drive falls silent at one step of its run (every command of that kind from
// there on outlasts its time-out): the run costs the bound of that step's
// command, overrun by the simulator's second, beside the few seconds a good run
// takes on this clock, and never more than the commit's bound (README's figure).
struct SilentCase {
    const char* name;
    std::optional<std::uint8_t> opcode;  // none: every command, from after the commit on
    std::optional<std::uint8_t> code;    // WRITE BUFFER's code
    std::uint64_t nth;                   // the first one that gets no answer
    std::uint32_t bound;                 // seconds
};

class SilentDriveTest : public UpdateTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentDriveTest, CostsTheBoundOfItsStepAndNoFurtherPass) {
    const SilentCase& c = GetParam();
    addDrive("d1", 'E', OldRevision, 0);
    start();
    sim::FaultRule silent = hangs(c.opcode);
    silent.bufferCode = c.code;
    silent.nth = c.nth;
    silent.times = 0;
    const auto started = host().clock().now();
    if (c.opcode) {
        drive("d1").addFault(silent);
        toolkit.clickUpdate();
    } else {
        toolkit.clickUpdate();
        awaitCommit("d1");
        drive("d1").addFault(silent);
    }
    ASSERT_TRUE(toolkit.waitForEndEvents(1));
    const auto took = host().clock().now() - started;

    EXPECT_EQ(toolkit.dialogs().back().text, FailureText);
    EXPECT_EQ(window->ExitStatus(), ExitUpdateFailed);
    EXPECT_EQ(drive("d1").commits().size(), c.opcode ? 0u : 1u);
    constexpr auto GoodRun = std::chrono::seconds(10);
    EXPECT_LE(took, std::chrono::seconds(c.bound + 1) + GoodRun);
    EXPECT_LE(took, std::chrono::seconds(CommitCommandTimeout + 1) + GoodRun);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SilentDriveTest,
    ::testing::Values(
        SilentCase{"IdentityCheck", OpInquiry, std::nullopt, 1, IdentityCommandTimeout},
        SilentCase{"Profile", OpWriteBuffer, std::uint8_t{0x7F}, 1, PrepareCommandTimeout},
        SilentCase{"ThirdBlock", OpWriteBuffer, std::uint8_t{0x00}, 3, BlockCommandTimeout},
        SilentCase{"ThirdReadBack", std::uint8_t{0x3C}, std::nullopt, 3, BlockCommandTimeout},
        SilentCase{"Commit", OpWriteBuffer, std::uint8_t{0xA0}, 1, CommitCommandTimeout},
        SilentCase{"AfterTheCommit", std::nullopt, std::nullopt, 0,
                   static_cast<std::uint32_t>(RestartWaitSeconds)}),
    [](const auto& info) { return std::string(info.param.name); });

// Sixteen drives silent after their commits are waited for side by side: one
// bound for all of them, not one each.
TEST_F(UpdateTest, SixteenDrivesSilentAfterTheirCommitsCostOneBound) {
    setOption(block::Option::AUTOMODE, '1');
    for (int i = 0; i < MaxDrives; ++i) {
        addDrive("d" + std::to_string(i), static_cast<char>('D' + i), OldRevision,
                 static_cast<std::uint8_t>(i));
    }
    start();
    for (int i = 0; i < MaxDrives; ++i) {
        awaitCommit("d" + std::to_string(i));
        drive("d" + std::to_string(i)).addFault(hangs());
    }
    const auto committed = host().clock().now();
    ::testing::internal::CaptureStderr();
    const bool ended = toolkit.waitForEndEvents(MaxDrives);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), MaxDrives) << err;
    EXPECT_EQ(window->ExitStatus(), ExitUpdateFailed);
    EXPECT_LE(host().clock().now() - committed,
              std::chrono::seconds(static_cast<int>(RestartWaitSeconds) + 2));
}

// ---- the drive's own word after its commit ----

struct AfterCommitCase {
    const char* name;
    bool succeeds;
    const char* stderrText;  // part of the one line naming the drive; empty: no line
    std::function<void(sim::DriveSpec&, sim::LetterSpec&)> describe;
    // Done once the commit has reached the drive, before the completion.
    std::function<void(UpdateTest&, sim::SimHost&)> afterCommit;
};

// From the commit on, drive d1 answers TEST UNIT READY with `sense`, `times`
// times (0: always).
std::function<void(UpdateTest&, sim::SimHost&)> testUnitReadyAnswers(sim::Sense sense,
                                                                     std::uint64_t times) {
    return [=](UpdateTest&, sim::SimHost& host) {
        sim::FaultRule rule{sim::FaultKind::Sense, std::uint8_t{0x00}};
        rule.sense = sense;
        rule.times = times;
        host.findDrive("d1")->addFault(rule);
    };
}

void PrintTo(const AfterCommitCase& c, std::ostream* out) {
    *out << c.name;
}

class AfterCommitTest : public UpdateTest, public ::testing::WithParamInterface<AfterCommitCase> {};

TEST_P(AfterCommitTest, FinalMessageAndStatusFollowTheDrive) {
    const AfterCommitCase& c = GetParam();
    keepAllowedAfterUpdate();
    sim::DriveSpec& spec = addDrive("d1", 'E', OldRevision, 0);
    if (c.describe) {
        c.describe(spec, computer.letters.back());
    }
    computer.addDrive("other").identity = sim::Identity::fromText("OTHERCO", "WRITER 16X", "1.10");
    computer.addDrive("sibling").identity = sim::Identity::fromText(TestVendor, "DVR-2", "1.10");
    start();
    ::testing::internal::CaptureStderr();
    toolkit.clickUpdate();
    awaitCommit("d1");
    if (c.afterCommit) {
        c.afterCommit(*this, host());
    }
    const std::size_t before = drive("d1").commands().size();
    const bool ended = toolkit.waitForEndEvents(1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, c.succeeds ? SuccessText : FailureText);
    EXPECT_EQ(window->ExitStatus(), c.succeeds ? ExitNothingFailed : ExitUpdateFailed);
    if (*c.stderrText == '\0') {
        EXPECT_EQ(err, "");
    } else {
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find("drive E: (MERIDOX DVR-1 1.00)"), std::string::npos) << err;
        EXPECT_NE(err.find(c.stderrText), std::string::npos) << err;
    }
    // However the drive answers, the wait for it is bounded.
    std::chrono::nanoseconds afterwards{0};
    const auto commands = drive("d1").commands();
    for (std::size_t i = before; i < commands.size(); ++i) {
        afterwards += commands[i].duration;
    }
    EXPECT_LE(afterwards, std::chrono::seconds(121 + 2 * (DiscoveryCommandTimeout + 1)));
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, AfterCommitTest,
    ::testing::Values(
        AfterCommitCase{"NewRevision", true, "", nullptr, nullptr},
        AfterCommitCase{"OldRevisionUntilRestart", true, "takes effect after a restart",
                        [](sim::DriveSpec& d, sim::LetterSpec&) { d.newRevision.reset(); },
                        nullptr},
        AfterCommitCase{
            "BricksAtTheCommit", false, "answered no identity",
            [](sim::DriveSpec& d, sim::LetterSpec&) { d.imageSize = 2 * TestImageSize; }, nullptr},
        AfterCommitCase{
            "ThirdRevision", false, "\"MERIDOX DVR-1 2.00\"",
            [](sim::DriveSpec& d, sim::LetterSpec&) { d.newRevision = sim::padded<4>("2.00"); },
            nullptr},
        AfterCommitCase{"AnotherIdentity", false, "\"OTHERCO WRITER 16X 1.10\"", nullptr,
                        [](UpdateTest&, sim::SimHost& host) { host.replaceDrive("E:", "other"); }},
        AfterCommitCase{
            "NeverAnswersAgain", false, "did not come back", nullptr,
            [](UpdateTest&, sim::SimHost& host) { host.findDrive("d1")->addFault(hangs()); }},
        AfterCommitCase{"StaysBecomingReady", false, "only sense 02/04/01",
                        [](sim::DriveSpec& d, sim::LetterSpec&) { d.restartPolls = -1; }, nullptr},
        AfterCommitCase{"OldRevisionWithoutARestart", false, "without showing that it restarted",
                        [](sim::DriveSpec& d, sim::LetterSpec&) {
                            d.newRevision.reset();
                            d.restartAttention = false;
                        },
                        nullptr},
        AfterCommitCase{"OldRevisionAfterBecomingReady", true, "takes effect after a restart",
                        [](sim::DriveSpec& d, sim::LetterSpec&) {
                            d.newRevision.reset();
                            d.restartAttention = false;
                        },
                        testUnitReadyAnswers(sim::sense::BecomingReady, 2)},
        AfterCommitCase{"TestUnitReadyErrorWithAGoodInquiry", false,
                        "TEST UNIT READY with sense 04/44/00", nullptr,
                        testUnitReadyAnswers(sim::sense::InternalFailure, 0)},
        AfterCommitCase{
            "SameVendorAnotherProduct", false, "\"MERIDOX DVR-2 1.10\"", nullptr,
            [](UpdateTest&, sim::SimHost& host) { host.replaceDrive("E:", "sibling"); }},
        AfterCommitCase{"ComesBackUnderANewNode", true, "",
                        [](sim::DriveSpec&, sim::LetterSpec& l) { l.movesAfterCommit = "G:\\"; },
                        nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the program entry with its message loop ----

TEST_F(UpdateTest, ProgramEntryRunsAnAutomaticUpdateToItsEnd) {
    setOption(block::Option::AUTOMODE, '1');
    setOption(block::Option::CLOSEAP, '1');
    addDrive("d1", 'E', OldRevision, 0);
    addDrive("d2", 'F', OldRevision, 1);
    packageScope = std::make_unique<ScopedPackageOverride>(package.bytes());
    installed = std::make_unique<sim::InstalledComputer>(computer);
    toolkit.setLoopIdleTimeout(std::chrono::seconds(60));

    EXPECT_EQ(RunZorbel(toolkit), 0);
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, SuccessText);
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(toolkit.form(), nullptr);
    EXPECT_EQ(drive("d1").commits().size(), 1u);
    EXPECT_EQ(drive("d2").commits().size(), 1u);
    EXPECT_EQ(host().counters().openHandles, 0u);
}

}  // namespace
}  // namespace zorbel::testing
