// The window toolkit on plain Win32: the update window (MainWindow), its modal
// message dialogs (MessageDialog), the system message box, the 100 ms timer,
// the message loop and the delivery of worker end events on the window's
// thread.
//
// Create the toolkit on the thread that runs the message loop (the window's
// thread). Positions and sizes are in pixels at 96 dots per inch; the programs
// leave scaling for other densities to the system.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/Toolkit.h"
#include "app/win32/MainWindow.h"
#include "engine/WorkerThread.h"

namespace zorbel::win32 {

// Queues worker end events and wakes the window's thread with a posted message
// for each; the window runs them one at a time, each exactly once, in the
// message loop, processPendingMessages or a modal dialog's nested loop.
class Win32EndEventDispatcher final : public EndEventDispatcher {
  public:
    void post(std::function<void()> event) override;
    void setWindow(HWND window) { window_ = window; }
    // Takes the oldest queued event, if any (window's thread).
    std::function<void()> take();

  private:
    std::mutex mutex_;
    std::deque<std::function<void()>> events_;
    HWND window_ = nullptr;
};

class Win32Toolkit final : public Toolkit {
  public:
    Win32Toolkit();
    ~Win32Toolkit() override;
    Win32Toolkit(const Win32Toolkit&) = delete;
    Win32Toolkit& operator=(const Win32Toolkit&) = delete;

    // ---- Toolkit ----
    void attachForm(FormEvents* form) override { events_ = form; }
    void runMessageLoop() override;
    void terminate() override;
    bool terminateRequested() const override { return terminateRequested_; }
    void processPendingMessages() override;
    void showException(std::string_view message) override;

    void setCaption(std::string_view caption) override;
    std::string caption() const override;
    void removeSystemMenuClose() override;

    void setText(Control control, std::string_view text) override;
    std::string text(Control control) const override;
    void setVisible(Control control, bool visible) override;
    bool visible(Control control) const override;
    void setEnabled(Control control, bool enabled) override;
    bool enabled(Control control) const override;
    void setFontColour(Control control, FontColour colour) override;
    FontColour fontColour(Control control) const override;

    void clearList() override;
    void addListLine(std::string_view line) override;
    int listCount() const override;
    std::string listLine(int index) const override;
    void selectListLine(int index) override;
    int selectedListLine() const override;

    void setProgressRange(int minimum, int maximum) override;
    int progressMaximum() const override;
    void setProgressStep(int step) override;
    void progressStepIt() override;
    void setProgressPosition(int position) override;
    int progressPosition() const override;

    void setTimerEnabled(bool enabled) override;
    bool timerEnabled() const override { return timerEnabled_; }

    DialogAnswer messageDialog(DialogKind kind, std::string_view text) override;
    void systemMessageBox(std::string_view text, std::string_view caption) override;

    EndEventDispatcher& endEventDispatcher() override { return dispatcher_; }

    // ---- for the programs, their demos and the tests ----
    MainWindow& window() { return window_; }
    // Acts as the user choosing a line of cboDrives: selects it and runs the
    // change event.
    void chooseListLine(int index);
    // Acts as the user pressing a button (cmdUpdate or cmdClose) when enabled.
    void pressButton(Control control);

    // Runs whenever a message dialog is up (shown, in its own loop), with the
    // dialog's window: an observer may read it, take its picture, or post it
    // keys. The system message box has no observer.
    void setDialogObserver(std::function<void(HWND dialog, DialogKind kind)> observer) {
        dialogObserver_ = std::move(observer);
    }
    // Answers dialogs without a person: given the dialog, the answer to take,
    // or none to let the person answer. The dialog is shown (and the observer
    // runs) before the answer is taken.
    using DialogScript =
        std::function<std::optional<DialogAnswer>(DialogKind kind, std::string_view text)>;
    void setDialogScript(DialogScript script) { dialogScript_ = std::move(script); }
    // Runs once on the window's thread, as soon as the message loop runs and
    // the window is shown.
    void setLoopStarted(std::function<void()> callback) { loopStarted_ = std::move(callback); }
    // Runs on every turn of the message loop after a message (for polling demos).
    void setIdle(std::function<void()> callback) { idle_ = std::move(callback); }

  private:
    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    void dispatch(MSG& message);
    void userClosing();
    // Gives the session the reason it may not end (an update runs), or takes it back.
    void showSessionEndReason(bool shown);

    Win32EndEventDispatcher dispatcher_;
    MainWindow window_;
    FormEvents* events_ = nullptr;
    bool terminateRequested_ = false;
    bool timerEnabled_ = false;
    bool closeRemoved_ = false;
    int progressStep_ = 1;
    bool listDropped_ = false;
    DialogScript dialogScript_;
    std::function<void(HWND, DialogKind)> dialogObserver_;
    std::function<void()> loopStarted_;
    std::function<void()> idle_;
};

// The program's texts are bytes shown one character each (Latin-1).
std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);
// A plain system message: UTF-8 (the system's error texts) where it is valid
// UTF-8, else as widen.
std::wstring widenMessage(std::string_view text);

}  // namespace zorbel::win32
