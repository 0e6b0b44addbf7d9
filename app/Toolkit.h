// The window toolkit contract: everything the main window relies on from the
// toolkit it runs on, and nothing more. TZorbelMain talks only to this
// interface; each front end (the Qt window, the console, the scripted toolkit
// of the tests) implements it.
//
// Threading: every operation runs on the window's thread. Worker threads never
// call the toolkit; their end events reach the window's thread through the
// toolkit's end-event dispatcher.
//
// The application tag is not part of this interface: it is the process-wide
// value of device/ApplicationTag.h, which the window sets itself.
#pragma once

#include <string>
#include <string_view>

namespace zorbel {

class EndEventDispatcher;  // engine/WorkerThread.h

// The main window's controls, named as the form description names them.
enum class Control {
    Label1,
    cboDrives,
    cmdUpdate,
    cmdClose,
    lblUpdateMsg,
    lblOldFW,
    lblNewFW,
    Bevel1,
    lblMsg,
    pbar,
    lblPercent,
};

// The named font colours the window sets at run time.
enum class FontColour {
    Black,   // red 0, green 0, blue 0
    Maroon,  // red 128, green 0, blue 0
    Navy,    // red 0, green 0, blue 128
};

// The four modal message dialogs. Error, Warning and Information carry one
// "OK" button; WarningQuestion carries "&Yes" (the default) and "&No".
enum class DialogKind {
    Error,
    Warning,
    WarningQuestion,
    Information,
};

// The button that closed a dialog. Escape (or closing the dialog otherwise)
// answers No; on a dialog with only OK it answers Ok.
enum class DialogAnswer {
    Ok,
    Yes,
    No,
};

// "Error", "Warning" (both warning kinds) or "Information".
constexpr std::string_view dialogCaption(DialogKind kind) {
    switch (kind) {
        case DialogKind::Error:
            return "Error";
        case DialogKind::Warning:
        case DialogKind::WarningQuestion:
            return "Warning";
        case DialogKind::Information:
            return "Information";
    }
    return "";
}

constexpr bool dialogAsksYesNo(DialogKind kind) {
    return kind == DialogKind::WarningQuestion;
}

inline constexpr std::string_view YesButtonText = "&Yes";
inline constexpr std::string_view NoButtonText = "&No";
inline constexpr std::string_view OkButtonText = "OK";

// The selected line of cboDrives when there is none.
inline constexpr int NoLine = -1;

// The window's event handlers, as the form description binds them. TZorbelMain
// implements these; a front end calls them on the window's thread when the
// user acts (cboDrivesChange only for the user's own choice of a line, never
// for a selection set from code), on every timer tick while the timer is
// enabled, and FormDestroy when the window is destroyed (destroying the
// TZorbelMain also runs it; running it twice is harmless).
class FormEvents {
  public:
    virtual void cboDrivesChange() = 0;
    virtual void cmdUpdateClick() = 0;
    virtual void cmdCloseClick() = 0;
    virtual void tmrTimer() = 0;
    virtual void FormDestroy() = 0;

  protected:
    ~FormEvents() = default;
};

class Toolkit {
  public:
    virtual ~Toolkit() = default;

    // ---- application object ----
    // Binds the window's event handlers (null unbinds). The window binds itself
    // first thing in its construction, before any dialog, and unbinds when it
    // is destroyed; events that arrive while nothing is bound are dropped.
    virtual void attachForm(FormEvents* form) = 0;
    // Shows the window and dispatches events until termination is asked, then
    // returns. Returns at its first turn when termination was asked before.
    virtual void runMessageLoop() = 0;
    // Asks the message loop to end at its next turn. Nothing else happens now.
    virtual void terminate() = 0;
    virtual bool terminateRequested() const = 0;
    // Dispatches pending paint, input, timer and end events at once, on the
    // calling (window's) thread, then returns.
    virtual void processPendingMessages() = 0;
    // The toolkit's standard exception message box with the exception's text
    // (empty for an exception of a foreign type).
    virtual void showException(std::string_view message) = 0;

    // ---- the form: window and controls ----
    virtual void setCaption(std::string_view caption) = 0;
    virtual std::string caption() const = 0;
    // Takes Close (and the separator before it) out of the window's system
    // menu, so the window cannot be closed from its title bar; cmdClose stays
    // the way out.
    virtual void removeSystemMenuClose() = 0;

    // Text of a label or button (cboDrives, pbar and Bevel1 have none).
    virtual void setText(Control control, std::string_view text) = 0;
    virtual std::string text(Control control) const = 0;
    virtual void setVisible(Control control, bool visible) = 0;
    virtual bool visible(Control control) const = 0;
    virtual void setEnabled(Control control, bool enabled) = 0;
    virtual bool enabled(Control control) const = 0;
    // Font colour of a label.
    virtual void setFontColour(Control control, FontColour colour) = 0;
    virtual FontColour fontColour(Control control) const = 0;

    // cboDrives. None of these runs cboDrivesChange.
    virtual void clearList() = 0;
    virtual void addListLine(std::string_view line) = 0;
    virtual int listCount() const = 0;
    virtual std::string listLine(int index) const = 0;
    // NoLine clears the selection; an index outside the list also clears it.
    virtual void selectListLine(int index) = 0;
    // The selected line, or NoLine.
    virtual int selectedListLine() const = 0;

    // pbar (smooth). stepIt advances the position by the step, never past the
    // maximum.
    virtual void setProgressRange(int minimum, int maximum) = 0;
    virtual int progressMaximum() const = 0;
    virtual void setProgressStep(int step) = 0;
    virtual void progressStepIt() = 0;
    virtual void setProgressPosition(int position) = 0;
    virtual int progressPosition() const = 0;

    // ---- tmr: 100 ms interval, ticks run tmrTimer on the window's thread ----
    virtual void setTimerEnabled(bool enabled) = 0;
    virtual bool timerEnabled() const = 0;

    // ---- dialogs ----
    // A modal message dialog centred on the screen, with the caption and
    // buttons of its kind (dialogCaption, dialogAsksYesNo). Real toolkits run a
    // nested message loop meanwhile, so end events and timer ticks may be
    // delivered before this returns. Returns the button pressed.
    virtual DialogAnswer messageDialog(DialogKind kind, std::string_view text) = 0;
    // The plain system message box: no owner window, error icon, OK.
    virtual void systemMessageBox(std::string_view text, std::string_view caption) = 0;

    // ---- threads ----
    // Delivers each worker's end event on the window's thread (during the
    // message loop, processPendingMessages, or a modal dialog's nested loop).
    virtual EndEventDispatcher& endEventDispatcher() = 0;
};

}  // namespace zorbel
