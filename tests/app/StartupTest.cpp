// The main window's start-up, drive list and selection on the simulated
// computer: the ways start-up ends, the caption, the notice, the list lines,
// the refusal display, and the Update paths that start no worker.
#include <stdexcept>
#include <string>
#include <vector>

#include "device/MessagePump.h"
#include "tests/app/AppFixture.h"

namespace zorbel::testing {
namespace {

const std::string MeridoxName = "MERIDOX DVR-1           ";  // vendor 8 + product 16
const std::string NoMatchPrefix =
    "No matched drive detected !\nThis utility is only for MERIDOX DVR-1 drive.\n\n"
    "Detected drives :\n";

// ---- start-up that ends before any drive is touched ----

TEST_F(AppTest, NoFirmwareEndsBeforeTheDriveObjectExists) {
    addDrive("d1", 'E', OldRevision, 0);
    setOption(block::Option::HOW_MANY_BIN, '0');
    start();

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    const DialogRecord& dialog = toolkit.dialogs()[0];
    EXPECT_EQ(dialog.kind, DialogKind::Error);
    EXPECT_EQ(dialog.caption, "Error");
    EXPECT_EQ(dialog.text, "No F/W in executable !");
    EXPECT_EQ(dialog.buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(listObjectsCreated, 0);
    EXPECT_EQ(host().counters().opens, 0u);
    EXPECT_EQ(drive("d1").commandCount(), 0u);
    EXPECT_EQ(toolkit.text(Control::lblPercent), "100%");  // the later steps did not run
    EXPECT_FALSE(toolkit.systemMenuCloseRemoved());
}

struct InvalidPackageCase {
    const char* name;
    const char* howManyBin;
    unsigned bin;
    const char* start;
    const char* size;
};

class InvalidPackageTest : public AppTest,
                           public ::testing::WithParamInterface<InvalidPackageCase> {};

TEST_P(InvalidPackageTest, EndsWithTheInvalidFirmwareMessageBeforeAnyDrive) {
    const InvalidPackageCase& c = GetParam();
    addDrive("d1", 'E', OldRevision, 0);
    package.option(block::Option::HOW_MANY_BIN, c.howManyBin);
    package.bin(c.bin, c.start, c.size);
    start();

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::Error);
    EXPECT_EQ(toolkit.dialogs()[0].text, "Invalid F/W in executable !");
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(listObjectsCreated, 0);
    EXPECT_EQ(host().counters().opens, 0u);
    EXPECT_EQ(drive("d1").commandCount(), 0u);
}

TEST_F(AppTest, RealProgramRefusesItsStandInProfilesBeforeAnyDrive) {
    addDrive("d1", 'E', OldRevision, 0);
    SetStandInProfilesAccepted(false);  // as the program for real drives runs
    start();

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::Error);
    EXPECT_EQ(toolkit.dialogs()[0].text, "Invalid F/W in executable !");
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitRefused);
    EXPECT_EQ(listObjectsCreated, 0);
    EXPECT_EQ(host().counters().opens, 0u);
    EXPECT_EQ(drive("d1").commandCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, InvalidPackageTest,
    ::testing::Values(
        InvalidPackageCase{"FiveBins", "HOW_MANY_BIN=5", 0, "0000000000", "0000065536"},
        InvalidPackageCase{"SizeNotWholeBlocks", "HOW_MANY_BIN=1", 0, "0000000000", "0000010000"},
        InvalidPackageCase{"SizeZero", "HOW_MANY_BIN=1", 0, "0000000000", "0000000000"},
        InvalidPackageCase{"PastTheBank", "HOW_MANY_BIN=1", 0, "0001040384", "0000016384"},
        InvalidPackageCase{"SecondBinBroken", "HOW_MANY_BIN=2", 1, "0000000000", "0000000100"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppTest, DriveObjectThatCannotBeCreatedShowsTheSystemMessageBox) {
    addDrive("d1", 'E', OldRevision, 0);
    listObjectFails = true;
    start();

    ASSERT_EQ(toolkit.systemBoxes().size(), 1u);
    EXPECT_EQ(toolkit.systemBoxes()[0].text, "Device object initialize failed !");
    EXPECT_EQ(toolkit.systemBoxes()[0].caption, "Error ...");
    EXPECT_TRUE(toolkit.dialogs().empty());
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_GE(toolkit.processMessagesCalls(), 1);
    EXPECT_TRUE(toolkit.lines().empty());
}

// ---- no matched drive ----

TEST_F(AppTest, NoDriveAtAllListsNothingAfterTheHeading) {
    start();
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::Error);
    EXPECT_EQ(toolkit.dialogs()[0].text, NoMatchPrefix);
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitRefused);
    EXPECT_FALSE(toolkit.systemMenuCloseRemoved());
    EXPECT_TRUE(window->DetectedDrives.empty());
}

TEST_F(AppTest, NoMatchedDriveMessageCarriesEveryDriveLine) {
    sim::DriveSpec& other = addDrive("other", 'E', "2.00", 0);
    other.identity = sim::Identity::fromText("OTHERCO", "WRITER 16X", "2.00");
    addDrive("newer", 'F', "2.00", 1);  // the right model, a revision outside the slot
    for (auto& letter : computer.letters) {
        letter.address.portNumber = 1;
    }
    start();

    const std::string otherLine = " 1-0-0-0 E:OTHERCO WRITER 16X       2.00";
    const std::string newerLine = " 1-0-1-0 F:" + MeridoxName + " 2.00";
    EXPECT_EQ(toolkit.lines(), (std::vector<std::string>{otherLine, newerLine}));
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, NoMatchPrefix + otherLine + "\n" + newerLine + "\n");
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitRefused);
    EXPECT_EQ(toolkit.selectedListLine(), NoLine);
}

TEST_F(AppTest, EmptyBankRefusesEveryDrive) {
    package.putRaw(block::BankOffset, block::BankPlaceholder);
    addDrive("d1", 'E', OldRevision, 0);
    start();
    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].text, NoMatchPrefix + " 0-0-0-0 E:" + MeridoxName + " 1.00\n");
}

// ---- the drive list line ----

struct LineCase {
    std::uint8_t port;
    std::uint8_t path;
    std::uint8_t target;
    std::uint8_t lun;
    const char* prefix;
};

TEST_F(AppTest, DriveLinesFollowTheAddressColumns) {
    const LineCase cases[] = {
        {1, 0, 0, 0, " 1-0-0-0 E:"},
        {12, 0, 3, 1, "12-0-3-1 F:"},
        {2, 1, 0, 0, " 2-1-0-0 G:"},
    };
    char letter = 'E';
    int n = 0;
    for (const LineCase& c : cases) {
        addDrive("d" + std::to_string(n++), letter++, OldRevision, 0);
        auto& address = computer.letters.back().address;
        address.portNumber = c.port;
        address.pathId = c.path;
        address.targetId = c.target;
        address.lun = c.lun;
    }
    start();
    ASSERT_EQ(toolkit.lines().size(), 3u);
    // The list is ordered by address; every line is prefix, name, blank, revision.
    std::vector<std::string> expected;
    for (const LineCase& c : cases) {
        expected.push_back(c.prefix + MeridoxName + " 1.00");
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> lines = toolkit.lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, expected);
    std::string detected;
    for (const auto& line : toolkit.lines()) {
        detected += line + "\n";
    }
    EXPECT_EQ(window->DetectedDrives, detected);
}

TEST_F(AppTest, DriveFoundThroughAspiHasNoDriveLetter) {
    computer.platform = sim::Platform::Win9x;
    addAspiDrive("d1", OldRevision, 2);
    start();
    EXPECT_EQ(toolkit.lines(), std::vector<std::string>{" 0-0-2-0 " + MeridoxName + " 1.00"});
    EXPECT_EQ(toolkit.selectedListLine(), 0);
}

// ---- caption ----

struct CaptionCase {
    const char* title;
    const char* caption;
};

TEST_F(AppTest, CaptionIsTheTitleOrZorbelAndTheVersion) {
    const CaptionCase cases[] = {
        {"APP_TITLE_HERE", "Zorbel v3.1.4"},
        {"APP_TITLE_HERE and more", "Zorbel v3.1.4"},
        {"APP_TITLE_HER", "APP_TITLE_HER"},
        {"Flash Program for MERIDOX DVR-1", "Flash Program for MERIDOX DVR-1"},
    };
    for (const CaptionCase& c : cases) {
        SCOPED_TRACE(c.title);
        package.put(block::TitleOffset, block::TitleSize, c.title);
        package.put(block::VersionOffset, block::VersionSize, "v3.1.4");
        start();
        EXPECT_EQ(toolkit.caption(), c.caption);
        stop();
    }
}

// ---- the start-up notice ----

struct NoticeCase {
    const char* name;
    char warning;
    char nbWarning;
    char automode;
    DialogAnswer answer;
    bool shown;
    bool batteryPoint;
    bool ends;
};

class NoticeTest : public AppTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(NoticeTest, NoticeTextAndAnswer) {
    const NoticeCase& c = GetParam();
    addDrive("d1", 'E', OldRevision, 0);
    setOption(block::Option::WARNING, c.warning);
    setOption(block::Option::NBWARNING, c.nbWarning);
    setOption(block::Option::AUTOMODE, c.automode);
    toolkit.answer(c.answer);
    start();

    std::string expected =
        "This flash utility only supports MERIDOX DVR-1 drive.\n\nNOTICE : \n\n"
        "1> Please REMOVE disc and close all applications before running this utility !\n"
        "2> Don't turn off the system while flash is in progress. \n";
    if (c.batteryPoint) {
        expected += "3> Don't remove the adapter and battery during F/W reflash processing. \n";
    }
    expected += "\nDo you wish to continue ?";

    if (c.shown) {
        ASSERT_EQ(toolkit.dialogs().size(), 1u);
        const DialogRecord& dialog = toolkit.dialogs()[0];
        EXPECT_EQ(dialog.kind, DialogKind::WarningQuestion);
        EXPECT_EQ(dialog.caption, "Warning");
        EXPECT_EQ(dialog.buttons, (std::vector<std::string>{"&Yes", "&No"}));
        EXPECT_EQ(dialog.text, expected);
    } else {
        EXPECT_TRUE(toolkit.dialogs().empty());
    }
    EXPECT_EQ(toolkit.terminateRequested(), c.ends);
    EXPECT_EQ(toolkit.systemMenuCloseRemoved(), !c.ends);
    EXPECT_EQ(runObjectsCreated, 0);  // declining prevents the automatic update
}

INSTANTIATE_TEST_SUITE_P(
    Options, NoticeTest,
    ::testing::Values(
        NoticeCase{"TwoPointsYes", '1', '0', '0', DialogAnswer::Yes, true, false, false},
        NoticeCase{"ThreePointsYes", '1', '1', '0', DialogAnswer::Yes, true, true, false},
        NoticeCase{"No", '1', '0', '0', DialogAnswer::No, true, false, true},
        NoticeCase{"NoBeforeAutomaticUpdate", '1', '1', '1', DialogAnswer::No, true, true, true},
        NoticeCase{"WarningOff", '0', '1', '0', DialogAnswer::Yes, false, false, false},
        NoticeCase{"WarningTwoIsOff", '2', '1', '0', DialogAnswer::Yes, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- idle window and selection ----

TEST_F(AppTest, OnlyTheSecondDriveAllowed) {
    sim::DriveSpec& other = addDrive("other", 'E', "1.00", 0);
    other.identity = sim::Identity::fromText("OTHERCO", "WRITER 16X", "1.00");
    addDrive("d2", 'F', "1.05", 1);
    start();

    EXPECT_TRUE(toolkit.dialogs().empty());
    EXPECT_FALSE(toolkit.terminateRequested());
    EXPECT_TRUE(toolkit.systemMenuCloseRemoved());
    ASSERT_EQ(toolkit.lines().size(), 2u);
    EXPECT_EQ(toolkit.selectedListLine(), 1);
    EXPECT_EQ(toolkit.text(Control::lblMsg), "");
    EXPECT_EQ(toolkit.text(Control::lblPercent), "0 %");
    EXPECT_EQ(toolkit.progressPosition(), 0);
    const int secondEntry = window->EntryOfLine(1);
    EXPECT_EQ(window->Devices[0]->CurrentDriveIndex(), secondEntry);

    auto expectAllowedShown = [&](const char* revision) {
        EXPECT_TRUE(toolkit.enabled(Control::cmdUpdate));
        EXPECT_TRUE(toolkit.visible(Control::lblOldFW));
        EXPECT_TRUE(toolkit.visible(Control::lblNewFW));
        EXPECT_EQ(toolkit.text(Control::lblUpdateMsg), "It will be updated from             to");
        EXPECT_EQ(toolkit.fontColour(Control::lblUpdateMsg), FontColour::Black);
        EXPECT_EQ(toolkit.text(Control::lblOldFW), revision);
        EXPECT_EQ(toolkit.text(Control::lblNewFW), "1.10");
    };
    expectAllowedShown("1.05");

    toolkit.chooseLine(0);
    EXPECT_FALSE(toolkit.enabled(Control::cmdUpdate));
    EXPECT_FALSE(toolkit.visible(Control::lblOldFW));
    EXPECT_FALSE(toolkit.visible(Control::lblNewFW));
    EXPECT_EQ(toolkit.text(Control::lblUpdateMsg), "This drive is not allowed to be updated.");
    EXPECT_EQ(toolkit.fontColour(Control::lblUpdateMsg), FontColour::Maroon);
    EXPECT_EQ(window->Devices[0]->CurrentDriveIndex(), secondEntry);  // left as it was

    toolkit.chooseLine(1);
    expectAllowedShown("1.05");
}

TEST_F(AppTest, NewRevisionIsShownInFull) {
    package.newFirmware(0, "1.10 B");
    addDrive("d1", 'E', OldRevision, 0);
    start();
    EXPECT_EQ(toolkit.text(Control::lblNewFW), "1.10 B");
}

// ---- Update that starts nothing ----

TEST_F(AppTest, UpToDateQuestionNoEndsWithoutRunObject) {
    package.slot(0, 0, "1.00", "1.10", TestVendor, TestProduct);
    setOption(block::Option::N2OMESSAGE, '1');
    addDrive("d1", 'E', NewRevision, 0);
    start();
    toolkit.answer(DialogAnswer::No);
    toolkit.clickUpdate();

    ASSERT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.dialogs()[0].kind, DialogKind::WarningQuestion);
    EXPECT_EQ(toolkit.dialogs()[0].caption, "Warning");
    EXPECT_EQ(toolkit.dialogs()[0].text,
              "Your drive's Firmware is already the most updated !\n Do you wish to continue ?");
    EXPECT_TRUE(toolkit.terminateRequested());
    EXPECT_EQ(runObjectsCreated, 0);
    EXPECT_EQ(window->Devices[1], nullptr);
    EXPECT_FALSE(toolkit.timerEnabled());
}

TEST_F(AppTest, UpdateWithoutSelectedLineDoesNothing) {
    addDrive("d1", 'E', OldRevision, 0);
    start();
    toolkit.selectListLine(NoLine);
    window->cmdUpdateClick();
    EXPECT_EQ(runObjectsCreated, 0);
    EXPECT_TRUE(toolkit.dialogs().empty());
    EXPECT_FALSE(toolkit.timerEnabled());
    EXPECT_FALSE(window->UpdateInProgress());
}

TEST_F(AppTest, UpdateOnARefusedDriveDoesNothing) {
    sim::DriveSpec& other = addDrive("other", 'E', "1.00", 0);
    other.identity = sim::Identity::fromText("OTHERCO", "WRITER 16X", "1.00");
    addDrive("d2", 'F', OldRevision, 1);
    start();
    toolkit.selectListLine(
        0);  // Update is not disabled by this: only the user's choice runs the handler
    window->cmdUpdateClick();
    EXPECT_EQ(runObjectsCreated, 0);
    EXPECT_EQ(commandsWithOpcode("other", OpWriteBuffer), 0u);
}

TEST_F(AppTest, RunObjectThatCannotBeCreatedStartsNothing) {
    addDrive("d1", 'E', OldRevision, 0);
    start();
    runObjectsFail = true;
    toolkit.clickUpdate();

    EXPECT_EQ(runObjectsCreated, 1);
    EXPECT_EQ(window->Devices[1], nullptr);
    EXPECT_EQ(window->RunningCount, 0);
    EXPECT_FALSE(window->UpdateInProgress());
    EXPECT_FALSE(toolkit.timerEnabled());
    EXPECT_TRUE(toolkit.enabled(Control::cmdUpdate));
    EXPECT_TRUE(toolkit.enabled(Control::cmdClose));
    EXPECT_TRUE(toolkit.dialogs().empty());
    EXPECT_FALSE(toolkit.terminateRequested());
    EXPECT_EQ(window->ExitStatus(), ExitUpdateFailed);  // when it ends now
    EXPECT_EQ(commandsWithOpcode("d1", OpWriteBuffer), 0u);
}

// ---- closing ----

TEST_F(AppTest, CloseEndsTheProgramAndDestroyReleasesTheListObject) {
    addDrive("d1", 'E', OldRevision, 0);
    start();
    EXPECT_GT(host().counters().openHandles, 0u);  // the selected drive is open
    toolkit.clickClose();
    EXPECT_TRUE(toolkit.terminateRequested());
    window.reset();
    EXPECT_EQ(host().counters().openHandles, 0u);
    EXPECT_EQ(toolkit.form(), nullptr);
}

// ---- the program entry ----

class ThrowingToolkit : public ScriptedToolkit {
  public:
    explicit ThrowingToolkit(bool foreign) : foreign_(foreign) {}
    void setCaption(std::string_view) override {
        if (foreign_) {
            throw 42;
        }
        throw std::runtime_error("the form cannot be built");
    }

  private:
    bool foreign_;
};

TEST_F(AppTest, ProgramEntryEndsWithTheRefusalStatus) {
    setOption(block::Option::HOW_MANY_BIN, '0');
    packageScope = std::make_unique<ScopedPackageOverride>(package.bytes());
    installed = std::make_unique<sim::InstalledComputer>(computer);
    EXPECT_EQ(RunZorbel(toolkit), ExitRefused);
    EXPECT_EQ(toolkit.dialogs().size(), 1u);
    EXPECT_EQ(toolkit.form(), nullptr);  // the window was destroyed
    EXPECT_TRUE(toolkit.exceptions().empty());
}

TEST_F(AppTest, ProgramEntryShowsAnEscapingException) {
    packageScope = std::make_unique<ScopedPackageOverride>(package.bytes());
    installed = std::make_unique<sim::InstalledComputer>(computer);
    ThrowingToolkit throwing(false);
    EXPECT_EQ(RunZorbel(throwing), ExitUpdateFailed);
    EXPECT_EQ(throwing.exceptions(), std::vector<std::string>{"the form cannot be built"});
    ThrowingToolkit foreign(true);
    EXPECT_EQ(RunZorbel(foreign), ExitUpdateFailed);
    EXPECT_EQ(foreign.exceptions(), std::vector<std::string>{""});
}

}  // namespace
}  // namespace zorbel::testing
