// The window toolkit over Qt 6 Widgets: the update window (MainForm), its
// modal message dialogs, the system message box, the 100 ms timer, the
// message loop and the delivery of worker end events on the window's thread.
//
// Create the QApplication first, then the toolkit, on the thread that runs the
// message loop (the window's thread).
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/Toolkit.h"
#include "app/qt/MainForm.h"
#include "engine/WorkerThread.h"

class QMessageBox;
class QWidget;

namespace zorbel::qt {

// Posts worker end events to the window's thread through Qt's queued
// cross-thread calls; they run during the message loop, processEvents or a
// modal dialog's nested loop.
class QtEndEventDispatcher final : public EndEventDispatcher {
  public:
    explicit QtEndEventDispatcher(QObject* windowThreadObject) : target_(windowThreadObject) {}
    void post(std::function<void()> event) override;

  private:
    QObject* target_;
};

class QtToolkit final : public Toolkit {
  public:
    QtToolkit();
    ~QtToolkit() override;
    QtToolkit(const QtToolkit&) = delete;
    QtToolkit& operator=(const QtToolkit&) = delete;

    // ---- Toolkit ----
    void attachForm(FormEvents* form) override;
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
    bool timerEnabled() const override;

    DialogAnswer messageDialog(DialogKind kind, std::string_view text) override;
    void systemMessageBox(std::string_view text, std::string_view caption) override;

    EndEventDispatcher& endEventDispatcher() override { return dispatcher_; }

    // ---- for the program and its demos ----
    MainForm& form() { return *form_; }
    // Acts as the user choosing a line of cboDrives: selects it and runs the
    // change event.
    void chooseListLine(int index);
    // Acts as the user pressing a button (cmdUpdate or cmdClose).
    void pressButton(Control control);

    // Answers dialogs without a person: given the dialog, the answer to take,
    // or none to let the person answer. The dialog is shown (and the observer
    // runs) before the answer is taken.
    using DialogScript =
        std::function<std::optional<DialogAnswer>(DialogKind kind, std::string_view text)>;
    void setDialogScript(DialogScript script) { dialogScript_ = std::move(script); }
    // Runs whenever a message dialog or system message box has been shown.
    void setDialogObserver(std::function<void(QWidget& dialog)> observer) {
        dialogObserver_ = std::move(observer);
    }
    // Runs once on the window's thread, as soon as the message loop runs and
    // the window is shown.
    void setLoopStarted(std::function<void()> callback) { loopStarted_ = std::move(callback); }

  private:
    QWidget* widget(Control control) const;
    QLabel* label(Control control) const;

    std::unique_ptr<MainForm> form_;
    QObject eventTarget_;  // lives on the window's thread; end events are queued to it
    QtEndEventDispatcher dispatcher_{&eventTarget_};
    FormEvents* events_ = nullptr;
    bool terminateRequested_ = false;
    bool loopRunning_ = false;
    int progressStep_ = 1;
    DialogScript dialogScript_;
    std::function<void(QWidget&)> dialogObserver_;
    std::function<void()> loopStarted_;
};

// Text as Qt takes it: the bytes as Latin-1, so every byte of the program's
// texts shows as one character.
QString toQString(std::string_view text);
std::string fromQString(const QString& text);

}  // namespace zorbel::qt
