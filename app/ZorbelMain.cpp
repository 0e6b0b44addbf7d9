#include "app/ZorbelMain.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>

#include "app/PackageIntegrity.h"
#include "app/RestartSystem.h"
#include "device/ApplicationTag.h"
#include "device/BoundedPhase.h"
#include "device/ExternalPower.h"
#include "device/Host.h"
#include "device/MessagePump.h"
#include "device/StopSignals.h"
#include "engine/CommitVerdict.h"
#include "engine/CommitWaits.h"
#include "engine/Parser.h"
#include "engine/ProgramFlash.h"
#include "engine/StandInProfiles.h"
#include "engine/WorkerThread.h"
#include "package/Matching.h"
#include "package/PackageBlock.h"

namespace zorbel {

namespace {

// ---- the window's texts ----
constexpr std::string_view CaptionFormatPrefix = "Zorbel ";
constexpr std::string_view NoFirmwareText = "No F/W in executable !";
constexpr std::string_view InvalidFirmwareText = "Invalid F/W in executable !";
constexpr std::string_view DeviceInitFailedText = "Device object initialize failed !";
constexpr std::string_view DeviceInitFailedCaption = "Error ...";
constexpr std::string_view NotAllowedText = "This drive is not allowed to be updated.";
constexpr std::string_view UpdateFromToText = "It will be updated from             to";
constexpr std::string_view UpToDateQuestion =
    "Your drive's Firmware is already the most updated !\n Do you wish to continue ?";
constexpr std::string_view CheckStatusText = "Check Disc & Tray Status...";
constexpr std::string_view TrayOutText = "Tray Out ...";
constexpr std::string_view TrayInText = "Tray In ...";
constexpr std::string_view WaitingReadyText = "Waiting Drive Ready ...";
constexpr std::string_view RemoveDiscText = "Please remove the disc.";
constexpr std::string_view DiscLockedText =
    "Disc detected in drive. Unable to eject the disc , maybe locked by other program\n\n"
    "Please remove the disc manually.";
constexpr std::string_view PushTrayText = "Please push the tray in.";
constexpr std::string_view ProgrammingText = "Programming ";
constexpr std::string_view ProgrammingRestText = "Programming ..........";
constexpr std::string_view InquiryText = "Inquiry ...";
constexpr std::string_view FlashFailedText =
    "Unable to flash firmware. Please contact with your vendor !";
constexpr std::string_view DoneText = "Done.";
constexpr std::string_view FlashSucceededText = "Firmware has been updated successfully !";
constexpr std::string_view OnBatteryText =
    "No AC power detected !\nPlease connect the AC adapter before updating the firmware.";

// Drive-ready waits of the disc and tray check, in seconds.
constexpr double CheckReadyWaitSeconds = 120.0;
// Rounds of the disc and tray check, each asking the user once to take the
// disc out or push the tray in; a drive not yet empty and closed after the
// last one counts as failed.
constexpr int DiscCheckRounds = 5;
// Time-out of each command of the check, in seconds: a drive that does not
// answer within it has stopped answering.
constexpr std::uint32_t CheckCommandTimeout = 60;
// Sense key NOT READY with additional sense code MEDIUM NOT PRESENT.
constexpr std::uint8_t SenseNotReady = 2;
constexpr std::uint8_t AscMediumNotPresent = 0x3A;

// The text of a zero-terminated field, never reading past the field.
template <std::size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// One line of cboDrives: "%2d-%d-%d-%d %.2s%24s %4s" with the drive-letter
// column as the host labels the root (the letter and colon, or the node name,
// which a blank parts from the vendor).
std::string formatDriveLine(const DriveEntry& entry) {
    const std::string root = fieldText(entry.rootPath);
    std::string label = root.empty() ? std::string() : currentHost().rootLabel(root);
    if (!label.empty() && label.back() != ':') {
        label += ' ';
    }
    const std::string name = fieldText(entry.displayName);
    const std::string revision = fieldText(entry.revision);
    char line[160];
    std::snprintf(line, sizeof line, "%2d-%d-%d-%d %s%24s %4s", entry.hostAdapter, entry.path,
                  entry.target, entry.lun, label.c_str(), name.c_str(), revision.c_str());
    return line;
}

// A drive as a line on standard error names it: where it is and what it was.
std::string driveName(const DriveEntry& entry) {
    const std::string root = fieldText(entry.rootPath);
    std::string name =
        root.empty() ? std::to_string(entry.hostAdapter) + "-" + std::to_string(entry.path) + "-" +
                           std::to_string(entry.target) + "-" + std::to_string(entry.lun)
                     : currentHost().rootLabel(root);
    std::string identity = fieldText(entry.displayName);
    while (!identity.empty() && identity.back() == ' ') {
        identity.pop_back();
    }
    return name + " (" + identity + " " + fieldText(entry.revision) + ")";
}

std::string noMatchedDriveText(const std::string& supported, const std::string& detected) {
    std::string text = "No matched drive detected !\n";
    text += "This utility is only for ";
    text += supported;
    text += " drive.\n\n";
    text += "Detected drives :\n";
    text += detected;
    return text;
}

std::string noticeText(const std::string& supported, bool batteryPoint) {
    std::string text = "This flash utility only supports ";
    text += supported;
    text += " drive.\n\n";
    text += "NOTICE : \n\n";
    text += "1> Please REMOVE disc and close all applications before running this utility !\n";
    text += "2> Don't turn off the system while flash is in progress. \n";
    if (batteryPoint) {
        text += "3> Don't remove the adapter and battery during F/W reflash processing. \n";
    }
    text += "\nDo you wish to continue ?";
    return text;
}

}  // namespace

std::unique_ptr<AtapiDevice> createAtapiDevice(bool discover) {
    try {
        auto device = std::make_unique<AtapiDevice>(discover);
        if (device->InBuffer() == nullptr || device->OutBuffer() == nullptr) {
            return nullptr;
        }
        return device;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

TZorbelMain::TZorbelMain(Toolkit& toolkit, DeviceFactory createDevice)
    : toolkit_(toolkit), createDevice_(std::move(createDevice)) {
    // 1. The form itself is the front end's; bind its events to this window.
    toolkit_.attachForm(this);
    // Termination signals reach the window's thread as events.
    StopSignals::setHandler([alive = alive_, this, &events = toolkit_.endEventDispatcher()](int) {
        events.post([alive, this] {
            if (*alive) {
                StopSignalReceived();
            }
        });
    });
    try {
        StartUp();
    } catch (...) {
        // The window is not created after all: leave nothing behind that runs.
        Shutdown();
        throw;
    }
}

TZorbelMain::~TZorbelMain() {
    Shutdown();
}

void TZorbelMain::Shutdown() {
    // Run objects may not go while a worker still uses one: wait for the end
    // events of the update (they only count down now) before releasing them.
    destroying_ = true;
    StopSignals::setHandler(nullptr);
    *alive_ = false;
    while (RunningCount > 0) {
        toolkit_.processPendingMessages();
        if (RunningCount > 0) {
            currentHost().sleepMs(1);
        }
    }
    ReleaseRunObjects();
    inhibit_.reset();
    FormDestroy();
    toolkit_.attachForm(nullptr);
}

// The start-up sequence. False when the program ends during it.
bool TZorbelMain::StartUp() {
    // 2. OSInfo is filled by its construction.
    DetectedDrives.clear();
    // 3. Before the list object: the drive object reads it as the ASPI preference.
    setApplicationTag(AspiPreferredTag);
    // 4.
    const PackageBlock package = PackageBlock::current();
    if (package.titleIsPlaceholder()) {
        toolkit_.setCaption(std::string(CaptionFormatPrefix) + package.version());
    } else {
        toolkit_.setCaption(package.title());
    }
    // 5.
    package.readOptions();
    const LoadedSettings& settings = loadedSettings();
    // What the packaging step wrote must still be what the program holds,
    // before its options decide anything.
    if (!PackageIntegrityHolds()) {
        toolkit_.messageDialog(DialogKind::Error, InvalidFirmwareText);
        exitStatus_ = ExitRefused;
        EndProgram();
        return false;
    }
    // 6.
    if (settings.HOW_MANY_BIN == 0) {
        toolkit_.messageDialog(DialogKind::Error, NoFirmwareText);
        exitStatus_ = ExitRefused;
        EndProgram();
        return false;
    }
    // A package whose bins cannot be cut out of the bank, or could never be
    // transferred whole, must not reach any drive.
    if (package.validatePackage().has_value()) {
        toolkit_.messageDialog(DialogKind::Error, InvalidFirmwareText);
        exitStatus_ = ExitRefused;
        EndProgram();
        return false;
    }
    // Stand-in flash profiles are no program for a drive's controller: a
    // program that still holds any of them never creates a drive object,
    // unless it runs on the simulated computer.
    if (!StandInProfilesAccepted() && OwnStoreHoldsStandIns()) {
        toolkit_.messageDialog(DialogKind::Error, InvalidFirmwareText);
        exitStatus_ = ExitRefused;
        EndProgram();
        return false;
    }
    LoadedSettings& imageValues = loadedSettings();
    imageValues.imageStart = package.bankStart();
    imageValues.binStart = 0;
    imageValues.binSize = 0;
    // 7.
    toolkit_.setText(Control::lblMsg, "");
    toolkit_.setText(Control::lblPercent, "0 %");
    toolkit_.setProgressPosition(0);
    // 8.
    Devices[0] = createDevice_ ? createDevice_(true) : nullptr;
    if (!Devices[0]) {
        toolkit_.systemMessageBox(DeviceInitFailedText, DeviceInitFailedCaption);
        exitStatus_ = ExitRefused;
        EndProgram();
        toolkit_.processPendingMessages();
        return false;
    }
    // 9.
    FillDriveList();
    Devices[0]->CloseDrive();
    cboDrivesChange();
    // 10.
    AtapiDevice& list = *Devices[0];
    int allowedCount = 0;
    for (unsigned i = 0; i < list.DriveCount(); ++i) {
        const DriveEntry* entry = list.GetDrive(i);
        if (entry != nullptr && entry->present != 0 && entry->allowed != 0) {
            ++allowedCount;
        }
    }
    if (allowedCount == 0) {
        toolkit_.messageDialog(DialogKind::Error,
                               noMatchedDriveText(package.supportedDrivesText(), DetectedDrives));
        exitStatus_ = ExitRefused;
        EndProgram();
        return false;
    }
    // 11.
    if (settings.WARNING == 1) {
        const auto answer = toolkit_.messageDialog(
            DialogKind::WarningQuestion,
            noticeText(package.supportedDrivesText(), settings.NBWARNING == 1));
        if (answer != DialogAnswer::Yes) {
            exitStatus_ = ExitRefused;
            EndProgram();
            return false;
        }
    }
    // 12.
    toolkit_.removeSystemMenuClose();
    // 13.
    if (settings.AUTOMODE != 0) {
        cmdUpdateClick();
    }
    return true;
}

int TZorbelMain::EntryOfLine(int line) const {
    if (line < 0 || static_cast<std::size_t>(line) >= lineEntries_.size()) {
        return -1;
    }
    return lineEntries_[static_cast<std::size_t>(line)];
}

void TZorbelMain::FillDriveList() {
    toolkit_.clearList();
    DetectedDrives.clear();
    lineEntries_.clear();
    if (!Devices[0]) {
        return;
    }
    AtapiDevice& list = *Devices[0];
    for (unsigned i = 0; i < list.DriveCount(); ++i) {
        const DriveEntry* entry = list.GetDrive(i);
        if (entry == nullptr || entry->present == 0) {
            continue;
        }
        const std::string line = formatDriveLine(*entry);
        DetectedDrives += line;
        DetectedDrives += '\n';
        toolkit_.addListLine(line);
        lineEntries_.push_back(static_cast<std::int16_t>(i));
    }
    for (unsigned i = 0; i < list.DriveCount(); ++i) {
        if (DriveEntry* entry = list.GetDrive(i); entry != nullptr) {
            matchDrives(entry, 1);
        }
    }
    int selection = NoLine;
    for (std::size_t line = 0; line < lineEntries_.size(); ++line) {
        const DriveEntry* entry = list.GetDrive(static_cast<unsigned>(lineEntries_[line]));
        if (entry != nullptr && entry->allowed != 0) {
            selection = static_cast<int>(line);
            break;
        }
    }
    toolkit_.selectListLine(selection);
}

void TZorbelMain::cboDrivesChange() {
    // The list is disabled while an update runs; a change that slips through
    // must not move the list object under the update.
    if (!Devices[0] || handlerBusy_ || RunningCount != 0) {
        return;
    }
    const int entryIndex = EntryOfLine(toolkit_.selectedListLine());
    if (entryIndex < 0) {
        return;
    }
    const DriveEntry* entry = Devices[0]->GetDrive(static_cast<unsigned>(entryIndex));
    if (entry == nullptr) {
        return;
    }
    if (entry->allowed == 0) {
        toolkit_.setEnabled(Control::cmdUpdate, false);
        toolkit_.setVisible(Control::lblNewFW, false);
        toolkit_.setVisible(Control::lblOldFW, false);
        toolkit_.setText(Control::lblUpdateMsg, NotAllowedText);
        toolkit_.setFontColour(Control::lblUpdateMsg, FontColour::Maroon);
        return;
    }
    toolkit_.setEnabled(Control::cmdUpdate, true);
    toolkit_.setVisible(Control::lblNewFW, true);
    toolkit_.setVisible(Control::lblOldFW, true);
    toolkit_.setText(Control::lblUpdateMsg, UpdateFromToText);
    toolkit_.setFontColour(Control::lblUpdateMsg, FontColour::Black);
    toolkit_.setText(Control::lblNewFW,
                     PackageBlock::current().newFirmwareRevision(entry->binIndex));
    toolkit_.setText(Control::lblOldFW, fieldText(entry->revision));
    Devices[0]->SelectDrive(static_cast<std::int16_t>(entryIndex));
}

void TZorbelMain::FormDestroy() {
    Devices[0].reset();
}

void TZorbelMain::cmdCloseClick() {
    // Not while an update runs: the window answers during the waits for its
    // drives, but its drives are not left mid-way.
    if (UpdateInProgress()) {
        return;
    }
    EndProgram();
}

void TZorbelMain::StopSignalReceived() {
    if (!UpdateInProgress()) {
        EndProgram();
    }
}

void TZorbelMain::cmdUpdateClick() {
    // One update at a time; and nothing to do without the list object.
    if (UpdateInProgress() || !Devices[0]) {
        return;
    }
    if (StopSignals::stopRequested()) {
        EndProgram();  // a signal came before the window could act on it
        return;
    }
    // The battery alone may not last the flash: no drive is touched.
    const PowerState power = ExternalPower::now();
    if (!ExternalPower::allowsUpdate(power)) {
        toolkit_.messageDialog(DialogKind::Warning, OnBatteryText);
        const std::string line = "zorbel: the computer is " + ExternalPower::describe(power) +
                                 ": connect the AC adapter, then update again; no drive was "
                                 "touched.\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        exitStatus_ = ExitUpdateFailed;
        EndProgram();
        return;
    }
    ExternalPower::beginRun();
    // The drive list stays disabled until the completion: the update's drives
    // are the ones chosen now. Update and Close too, while the window answers
    // during the disc check's waits.
    const bool updateEnabled = toolkit_.enabled(Control::cmdUpdate);
    const bool closeEnabled = toolkit_.enabled(Control::cmdClose);
    toolkit_.setEnabled(Control::cboDrives, false);
    toolkit_.setEnabled(Control::cmdUpdate, false);
    toolkit_.setEnabled(Control::cmdClose, false);
    handlerBusy_ = true;
    inhibit_ = std::make_unique<ShutdownInhibit>();
    const bool started = StartUpdate();
    handlerBusy_ = false;
    if (!started) {
        inhibit_.reset();
        toolkit_.setEnabled(Control::cboDrives, true);
        toolkit_.setEnabled(Control::cmdUpdate, updateEnabled);
        toolkit_.setEnabled(Control::cmdClose, closeEnabled);
        return;  // the window stays as it was
    }
    // 5.
    toolkit_.setProgressRange(0, ProgressTicks);
    toolkit_.setProgressStep(1);
    toolkit_.setTimerEnabled(true);
    toolkit_.setEnabled(Control::cmdUpdate, false);
    toolkit_.setEnabled(Control::cmdClose, false);
    toolkit_.setFontColour(Control::lblMsg, FontColour::Maroon);
    if (RunningCount == 0) {
        // Every started worker ended while the handler was still busy, or no
        // drive got a worker: the completion reports the outcome now.
        CompleteUpdate();
    }
}

// Steps 1 to 4 of the Update handler: chooses the drives, creates their run
// objects, checks and starts each. End events that arrive meanwhile (the
// checks' dialogs and waits dispatch them) only count down: the completion
// waits until the last worker of the update has been started. False when
// nothing is to be programmed (the run objects are then released); a drive
// that fails its check or gets no worker counts as failed.
bool TZorbelMain::StartUpdate() {
    AtapiDevice& list = *Devices[0];
    const LoadedSettings& settings = loadedSettings();

    // 1-2. Choose the drives (entry indexes of the list object).
    UpdateCount = 0;
    std::array<std::int16_t, MaxRunObjects> chosen{};
    int count = 0;
    if (settings.AUTOMODE == 0) {
        const int entryIndex = EntryOfLine(toolkit_.selectedListLine());
        const DriveEntry* entry =
            entryIndex < 0 ? nullptr : list.GetDrive(static_cast<unsigned>(entryIndex));
        // No selected drive, or one the package refuses (its bin is not
        // valid): there is nothing to program.
        if (entry == nullptr || entry->allowed == 0) {
            return false;
        }
        if (entry->upToDate == 1 && settings.N2OMESSAGE != 0) {
            if (toolkit_.messageDialog(DialogKind::WarningQuestion, UpToDateQuestion) !=
                DialogAnswer::Yes) {
                EndProgram();
                return false;
            }
        }
        chosen[0] = static_cast<std::int16_t>(entryIndex);
        count = 1;
    } else {
        for (unsigned i = 0; i < list.DriveCount() && count < MaxRunObjects; ++i) {
            const DriveEntry* entry = list.GetDrive(i);
            if (entry != nullptr && entry->present != 0 && entry->allowed != 0) {
                chosen[static_cast<std::size_t>(count++)] = static_cast<std::int16_t>(i);
            }
        }
    }
    // The list object lets go of the drive it showed: a run holds its drive
    // alone, and an open handle of this program would stand in its way too.
    list.CloseDrive();
    // One run object per drive, each with its own copy of the drive table. If
    // one cannot be created, nothing starts and the window stays as it was.
    for (int k = 0; k < count; ++k) {
        auto run = createDevice_ ? createDevice_(false) : nullptr;
        if (!run) {
            exitStatus_ = ExitUpdateFailed;
            ReleaseRunObjects();
            UpdateCount = 0;
            return false;
        }
        AtapiDevice::CopyDriveTable(list, *run);
        run->SelectDrive(chosen[static_cast<std::size_t>(k)]);
        Devices[static_cast<std::size_t>(k) + 1] = std::move(run);
        UpdateCount = k + 1;
    }

    runEntries_ = chosen;

    // 3-4.
    RunningCount = 0;
    startedCount_ = 0;
    for (int k = 0; k < UpdateCount; ++k) {
        AtapiDevice& drive = *Devices[static_cast<std::size_t>(k) + 1];
        const DriveEntry* entry =
            list.GetDrive(static_cast<unsigned>(chosen[static_cast<std::size_t>(k)]));
        const std::uint16_t binIndex = entry != nullptr ? entry->binIndex : 0;
        // The run holds its drive before anything can move its tray or write
        // to it. A drive held elsewhere, one that fails the check, or one
        // that gets no thread counts as failed; the other drives go on.
        if (StopSignals::stopRequested() || !drive.ClaimDrive() ||
            (settings.CHKDISC == 1 && !CheckDiscAndTray(drive)) || StopSignals::stopRequested() ||
            !StartWorker(k, binIndex)) {
            drive.SetFlashResult(FlashFailure);
        }
    }
    return UpdateCount > 0;
}

// Lets the drive pass only with no medium and the tray closed; asks the user
// to take the disc out or push the tray in, for DiscCheckRounds rounds. False,
// at once, for a drive that is not the one matched or stops answering.
bool TZorbelMain::CheckDiscAndTray(AtapiDevice& drive) {
    toolkit_.setText(Control::lblMsg, CheckStatusText);
    // Every command of the check is bounded, the identity check's too, and a
    // drive that lets one time out is asked nothing more.
    const BoundedPhase phase(drive, CheckCommandTimeout);
    if (!IsMatchedDrive(drive)) {
        return false;  // never move the tray of a drive that is not ours
    }
    bool passed = false;
    for (int round = 0; !StopSignals::stopRequested(); ++round) {
        const bool discAbsent = drive.IsDiscAbsent();
        // Ready with a disc answers without sense; a drive that is gone
        // answers neither way.
        if (drive.GaveUpOnDrive() ||
            (!discAbsent && !drive.TestUnitReady() && drive.LastSenseKey() == 0)) {
            break;
        }
        if (discAbsent && !drive.IsTrayOpen()) {
            passed = true;
            break;
        }
        if (round == DiscCheckRounds) {
            break;
        }
        if (!discAbsent) {
            toolkit_.setText(Control::lblMsg, TrayOutText);
            drive.EjectTray();
            drive.WaitReady(CheckReadyWaitSeconds);
            if (drive.GaveUpOnDrive()) {
                break;
            }
            if (drive.SenseIs(SenseNotReady, AscMediumNotPresent)) {
                toolkit_.messageDialog(DialogKind::Warning, RemoveDiscText);
            } else {
                toolkit_.messageDialog(DialogKind::Warning, DiscLockedText);
            }
        }
        toolkit_.setText(Control::lblMsg, TrayInText);
        drive.LoadTray();
        toolkit_.setText(Control::lblMsg, WaitingReadyText);
        drive.WaitReady(CheckReadyWaitSeconds);
        if (drive.GaveUpOnDrive()) {
            break;
        }
        if (drive.IsTrayOpen()) {
            toolkit_.messageDialog(DialogKind::Warning, PushTrayText);
        }
    }
    return passed;
}

// Starts the worker of Devices[k + 1] on the image of its bin. False when no
// thread could be started.
bool TZorbelMain::StartWorker(int k, std::uint16_t binIndex) {
    AtapiDevice* drive = Devices[static_cast<std::size_t>(k) + 1].get();
    const PackageBlock package = PackageBlock::current();
    const std::span<const std::uint8_t> image = package.binImage(binIndex);
    LoadedSettings& settings = loadedSettings();
    settings.binStart = package.binStart(binIndex);
    settings.binSize = package.binSize(binIndex);
    settings.imageStart = image.empty() ? package.bankStart() : image.data();

    ParserParams params;
    params.drive = drive;
    params.image = image.data();
    params.size = static_cast<std::int32_t>(image.size());
    params.bootCode = settings.BOOTCODE != 0 ? 1 : 0;
    params.window = this;
    try {
        auto worker = std::make_unique<Parser>(params, &toolkit_.endEventDispatcher());
        worker->OnTerminate = [this, k](WorkerThread&) {
            Workers[static_cast<std::size_t>(k)] = nullptr;
            ParserTerminate();
        };
        worker->Resume();
        // Running now; it frees itself after its end event.
        Workers[static_cast<std::size_t>(k)] = worker.release();
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    ++RunningCount;
    ++startedCount_;
    return true;
}

void TZorbelMain::tmrTimer() {
    const int maximum = toolkit_.progressMaximum();
    if (maximum <= 0 || toolkit_.progressPosition() >= maximum) {
        toolkit_.setText(Control::lblMsg, ProgrammingRestText);
        return;
    }
    toolkit_.progressStepIt();
    const int position = toolkit_.progressPosition();
    toolkit_.setText(Control::lblPercent, std::to_string(position * 100 / maximum) + " %");
    toolkit_.setText(
        Control::lblMsg,
        std::string(ProgrammingText) + std::string(static_cast<std::size_t>(position % 10), '.'));
}

void TZorbelMain::ParserTerminate() {
    if (RunningCount <= 0) {
        return;  // not a worker of this update
    }
    --RunningCount;
    if (RunningCount != 0 || handlerBusy_ || destroying_) {
        return;
    }
    CompleteUpdate();
}

bool TZorbelMain::DrivesCameBack() {
    // Every drive whose commit was accepted is asked, all at once, through its
    // own run object (which still holds it).
    std::vector<CommitWait> waits;
    std::vector<const DriveEntry*> entries;
    std::vector<std::int16_t> indexes;
    waits.reserve(static_cast<std::size_t>(UpdateCount));
    bool allCommitted = true;
    for (int k = 0; k < UpdateCount; ++k) {
        AtapiDevice* run = Devices[static_cast<std::size_t>(k) + 1].get();
        const DriveEntry* entry = Devices[0] ? Devices[0]->GetDrive(static_cast<unsigned>(
                                                   runEntries_[static_cast<std::size_t>(k)]))
                                             : nullptr;
        if (run == nullptr || run->FlashResult() != 0 || entry == nullptr) {
            allCommitted = false;
            continue;
        }
        CommitWait wait;
        wait.drive = run;
        wait.newRevision = PackageBlock::current().newFirmwareRevision(entry->binIndex);
        waits.push_back(std::move(wait));
        entries.push_back(entry);
        indexes.push_back(runEntries_[static_cast<std::size_t>(k)]);
    }
    AwaitDrivesAfterCommits(waits);
    for (std::size_t i = 0; i < waits.size(); ++i) {
        const CommitVerdict& verdict = waits[i].verdict;
        const std::string line = CommitVerdictLine(
            verdict, driveName(*entries[i]), fieldText(entries[i]->revision), waits[i].newRevision);
        if (!line.empty()) {
            std::fprintf(stderr, "zorbel: %s\n", line.c_str());
            std::fflush(stderr);
        }
        allCommitted = allCommitted && verdict.succeeded();
        if (verdict.outcome == AfterCommit::NoAnswer) {
            silentEntries_.push_back(indexes[i]);  // not asked again for the list
        }
        // A drive that came back under a new node is listed anew.
        const DriveEntry* now = waits[i].drive->GetDrive(
            static_cast<unsigned>(std::max<std::int16_t>(0, waits[i].drive->CurrentDriveIndex())));
        if (now != nullptr &&
            std::strncmp(now->rootPath, entries[i]->rootPath, sizeof now->rootPath) != 0) {
            movedRoots_.emplace_back(now->rootPath, strnlen(now->rootPath, sizeof now->rootPath));
        }
    }
    return allCommitted;
}

void TZorbelMain::ReleaseRunObjects() {
    for (std::size_t k = 1; k < Devices.size(); ++k) {
        Devices[k].reset();
    }
}

// The completion of an update, once its last worker has ended.
void TZorbelMain::CompleteUpdate() {
    completing_ = true;
    const LoadedSettings& settings = loadedSettings();
    toolkit_.setTimerEnabled(false);
    // 3.
    toolkit_.setProgressPosition(toolkit_.progressMaximum());
    toolkit_.setText(Control::lblPercent, "100 %");
    toolkit_.setText(Control::lblMsg, InquiryText);
    toolkit_.processPendingMessages();
    // 2. A drive whose run succeeded counts only once it has answered again
    // after its commit, asked through its own run object (which still holds
    // it); then the run objects go.
    movedRoots_.clear();
    silentEntries_.clear();
    bool committed = UpdateCount > 0;
    for (int k = 0; k < UpdateCount; ++k) {
        const auto& run = Devices[static_cast<std::size_t>(k) + 1];
        committed = committed && run && run->FlashResult() == 0;
    }
    UpdateOk = DrivesCameBack();
    ReleaseRunObjects();
    startedCount_ = 0;
    // 4. Read the identities anew, so the list and the matching show the new
    // firmware; bounded as discovery is.
    if (Devices[0]) {
        AtapiDevice& list = *Devices[0];
        const BoundedPhase phase(list, DiscoveryCommandTimeout);
        // A drive silent after its commit would only let the list wait again.
        const auto isSilent = [this](std::int16_t index) {
            return std::find(silentEntries_.begin(), silentEntries_.end(), index) !=
                   silentEntries_.end();
        };
        if (!movedRoots_.empty()) {
            // A drive re-enumerated: the roots changed, so the list is found anew.
            list.CloseDrive();
            list.ScanDrives();
            FillDriveList();
            list.CloseDrive();
            for (std::size_t line = 0; line < lineEntries_.size(); ++line) {
                const DriveEntry* entry = list.GetDrive(static_cast<unsigned>(lineEntries_[line]));
                if (settings.AUTOMODE == 0 && entry != nullptr &&
                    fieldText(entry->rootPath) == movedRoots_.front()) {
                    toolkit_.selectListLine(static_cast<int>(line));
                }
            }
        } else if (settings.AUTOMODE == 0) {
            // The drive programmed, whatever line is selected now.
            const std::int16_t programmed = runEntries_[0];
            if (!isSilent(programmed)) {
                list.SelectDrive(programmed);
                list.RefreshIdentity();
            }
            FillDriveList();
            const auto line = std::find(lineEntries_.begin(), lineEntries_.end(), programmed);
            if (line != lineEntries_.end()) {
                toolkit_.selectListLine(static_cast<int>(line - lineEntries_.begin()));
            }
        } else {
            for (unsigned i = 0; i < list.DriveCount(); ++i) {
                if (!isSilent(static_cast<std::int16_t>(i))) {
                    list.SelectDrive(static_cast<std::int16_t>(i));
                    list.RefreshIdentity();
                }
            }
            FillDriveList();
            list.CloseDrive();
        }
    }
    // Every drive has answered (or will not): the system may shut down,
    // restart and sleep again, also for the restart the package may ask for.
    inhibit_.reset();
    // 5.
    toolkit_.setEnabled(Control::cmdUpdate, true);
    toolkit_.setEnabled(Control::cmdClose, true);
    toolkit_.setEnabled(Control::cboDrives, true);
    // A termination signal during the update: the drives have answered as
    // above; the program ends with a failure and says why, without dialogs.
    if (StopSignals::stopRequested()) {
        // After the last commit the stop changed nothing: the verdicts stand.
        exitStatus_ = committed && UpdateOk ? ExitNothingFailed : ExitUpdateFailed;
        const std::string line =
            "zorbel: stopped by " + StopSignals::name(StopSignals::stopSignal()) +
            (committed ? " after the last commit: every drive was still asked whether it came "
                         "back.\n"
                       : ": no image block and no commit went to a drive after it.\n");
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        completing_ = false;
        EndProgram();
        return;
    }
    // 6.
    if (!UpdateOk) {
        if (ExternalPower::lossSeen()) {
            const std::string line =
                "zorbel: external power was lost during the update (the "
                "computer is " +
                ExternalPower::describe(ExternalPower::now()) +
                "): no image block and no commit went to a drive after it.\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
            std::fflush(stderr);
        }
        exitStatus_ = ExitUpdateFailed;
        toolkit_.messageDialog(DialogKind::Error, FlashFailedText);
        completing_ = false;
        EndProgram();
        return;
    }
    // 7.
    toolkit_.setFontColour(Control::lblMsg, FontColour::Navy);
    toolkit_.setText(Control::lblMsg, DoneText);
    toolkit_.messageDialog(DialogKind::Information, FlashSucceededText);
    toolkit_.setText(Control::lblMsg, "");
    cboDrivesChange();
    toolkit_.setText(Control::lblPercent, "0 %");
    toolkit_.setProgressPosition(0);
    completing_ = false;
    if (StopSignals::stopRequested()) {
        EndProgram();  // the signal came while the outcome was shown
    } else if (settings.REBOOT != 0) {
        RestartSystem(OSInfo);
        EndProgram();
    } else if (settings.CLOSEAP != 0) {
        EndProgram();
    }
}

int RunZorbel(Toolkit& toolkit) {
    // Waits on the window's thread (the disc and tray check) keep the window alive.
    setWindowMessagePump([&toolkit] { toolkit.processPendingMessages(); });
    // Signals are watched from now on; the window takes them once it exists.
    StopSignals::watch(nullptr);
    int status = ExitUpdateFailed;
    try {
        auto window = std::make_unique<TZorbelMain>(toolkit);
        toolkit.runMessageLoop();
        status = window->ExitStatus();
        window.reset();
    } catch (const std::exception& error) {
        toolkit.showException(error.what());
    } catch (...) {
        toolkit.showException("");
    }
    clearWindowMessagePump();
    return status;
}

}  // namespace zorbel
