// The main window ZorbelMain: start-up, the drive list and selection, the
// update sequence (Update button, disc and tray check, one Parser worker per
// drive, the progress timer, the completion) and the ways the program ends.
// Written against the toolkit contract only; the front ends show it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Toolkit.h"
#include "device/AtapiDevice.h"
#include "device/OSInfo.h"
#include "device/ShutdownInhibit.h"

namespace zorbel {

class Parser;

// Creates a drive object: the list object (discover true) or a run object
// (discover false). Null when the object cannot be created (no memory for it
// or its transfer buffers).
using DeviceFactory = std::function<std::unique_ptr<AtapiDevice>(bool discover)>;
std::unique_ptr<AtapiDevice> createAtapiDevice(bool discover);

inline constexpr int MaxRunObjects = MaxDrives;  // Devices[1..16]

// The program's exit status.
inline constexpr int ExitNothingFailed = 0;  // an update succeeded, or none was asked for
inline constexpr int ExitUpdateFailed = 1;   // an update failed (or could not start) on a drive
inline constexpr int ExitRefused = 3;        // the program refused to start any update
inline constexpr int ProgressTicks = 330;    // a full bar: 33 s of 100 ms ticks

class TZorbelMain final : public FormEvents {
  public:
    // The whole start-up sequence. Where the program ends during start-up the
    // application is asked to terminate and the constructor returns early.
    // Exceptions thrown by the toolkit or the drive object propagate.
    explicit TZorbelMain(Toolkit& toolkit, DeviceFactory createDevice = createAtapiDevice);
    // Runs FormDestroy. A window destroyed while workers of an update still run
    // first waits for their end events.
    ~TZorbelMain();
    TZorbelMain(const TZorbelMain&) = delete;
    TZorbelMain& operator=(const TZorbelMain&) = delete;

    // Rebuilds cboDrives and DetectedDrives from the list object, runs the
    // matching and selects the first allowed drive (without cboDrivesChange).
    void FillDriveList();

    // ---- event handlers ----
    void cboDrivesChange() override;
    void cmdUpdateClick() override;
    void cmdCloseClick() override;
    void tmrTimer() override;
    void FormDestroy() override;
    // The end event of every worker, on the window's thread.
    void ParserTerminate();
    // A termination signal, on the window's thread: outside an update the
    // program ends as Close would; an update in progress stops itself (no
    // new block, no commit) and its completion ends the program with
    // ExitUpdateFailed and one line on stderr naming the signal.
    void StopSignalReceived();

    // The list entry index shown on a line of cboDrives; -1 for no such line.
    int EntryOfLine(int line) const;
    // True from the start of an update until its completion has run.
    bool UpdateInProgress() const { return handlerBusy_ || completing_ || RunningCount != 0; }
    // What the program's exit status says so far.
    int ExitStatus() const { return exitStatus_; }

    // ---- members, as the window declares them ----
    std::int32_t RunningCount = 0;  // workers of the current update not yet ended
    std::int32_t UpdateCount = 0;   // drives in the current update
    bool UpdateOk = false;          // outcome of the last update
    // [0] the list object, [1..16] the run objects of the current update.
    std::array<std::unique_ptr<AtapiDevice>, MaxRunObjects + 1> Devices;
    // Workers[k] programs Devices[k + 1]; they free themselves when they end.
    std::array<Parser*, MaxRunObjects> Workers{};
    ::zorbel::OSInfo OSInfo;
    std::string DetectedDrives;  // every listed line followed by a line feed

  private:
    bool StartUp();
    void Shutdown();
    bool StartUpdate();
    bool CheckDiscAndTray(AtapiDevice& drive);
    bool StartWorker(int k, std::uint16_t binIndex);
    void CompleteUpdate();
    // Whether every drive of the update was committed and answered again
    // after its commit as the updated drive (the waits side by side); says why
    // not on standard error, one line per drive.
    bool DrivesCameBack();
    void ReleaseRunObjects();
    void EndProgram() { toolkit_.terminate(); }

    Toolkit& toolkit_;
    DeviceFactory createDevice_;
    std::vector<std::int16_t> lineEntries_;  // entry index of each line of cboDrives
    // Entry indexes of the drives of the current update, Devices[k + 1] programs [k].
    std::array<std::int16_t, MaxRunObjects> runEntries_{};
    bool handlerBusy_ = false;  // cmdUpdateClick is still starting workers
    int startedCount_ = 0;      // workers started in the current update
    bool completing_ = false;   // the completion of an update is running
    // Roots of the drives that came back under a new node after their commits.
    std::vector<std::string> movedRoots_;
    // Entry indexes of the drives that did not answer after their commits.
    std::vector<std::int16_t> silentEntries_;
    bool destroying_ = false;  // the window is being destroyed
    // Shared with the events the signal handler posts: false once the window
    // is going, so that a late event does nothing (read on the window's thread).
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // Shutdown, restart and sleep held off from the first command of an
    // update until its drives have answered after their commits.
    std::unique_ptr<ShutdownInhibit> inhibit_;
    int exitStatus_ = ExitNothingFailed;
};

// The program entry on a toolkit: creates the main window (the whole start-up
// sequence), runs the message loop until the program ends, and destroys the
// window. An exception escaping the window's construction or the loop is shown
// with the toolkit's exception box. Returns the exit status (ExitNothingFailed,
// ExitUpdateFailed, also after an exception, or ExitRefused).
int RunZorbel(Toolkit& toolkit);

}  // namespace zorbel
