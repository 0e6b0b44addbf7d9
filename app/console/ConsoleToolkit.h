// The window toolkit on a text console, for machines without a display.
//
// The window is shown as text: its caption, the drive list with the selected
// line marked, and the revision line. The status text and percentage appear
// as one updating line on a terminal, otherwise as plain lines (at most one
// per 10 % of progress, plus one for each new status text). Every message
// dialog is printed with its caption, its exact text and its buttons, and every
// answer taken is echoed.
//
// Answers come from the script first (given by the caller), then from the
// input: on a terminal the person is asked; otherwise the input holds the
// answers, one word a line (yes, no, ok, esc, update, close, select=N). A word
// that does not fit (a yes where only OK is offered, an idle action at a
// message, an answer at the idle window, an unknown word) is refused with one
// line on the error stream and counts as Escape, and so does an idle action
// that cannot be done (a line the list does not have, a disabled button); the
// answers after a refused one are not used, so a script that went wrong never
// goes on to an update. With no answer left (end of input, no input, or a
// refused answer) a question is answered No and a message OK, as Escape
// answers them, and the idle window closes as Close would. The console never
// presses Update or chooses a line by itself.
//
// On a terminal the answer is what the person typed: Enter takes the default
// button; at a question y or yes answers Yes and n, no or esc answers No; at a
// message ok or esc answers OK. Any other word is refused with the words that
// fit, and the dialog asks again.
// A termination signal ends a prompt on the terminal at once (Host::
// waitForConsoleInput): the dialog is answered as Escape answers it, and the
// idle window closes as Close would.
//
// Answers nobody asked for are reported on the error stream at the end
// (reportUnusedAnswers), so that a script that went wrong does not pass
// unnoticed.
//
// The message loop runs the timer every 100 ms, sleeping through the current
// host (so a simulated computer's virtual clock paces it), and the worker end
// events; it never spins: between ticks it sleeps, and with the timer off it
// blocks on the end-event queue.
#pragma once

#include <cstddef>
#include <deque>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Toolkit.h"
#include "engine/WorkerThread.h"

namespace zorbel::console {

// One entry of the console's script: a dialog answer or an idle action.
struct ScriptStep {
    enum class Kind {
        Yes,     // answers "&Yes"
        No,      // answers "&No"
        Ok,      // answers "OK"
        Escape,  // presses Escape: No on a question, OK otherwise
        Update,  // idle: press cmdUpdate
        Close,   // idle: press cmdClose
        Select,  // idle: choose line `line` (1-based) of cboDrives
    };
    Kind kind = Kind::Ok;
    int line = 0;

    bool isAnswer() const { return kind <= Kind::Escape; }
};

// Parses a comma-separated script ("yes,ok,select=2,update,close"); the words
// are yes, no, ok, esc (or escape), update, close and select=N. Returns none
// and sets `error` for an unknown word.
std::optional<std::vector<ScriptStep>> parseScript(std::string_view text, std::string& error);

struct ConsoleOptions {
    std::ostream* out = nullptr;  // required
    std::ostream* err = nullptr;  // refused answers; none: not reported
    std::istream* in = nullptr;   // the terminal, or the answers; none: nobody answers
    bool outputIsTerminal = false;
    bool inputIsTerminal = false;
    std::vector<ScriptStep> script;  // answers given beforehand, taken first
    // Taken only when the input is no terminal and ends without a single
    // answer (a demonstration's own answers, for when nobody scripted any).
    std::vector<ScriptStep> answersWhenInputIsEmpty;
};

// The options of a console on this process's standard streams, as the
// programs run it. Call it before anything reads standard input: it unties
// the streams from C stdio, so that answers left in a piped input can be
// counted at the end without waiting for more.
ConsoleOptions standardStreamOptions(bool outputIsTerminal, bool inputIsTerminal);

class ConsoleToolkit final : public Toolkit {
  public:
    explicit ConsoleToolkit(ConsoleOptions options);
    ~ConsoleToolkit() override;
    ConsoleToolkit(const ConsoleToolkit&) = delete;
    ConsoleToolkit& operator=(const ConsoleToolkit&) = delete;

    // ---- Toolkit ----
    void attachForm(FormEvents* form) override { events_ = form; }
    void runMessageLoop() override;
    void terminate() override { terminateRequested_ = true; }
    bool terminateRequested() const override { return terminateRequested_; }
    void processPendingMessages() override;
    void showException(std::string_view message) override;

    void setCaption(std::string_view caption) override;
    std::string caption() const override { return caption_; }
    void removeSystemMenuClose() override { closeRemoved_ = true; }

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
    int listCount() const override { return static_cast<int>(lines_.size()); }
    std::string listLine(int index) const override;
    void selectListLine(int index) override;
    int selectedListLine() const override { return selected_; }

    void setProgressRange(int minimum, int maximum) override;
    int progressMaximum() const override { return maximum_; }
    void setProgressStep(int step) override { step_ = step; }
    void progressStepIt() override;
    void setProgressPosition(int position) override;
    int progressPosition() const override { return position_; }

    void setTimerEnabled(bool enabled) override { timerEnabled_ = enabled; }
    bool timerEnabled() const override { return timerEnabled_; }

    DialogAnswer messageDialog(DialogKind kind, std::string_view text) override;
    void systemMessageBox(std::string_view text, std::string_view caption) override;

    EndEventDispatcher& endEventDispatcher() override { return queue_; }

    // Reports on the error stream, in one line, the answers given that nothing
    // asked for: the script's, and those waiting in an input that is no
    // terminal (only what can be read without waiting). The demonstration's
    // own answers are not reported.
    void reportUnusedAnswers();

    // ---- inspection ----
    bool titleBarCloseRemoved() const { return closeRemoved_; }
    std::size_t ticks() const { return ticks_; }

  private:
    struct ControlState {
        std::string text;
        bool visible = true;
        bool enabled = true;
        FontColour colour = FontColour::Black;
    };
    ControlState& state(Control control) { return controls_[static_cast<std::size_t>(control)]; }
    const ControlState& state(Control control) const {
        return controls_[static_cast<std::size_t>(control)];
    }

    void showWindow(bool force);
    std::string windowView() const;
    void statusChanged();
    void flushStatus();
    void endStatusLine();
    void idleAction();
    bool promptIdleAction();
    void waitForTick();
    DialogAnswer ask(std::string_view caption, std::string_view text, bool yesNo);
    std::optional<DialogAnswer> askTerminal(bool yesNo, std::string& how);
    std::optional<ScriptStep> nextStep(std::string& how);
    bool inputReady();
    void refuse(const ScriptStep& step, std::string_view reason);
    std::ostream& out() { return *options_.out; }

    ConsoleOptions options_;
    std::deque<ScriptStep> script_;
    bool inputHeldAnswers_ = false;  // a word was read from the (non-terminal) input
    bool answersRefused_ = false;    // a scripted or piped answer did not fit
    bool emptyInputAnswersTaken_ = false;
    EndEventQueue queue_;
    FormEvents* events_ = nullptr;
    bool terminateRequested_ = false;
    bool closeRemoved_ = false;
    std::string caption_;
    ControlState controls_[11];
    std::vector<std::string> lines_;
    int selected_ = NoLine;
    int minimum_ = 0;
    int maximum_ = 100;
    int step_ = 1;
    int position_ = 0;
    bool timerEnabled_ = false;
    std::size_t ticks_ = 0;

    bool shown_ = false;           // the message loop has shown the window
    std::string lastView_;         // the window text printed last
    bool statusDirty_ = false;     // lblMsg or lblPercent changed since the last print
    bool statusLineOpen_ = false;  // a terminal status line awaits its line feed
    std::string lastStatus_;       // status printed last (text and percentage)
    std::string lastStatusBase_;   // its text without the trailing dots
    int lastDecade_ = -1;          // its percentage / 10
};

}  // namespace zorbel::console
