// A toolkit for tests: the main window's controls as plain recorded state,
// dialogs answered from a script, timer ticks and worker end events delivered
// only when the test says so (or, inside a dialog, when its script step says
// so, as a real nested message loop would).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/Toolkit.h"
#include "engine/WorkerThread.h"

namespace zorbel::testing {

inline constexpr std::size_t ControlCount = static_cast<std::size_t>(Control::lblPercent) + 1;

const char* controlName(Control control);
const char* dialogKindName(DialogKind kind);
const char* answerName(DialogAnswer answer);

struct ControlState {
    std::string text;
    bool visible = true;
    bool enabled = true;
    FontColour colour = FontColour::Black;
};

struct DialogRecord {
    DialogKind kind;
    std::string caption;
    std::string text;
    std::vector<std::string> buttons;  // "&Yes", "&No" or "OK"
    DialogAnswer answer;
    bool scripted;                                    // false: answered by default (OK, or No)
    std::size_t endEventsDelivered;                   // end events run while it was open
    std::array<ControlState, ControlCount> controls;  // the window while it was open
    int progressPosition;
    bool timerEnabled;
};

struct SystemBoxRecord {
    std::string text;
    std::string caption;
};

// One scripted answer. Before the dialog returns, `endEventsBefore` end events
// are awaited and run (as a nested loop would deliver them), then `whileOpen`
// runs.
struct DialogStep {
    DialogAnswer answer = DialogAnswer::Ok;
    std::size_t endEventsBefore = 0;
    std::function<void()> whileOpen;
};

class ScriptedToolkit : public Toolkit {
  public:
    ScriptedToolkit();
    ~ScriptedToolkit() override;

    // ---- the script ----
    void answer(DialogAnswer answer, std::size_t endEventsBefore = 0);
    void answer(DialogStep step);
    std::size_t unusedAnswers() const { return script_.size(); }
    // Runs while every dialog is open, scripted or not, after the step's own
    // `whileOpen`.
    void whileAnyDialogOpen(std::function<void()> action) { whileAnyOpen_ = std::move(action); }
    // How long a step waits for its end events, and waitForEndEvents at most.
    void setEndEventTimeout(std::chrono::milliseconds timeout) { endEventTimeout_ = timeout; }
    // The message loop returns when no end event arrives for this long.
    void setLoopIdleTimeout(std::chrono::milliseconds timeout) { loopIdleTimeout_ = timeout; }

    // ---- driving the window ----
    // Fires tmrTimer `count` times, each only while the timer is enabled.
    // Returns how many ticks ran.
    int tick(int count = 1);
    // Runs every end event queued so far; returns how many ran.
    std::size_t deliverEndEvents();
    // Waits for `count` end events and runs them; false on time-out.
    bool waitForEndEvents(std::size_t count);
    // The user's choice of a line: selects it and runs cboDrivesChange
    // (nothing while the list is disabled).
    void chooseLine(int line);
    void clickUpdate();
    void clickClose();

    // ---- what the window showed ----
    const ControlState& state(Control control) const;
    const std::vector<DialogRecord>& dialogs() const { return dialogs_; }
    const std::vector<SystemBoxRecord>& systemBoxes() const { return systemBoxes_; }
    const std::vector<std::string>& exceptions() const { return exceptions_; }
    // Every text a control was given, in order.
    std::vector<std::string> textHistory(Control control) const;
    const std::vector<std::string>& lines() const { return lines_; }
    int progressMinimum() const { return progressMinimum_; }
    int progressStep() const { return progressStep_; }
    bool systemMenuCloseRemoved() const { return systemMenuCloseRemoved_; }
    int terminateCalls() const { return terminateCalls_; }
    int processMessagesCalls() const { return processMessagesCalls_; }
    FormEvents* form() const { return form_; }
    std::size_t endEventsDelivered() const { return endEventsDelivered_; }

    // ---- Toolkit ----
    void attachForm(FormEvents* form) override { form_ = form; }
    void runMessageLoop() override;
    void terminate() override;
    bool terminateRequested() const override { return terminated_; }
    void processPendingMessages() override;
    void showException(std::string_view message) override;

    void setCaption(std::string_view caption) override { caption_ = caption; }
    std::string caption() const override { return caption_; }
    void removeSystemMenuClose() override { systemMenuCloseRemoved_ = true; }

    void setText(Control control, std::string_view text) override;
    std::string text(Control control) const override { return state(control).text; }
    void setVisible(Control control, bool visible) override;
    bool visible(Control control) const override { return state(control).visible; }
    void setEnabled(Control control, bool enabled) override;
    bool enabled(Control control) const override { return state(control).enabled; }
    void setFontColour(Control control, FontColour colour) override;
    FontColour fontColour(Control control) const override { return state(control).colour; }

    void clearList() override;
    void addListLine(std::string_view line) override;
    int listCount() const override { return static_cast<int>(lines_.size()); }
    std::string listLine(int index) const override;
    void selectListLine(int index) override;
    int selectedListLine() const override { return selected_; }

    void setProgressRange(int minimum, int maximum) override;
    int progressMaximum() const override { return progressMaximum_; }
    void setProgressStep(int step) override { progressStep_ = step; }
    void progressStepIt() override;
    void setProgressPosition(int position) override;
    int progressPosition() const override { return progressPosition_; }

    void setTimerEnabled(bool enabled) override { timerEnabled_ = enabled; }
    bool timerEnabled() const override { return timerEnabled_; }

    DialogAnswer messageDialog(DialogKind kind, std::string_view text) override;
    void systemMessageBox(std::string_view text, std::string_view caption) override;

    EndEventDispatcher& endEventDispatcher() override { return queue_; }

  private:
    ControlState& mutableState(Control control);
    std::size_t runEndEvent(std::chrono::milliseconds timeout);

    FormEvents* form_ = nullptr;
    EndEventQueue queue_;
    std::array<ControlState, ControlCount> controls_{};
    std::vector<std::pair<Control, std::string>> textHistory_;
    std::string caption_ = "Zorbel";
    std::vector<std::string> lines_;
    int selected_ = NoLine;
    int progressMinimum_ = 0;
    int progressMaximum_ = 100;
    int progressStep_ = 10;
    int progressPosition_ = 0;
    bool timerEnabled_ = false;
    bool terminated_ = false;
    int terminateCalls_ = 0;
    int processMessagesCalls_ = 0;
    bool systemMenuCloseRemoved_ = false;
    std::size_t endEventsDelivered_ = 0;
    std::deque<DialogStep> script_;
    std::function<void()> whileAnyOpen_;
    std::vector<DialogRecord> dialogs_;
    std::vector<SystemBoxRecord> systemBoxes_;
    std::vector<std::string> exceptions_;
    std::chrono::milliseconds endEventTimeout_{60000};
    std::chrono::milliseconds loopIdleTimeout_{2000};
};

}  // namespace zorbel::testing
