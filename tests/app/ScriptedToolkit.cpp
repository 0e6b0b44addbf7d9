#include "tests/app/ScriptedToolkit.h"

#include <stdexcept>
#include <utility>

namespace zorbel::testing {

const char* controlName(Control control) {
    switch (control) {
        case Control::Label1:
            return "Label1";
        case Control::cboDrives:
            return "cboDrives";
        case Control::cmdUpdate:
            return "cmdUpdate";
        case Control::cmdClose:
            return "cmdClose";
        case Control::lblUpdateMsg:
            return "lblUpdateMsg";
        case Control::lblOldFW:
            return "lblOldFW";
        case Control::lblNewFW:
            return "lblNewFW";
        case Control::Bevel1:
            return "Bevel1";
        case Control::lblMsg:
            return "lblMsg";
        case Control::pbar:
            return "pbar";
        case Control::lblPercent:
            return "lblPercent";
    }
    return "?";
}

const char* dialogKindName(DialogKind kind) {
    switch (kind) {
        case DialogKind::Error:
            return "error";
        case DialogKind::Warning:
            return "warning";
        case DialogKind::WarningQuestion:
            return "warning question";
        case DialogKind::Information:
            return "information";
    }
    return "?";
}

const char* answerName(DialogAnswer answer) {
    switch (answer) {
        case DialogAnswer::Ok:
            return "OK";
        case DialogAnswer::Yes:
            return "Yes";
        case DialogAnswer::No:
            return "No";
    }
    return "?";
}

ScriptedToolkit::ScriptedToolkit() {
    // The design-time texts of the form.
    mutableState(Control::Label1).text = "Please select target drive :";
    mutableState(Control::cmdUpdate).text = "&Update";
    mutableState(Control::cmdClose).text = "&Close";
    mutableState(Control::lblUpdateMsg).text = "It will be updated from             to";
    mutableState(Control::lblOldFW).text = "XXXX";
    mutableState(Control::lblOldFW).colour = FontColour::Navy;
    mutableState(Control::lblNewFW).text = "XXXX";
    mutableState(Control::lblNewFW).colour = FontColour::Navy;
    mutableState(Control::lblMsg).text = "Message";
    mutableState(Control::lblMsg).colour = FontColour::Navy;
    mutableState(Control::lblPercent).text = "100%";
    mutableState(Control::lblPercent).colour = FontColour::Navy;
}

// Workers of an unfinished test still hold this queue: run what they posted.
ScriptedToolkit::~ScriptedToolkit() {
    queue_.runPending();
}

void ScriptedToolkit::answer(DialogAnswer answer, std::size_t endEventsBefore) {
    DialogStep step;
    step.answer = answer;
    step.endEventsBefore = endEventsBefore;
    script_.push_back(std::move(step));
}

void ScriptedToolkit::answer(DialogStep step) {
    script_.push_back(std::move(step));
}

int ScriptedToolkit::tick(int count) {
    int ran = 0;
    for (int i = 0; i < count; ++i) {
        if (!timerEnabled_ || form_ == nullptr) {
            break;
        }
        form_->tmrTimer();
        ++ran;
    }
    return ran;
}

std::size_t ScriptedToolkit::deliverEndEvents() {
    const std::size_t ran = queue_.runPending();
    endEventsDelivered_ += ran;
    return ran;
}

std::size_t ScriptedToolkit::runEndEvent(std::chrono::milliseconds timeout) {
    if (!queue_.waitAndRunOne(timeout)) {
        return 0;
    }
    ++endEventsDelivered_;
    return 1;
}

bool ScriptedToolkit::waitForEndEvents(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (runEndEvent(endEventTimeout_) == 0) {
            return false;
        }
    }
    return true;
}

void ScriptedToolkit::chooseLine(int line) {
    if (!state(Control::cboDrives).enabled) {
        return;  // a disabled list takes no choice
    }
    selectListLine(line);
    if (form_ != nullptr) {
        form_->cboDrivesChange();
    }
}

void ScriptedToolkit::clickUpdate() {
    if (form_ != nullptr && state(Control::cmdUpdate).enabled) {
        form_->cmdUpdateClick();
    }
}

void ScriptedToolkit::clickClose() {
    if (form_ != nullptr && state(Control::cmdClose).enabled) {
        form_->cmdCloseClick();
    }
}

const ControlState& ScriptedToolkit::state(Control control) const {
    return controls_.at(static_cast<std::size_t>(control));
}

ControlState& ScriptedToolkit::mutableState(Control control) {
    return controls_.at(static_cast<std::size_t>(control));
}

std::vector<std::string> ScriptedToolkit::textHistory(Control control) const {
    std::vector<std::string> texts;
    for (const auto& [which, text] : textHistory_) {
        if (which == control) {
            texts.push_back(text);
        }
    }
    return texts;
}

// Delivers end events until termination is asked, or until none arrives for
// the idle time-out (the window would then sit idle for ever).
void ScriptedToolkit::runMessageLoop() {
    while (!terminated_) {
        if (runEndEvent(loopIdleTimeout_) == 0) {
            return;
        }
    }
}

void ScriptedToolkit::terminate() {
    terminated_ = true;
    ++terminateCalls_;
}

void ScriptedToolkit::processPendingMessages() {
    ++processMessagesCalls_;
    deliverEndEvents();
}

void ScriptedToolkit::showException(std::string_view message) {
    exceptions_.emplace_back(message);
}

void ScriptedToolkit::setText(Control control, std::string_view text) {
    mutableState(control).text = text;
    textHistory_.emplace_back(control, std::string(text));
}

void ScriptedToolkit::setVisible(Control control, bool visible) {
    mutableState(control).visible = visible;
}

void ScriptedToolkit::setEnabled(Control control, bool enabled) {
    mutableState(control).enabled = enabled;
}

void ScriptedToolkit::setFontColour(Control control, FontColour colour) {
    mutableState(control).colour = colour;
}

void ScriptedToolkit::clearList() {
    lines_.clear();
    selected_ = NoLine;
}

void ScriptedToolkit::addListLine(std::string_view line) {
    lines_.emplace_back(line);
}

std::string ScriptedToolkit::listLine(int index) const {
    if (index < 0 || index >= listCount()) {
        return {};
    }
    return lines_[static_cast<std::size_t>(index)];
}

void ScriptedToolkit::selectListLine(int index) {
    selected_ = (index >= 0 && index < listCount()) ? index : NoLine;
}

void ScriptedToolkit::setProgressRange(int minimum, int maximum) {
    progressMinimum_ = minimum;
    progressMaximum_ = maximum;
    setProgressPosition(progressPosition_);
}

void ScriptedToolkit::progressStepIt() {
    setProgressPosition(progressPosition_ + progressStep_);
}

void ScriptedToolkit::setProgressPosition(int position) {
    if (position < progressMinimum_) {
        position = progressMinimum_;
    }
    if (position > progressMaximum_) {
        position = progressMaximum_;
    }
    progressPosition_ = position;
}

DialogAnswer ScriptedToolkit::messageDialog(DialogKind kind, std::string_view text) {
    DialogRecord record{};
    record.kind = kind;
    record.caption = dialogCaption(kind);
    record.text = text;
    if (dialogAsksYesNo(kind)) {
        record.buttons = {std::string(YesButtonText), std::string(NoButtonText)};
    } else {
        record.buttons = {std::string(OkButtonText)};
    }
    record.controls = controls_;
    record.progressPosition = progressPosition_;
    record.timerEnabled = timerEnabled_;

    DialogStep step;
    record.scripted = !script_.empty();
    if (record.scripted) {
        step = std::move(script_.front());
        script_.pop_front();
    } else {
        // Escape: No for a question, OK otherwise.
        step.answer = dialogAsksYesNo(kind) ? DialogAnswer::No : DialogAnswer::Ok;
    }
    if (!dialogAsksYesNo(kind)) {
        step.answer = DialogAnswer::Ok;  // the only button
    }
    record.answer = step.answer;

    // The dialog is on screen from here: record it before the nested loop
    // runs events that may show further dialogs.
    const std::size_t index = dialogs_.size();
    dialogs_.push_back(std::move(record));
    const std::size_t before = endEventsDelivered_;
    for (std::size_t i = 0; i < step.endEventsBefore; ++i) {
        if (runEndEvent(endEventTimeout_) == 0) {
            throw std::runtime_error("scripted dialog: an awaited end event did not arrive");
        }
    }
    if (step.whileOpen) {
        step.whileOpen();
    }
    if (whileAnyOpen_) {
        whileAnyOpen_();
    }
    dialogs_[index].endEventsDelivered = endEventsDelivered_ - before;
    return step.answer;
}

void ScriptedToolkit::systemMessageBox(std::string_view text, std::string_view caption) {
    systemBoxes_.push_back({std::string(text), std::string(caption)});
}

}  // namespace zorbel::testing
