#include "app/console/ConsoleToolkit.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <istream>
#include <ostream>
#include <sstream>
#include <utility>

#include "device/Host.h"

namespace zorbel::console {

namespace {

constexpr std::uint32_t TickMs = 100;
// A tick's sleep that ends this much faster than the tick in real time came
// from a virtual clock; the loop then waits this long in real time for end
// events, so that it never spins while the workers run.
constexpr auto VirtualSleepLimit = std::chrono::milliseconds(20);
constexpr auto VirtualTickPace = std::chrono::milliseconds(3);
// With the timer off and both buttons disabled the window waits for end
// events; it wakes up now and then to look at the buttons again.
constexpr auto BusyWait = std::chrono::milliseconds(200);
// After a refused answer the rest are not used: a script that went wrong
// must not go on to press Update.
constexpr std::string_view RestUnused = ", and the answers after it are not used";

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

// A status text without its trailing dots and blanks: "Programming ....." and
// "Programming ." are the same status.
std::string statusBase(std::string_view text) {
    const auto end = text.find_last_not_of(". ");
    return end == std::string_view::npos ? std::string() : std::string(text.substr(0, end + 1));
}

// Button text without its accelerator mark.
std::string plainButton(std::string_view text) {
    std::string result;
    for (char c : text) {
        if (c != '&') {
            result += c;
        }
    }
    return result;
}

std::string_view answerName(DialogAnswer answer) {
    switch (answer) {
        case DialogAnswer::Yes:
            return YesButtonText;
        case DialogAnswer::No:
            return NoButtonText;
        case DialogAnswer::Ok:
            return OkButtonText;
    }
    return OkButtonText;
}

// One answer word (lower case, without blanks). False and `error` set when it
// is not one of the words.
bool parseWord(const std::string& word, ScriptStep& step, std::string& error) {
    step = ScriptStep{};
    if (word == "yes" || word == "y") {
        step.kind = ScriptStep::Kind::Yes;
    } else if (word == "no" || word == "n") {
        step.kind = ScriptStep::Kind::No;
    } else if (word == "ok") {
        step.kind = ScriptStep::Kind::Ok;
    } else if (word == "esc" || word == "escape") {
        step.kind = ScriptStep::Kind::Escape;
    } else if (word == "update") {
        step.kind = ScriptStep::Kind::Update;
    } else if (word == "close") {
        step.kind = ScriptStep::Kind::Close;
    } else if (word.rfind("select=", 0) == 0) {
        step.kind = ScriptStep::Kind::Select;
        const std::string number = word.substr(7);
        char* end = nullptr;
        const long line = std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || line < 1 || line > 99) {
            error = "bad line number in '" + word + "' (select=1 is the first line)";
            return false;
        }
        step.line = static_cast<int>(line);
    } else {
        error = "unknown answer '" + word + "' (use yes, no, ok, esc, update, close or select=N)";
        return false;
    }
    return true;
}

std::string wordOf(const ScriptStep& step) {
    switch (step.kind) {
        case ScriptStep::Kind::Yes:
            return "yes";
        case ScriptStep::Kind::No:
            return "no";
        case ScriptStep::Kind::Ok:
            return "ok";
        case ScriptStep::Kind::Escape:
            return "esc";
        case ScriptStep::Kind::Update:
            return "update";
        case ScriptStep::Kind::Close:
            return "close";
        case ScriptStep::Kind::Select:
            return "select=" + std::to_string(step.line);
    }
    return {};
}

}  // namespace

std::optional<std::vector<ScriptStep>> parseScript(std::string_view text, std::string& error) {
    std::vector<ScriptStep> steps;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const auto comma = text.find(',', pos);
        const std::string word = lower(
            trim(text.substr(pos, comma == std::string_view::npos ? text.npos : comma - pos)));
        pos = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
        if (word.empty()) {
            continue;
        }
        ScriptStep step;
        if (!parseWord(word, step, error)) {
            return std::nullopt;
        }
        steps.push_back(step);
    }
    return steps;
}

ConsoleOptions standardStreamOptions(bool outputIsTerminal, bool inputIsTerminal) {
    std::ios::sync_with_stdio(false);
    ConsoleOptions options;
    options.out = &std::cout;
    options.err = &std::cerr;
    options.in = &std::cin;
    options.outputIsTerminal = outputIsTerminal;
    options.inputIsTerminal = inputIsTerminal;
    return options;
}

ConsoleToolkit::ConsoleToolkit(ConsoleOptions options)
    : options_(std::move(options)), script_(options_.script.begin(), options_.script.end()) {
    // The form's design texts.
    state(Control::Label1).text = "Please select target drive :";
    state(Control::cmdUpdate).text = "&Update";
    state(Control::cmdClose).text = "&Close";
    state(Control::lblUpdateMsg).text = "It will be updated from             to";
    state(Control::lblOldFW) = {"XXXX", true, true, FontColour::Navy};
    state(Control::lblNewFW) = {"XXXX", true, true, FontColour::Navy};
    state(Control::lblMsg) = {"Message", true, true, FontColour::Navy};
    state(Control::lblPercent) = {"100%", true, true, FontColour::Navy};
}

ConsoleToolkit::~ConsoleToolkit() {
    endStatusLine();
}

// ---- message loop ----

void ConsoleToolkit::runMessageLoop() {
    if (terminateRequested_) {
        return;
    }
    shown_ = true;
    showWindow(true);
    while (!terminateRequested_) {
        processPendingMessages();
        if (terminateRequested_) {
            break;
        }
        if (timerEnabled_) {
            waitForTick();
            if (!terminateRequested_ && timerEnabled_ && events_ != nullptr) {
                ++ticks_;
                events_->tmrTimer();
            }
            continue;
        }
        if (queue_.pendingCount() > 0) {
            continue;
        }
        idleAction();
    }
    endStatusLine();
    out().flush();
}

void ConsoleToolkit::waitForTick() {
    const auto start = std::chrono::steady_clock::now();
    currentHost().sleepMs(TickMs);
    if (std::chrono::steady_clock::now() - start < VirtualSleepLimit) {
        queue_.waitAndRunOne(VirtualTickPace);
    }
}

void ConsoleToolkit::processPendingMessages() {
    queue_.runPending();
    statusChanged();
}

void ConsoleToolkit::showException(std::string_view message) {
    endStatusLine();
    out() << "\n[Exception]\n" << message << "\nButtons: [OK]\n";
    out().flush();
}

// ---- idle: acting for the user ----

void ConsoleToolkit::idleAction() {
    if (!enabled(Control::cmdUpdate) && !enabled(Control::cmdClose)) {
        // An update is still under way: wait for its end events.
        queue_.waitAndRunOne(BusyWait);
        return;
    }
    showWindow(false);
    std::string how;
    std::optional<ScriptStep> step = nextStep(how);
    if (!step && options_.inputIsTerminal && options_.in != nullptr) {
        if (promptIdleAction()) {
            return;
        }
    }
    if (!step) {
        // Nobody (left) to ask: the window closes as Close would.
        step = ScriptStep{ScriptStep::Kind::Close, 0};
    }
    switch (step->kind) {
        case ScriptStep::Kind::Select:
            out() << "> select line " << step->line << "\n";
            if (step->line > listCount()) {
                out() << "  (the list has no line " << step->line << ")\n";
                refuse(*step, "the list has no line " + std::to_string(step->line));
                break;
            }
            selectListLine(step->line - 1);
            if (events_ != nullptr) {
                events_->cboDrivesChange();
            }
            break;
        case ScriptStep::Kind::Update:
            out() << "> press " << plainButton(text(Control::cmdUpdate)) << "\n";
            if (!enabled(Control::cmdUpdate)) {
                out() << "  (the button is disabled)\n";
                refuse(*step, "the Update button is disabled");
                break;
            }
            if (events_ != nullptr) {
                events_->cmdUpdateClick();
            }
            break;
        case ScriptStep::Kind::Close:
            out() << "> press " << plainButton(text(Control::cmdClose)) << "\n";
            if (!enabled(Control::cmdClose)) {
                out() << "  (the button is disabled)\n";
                refuse(*step, "the Close button is disabled");
                break;
            }
            // The stock close button closes the window: the program ends.
            if (events_ != nullptr) {
                events_->cmdCloseClick();
            }
            terminate();
            break;
        case ScriptStep::Kind::Escape:
            out() << "> Escape (the window has no use for it)\n";
            break;
        default:
            refuse(*step, "no message is shown");
            break;
    }
    out().flush();
}

bool ConsoleToolkit::promptIdleAction() {
    out() << "Choose a line by its number, U = Update, C = Close: ";
    out().flush();
    std::string line;
    if (!inputReady() || !std::getline(*options_.in, line)) {
        out() << "\n";
        return false;
    }
    const std::string word = lower(trim(line));
    ScriptStep step;
    if (word == "u" || word == "update") {
        step.kind = ScriptStep::Kind::Update;
    } else if (word == "c" || word == "close") {
        step.kind = ScriptStep::Kind::Close;
    } else {
        char* end = nullptr;
        const long number = std::strtol(word.c_str(), &end, 10);
        if (word.empty() || *end != '\0' || number < 1) {
            out() << "  (not understood)\n";
            return true;
        }
        if (number > listCount()) {
            out() << "  (the list has no line " << number << ")\n";
            return true;
        }
        step.kind = ScriptStep::Kind::Select;
        step.line = static_cast<int>(number);
    }
    // The person is asked again for what cannot be done; only a script's
    // answer that does not fit ends the answers.
    if ((step.kind == ScriptStep::Kind::Update && !enabled(Control::cmdUpdate)) ||
        (step.kind == ScriptStep::Kind::Close && !enabled(Control::cmdClose))) {
        out() << "  (the button is disabled)\n";
        return true;
    }
    script_.push_front(step);
    return true;
}

// The next step of the script, else the next word of an input that is no
// terminal; none when both are used up. `how` names where it came from.
std::optional<ScriptStep> ConsoleToolkit::nextStep(std::string& how) {
    if (answersRefused_) {
        return std::nullopt;
    }
    if (!script_.empty()) {
        how = "script";
        ScriptStep step = script_.front();
        script_.pop_front();
        return step;
    }
    if (options_.in == nullptr || options_.inputIsTerminal) {
        return std::nullopt;
    }
    std::string line;
    while (std::getline(*options_.in, line)) {
        const std::string word = lower(trim(line));
        if (word.empty()) {
            continue;
        }
        how = "standard input";
        inputHeldAnswers_ = true;
        ScriptStep step;
        std::string error;
        if (!parseWord(word, step, error)) {
            if (options_.err != nullptr) {
                *options_.err << error << "; taken as Escape" << RestUnused << "\n";
                options_.err->flush();
            }
            answersRefused_ = true;
            return ScriptStep{ScriptStep::Kind::Escape, 0};
        }
        return step;
    }
    if (!inputHeldAnswers_ && !emptyInputAnswersTaken_ &&
        !options_.answersWhenInputIsEmpty.empty()) {
        emptyInputAnswersTaken_ = true;
        script_.assign(options_.answersWhenInputIsEmpty.begin(),
                       options_.answersWhenInputIsEmpty.end());
        return nextStep(how);
    }
    return std::nullopt;
}

void ConsoleToolkit::reportUnusedAnswers() {
    std::vector<std::string> unused;
    if (!emptyInputAnswersTaken_) {
        for (const ScriptStep& step : script_) {
            unused.push_back(wordOf(step));
        }
    }
    script_.clear();
    if (options_.in != nullptr && !options_.inputIsTerminal) {
        std::string line;
        while (options_.in->rdbuf() != nullptr && options_.in->rdbuf()->in_avail() > 0 &&
               std::getline(*options_.in, line)) {
            const std::string word = lower(trim(line));
            if (!word.empty()) {
                unused.push_back(word);
            }
        }
    }
    if (unused.empty() || options_.err == nullptr) {
        return;
    }
    *options_.err << (unused.size() == 1 ? "1 answer" : std::to_string(unused.size()) + " answers")
                  << " left unused (nothing asked for " << (unused.size() == 1 ? "it" : "them")
                  << "):";
    for (const std::string& word : unused) {
        *options_.err << " " << word;
    }
    *options_.err << "\n";
    options_.err->flush();
}

void ConsoleToolkit::refuse(const ScriptStep& step, std::string_view reason) {
    answersRefused_ = true;
    if (options_.err != nullptr) {
        *options_.err << "answer '" << wordOf(step) << "' does not fit: " << reason
                      << "; taken as Escape" << RestUnused << "\n";
        options_.err->flush();
    }
}

// ---- dialogs ----

DialogAnswer ConsoleToolkit::ask(std::string_view caption, std::string_view text, bool yesNo) {
    endStatusLine();
    flushStatus();
    endStatusLine();
    const DialogAnswer escapeAnswer = yesNo ? DialogAnswer::No : DialogAnswer::Ok;
    out() << "\n[" << caption << "]\n" << text;
    if (text.empty() || text.back() != '\n') {
        out() << "\n";
    }
    if (yesNo) {
        out() << "Buttons: [" << YesButtonText << "] (default) [" << NoButtonText << "]\n";
    } else {
        out() << "Buttons: [" << OkButtonText << "] (default)\n";
    }

    DialogAnswer answer = escapeAnswer;
    std::string how;
    if (std::optional<ScriptStep> step = nextStep(how)) {
        switch (step->kind) {
            case ScriptStep::Kind::Yes:
            case ScriptStep::Kind::No:
                if (yesNo) {
                    answer =
                        step->kind == ScriptStep::Kind::Yes ? DialogAnswer::Yes : DialogAnswer::No;
                } else {
                    refuse(*step, "the message offers only OK");
                    how += ": does not fit, Escape";
                }
                break;
            case ScriptStep::Kind::Ok:
                if (yesNo) {
                    refuse(*step, "the question is answered Yes or No");
                    how += ": does not fit, Escape";
                } else {
                    answer = DialogAnswer::Ok;
                }
                break;
            case ScriptStep::Kind::Escape:
                how += ": Escape";
                break;
            default:
                refuse(*step, "a message is shown, not the window");
                how += ": does not fit, Escape";
                break;
        }
    } else if (options_.inputIsTerminal && options_.in != nullptr) {
        answer = askTerminal(yesNo, how).value_or(escapeAnswer);
    } else {
        how = answersRefused_          ? "after a refused answer: Escape"
              : options_.in != nullptr ? "end of input: Escape"
                                       : "nobody to answer: Escape";
    }
    out() << "Answer: [" << answerName(answer) << "] (" << how << ")\n";
    out().flush();
    return answer;
}

// False when a termination signal came before the person typed a line: the
// prompt gives up at once. Only the process's own standard input is waited on.
bool ConsoleToolkit::inputReady() {
    if (options_.in != &std::cin || std::cin.rdbuf()->in_avail() > 0 || !hasCurrentHost()) {
        return true;
    }
    return currentHost().waitForConsoleInput();
}

// Asks the person at the terminal until a word fits; none at the end of input.
std::optional<DialogAnswer> ConsoleToolkit::askTerminal(bool yesNo, std::string& how) {
    for (;;) {
        out() << (yesNo ? "Answer [Y/n]: " : "Press Enter: ");
        out().flush();
        std::string line;
        if (!inputReady()) {
            out() << "\n";
            how = "stopped: Escape";
            return std::nullopt;
        }
        if (!std::getline(*options_.in, line)) {
            out() << "\n";
            how = "end of input: Escape";
            return std::nullopt;
        }
        how = "terminal";
        const std::string word = lower(trim(line));
        if (word.empty()) {
            return yesNo ? DialogAnswer::Yes : DialogAnswer::Ok;
        }
        const bool escape = word == "esc" || word == "escape";
        if (yesNo && (word == "y" || word == "yes")) {
            return DialogAnswer::Yes;
        }
        if (yesNo && (word == "n" || word == "no" || escape)) {
            return DialogAnswer::No;
        }
        if (!yesNo && (word == "ok" || escape)) {
            return DialogAnswer::Ok;
        }
        out() << "  ('" << word << "' is no answer here: "
              << (yesNo ? "type y or yes for Yes, n, no or esc for No, or press Enter for Yes"
                        : "press Enter, or type ok or esc, for OK")
              << ")\n";
    }
}

DialogAnswer ConsoleToolkit::messageDialog(DialogKind kind, std::string_view text) {
    return ask(dialogCaption(kind), text, dialogAsksYesNo(kind));
}

void ConsoleToolkit::systemMessageBox(std::string_view text, std::string_view caption) {
    ask(caption, text, false);
}

// ---- the form ----

void ConsoleToolkit::setCaption(std::string_view caption) {
    caption_ = caption;
}

void ConsoleToolkit::setText(Control control, std::string_view text) {
    state(control).text = text;
    if (control == Control::lblMsg || control == Control::lblPercent) {
        statusDirty_ = true;
    }
    // The status text is set last when the window updates its status area
    // (after the percentage), so a new text is shown at once: the checks that
    // block the window's thread are seen as they happen.
    if (control == Control::lblMsg) {
        flushStatus();
    }
}

std::string ConsoleToolkit::text(Control control) const {
    switch (control) {
        case Control::cboDrives:
        case Control::pbar:
        case Control::Bevel1:
            return {};
        default:
            return state(control).text;
    }
}

void ConsoleToolkit::setVisible(Control control, bool visible) {
    state(control).visible = visible;
}

bool ConsoleToolkit::visible(Control control) const {
    return state(control).visible;
}

void ConsoleToolkit::setEnabled(Control control, bool enabled) {
    state(control).enabled = enabled;
}

bool ConsoleToolkit::enabled(Control control) const {
    return state(control).enabled;
}

void ConsoleToolkit::setFontColour(Control control, FontColour colour) {
    state(control).colour = colour;
}

FontColour ConsoleToolkit::fontColour(Control control) const {
    return state(control).colour;
}

void ConsoleToolkit::clearList() {
    lines_.clear();
    selected_ = NoLine;
}

void ConsoleToolkit::addListLine(std::string_view line) {
    lines_.emplace_back(line);
}

std::string ConsoleToolkit::listLine(int index) const {
    if (index < 0 || index >= listCount()) {
        return {};
    }
    return lines_[static_cast<std::size_t>(index)];
}

void ConsoleToolkit::selectListLine(int index) {
    selected_ = index >= 0 && index < listCount() ? index : NoLine;
}

void ConsoleToolkit::setProgressRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = std::max(minimum, maximum);
    position_ = std::clamp(position_, minimum_, maximum_);
}

void ConsoleToolkit::progressStepIt() {
    position_ = std::min(position_ + step_, maximum_);
}

void ConsoleToolkit::setProgressPosition(int position) {
    position_ = std::clamp(position, minimum_, maximum_);
}

// ---- drawing ----

std::string ConsoleToolkit::windowView() const {
    std::ostringstream view;
    view << "== " << caption_ << " ==\n";
    view << text(Control::Label1) << "\n";
    if (lines_.empty()) {
        view << "    (no drives)\n";
    }
    for (int i = 0; i < listCount(); ++i) {
        view << (i == selected_ ? "  > " : "    ") << "[" << (i + 1) << "] "
             << lines_[static_cast<std::size_t>(i)] << "\n";
    }
    const std::string updateMsg = text(Control::lblUpdateMsg);
    if (visible(Control::lblOldFW) && visible(Control::lblNewFW)) {
        // "It will be updated from             to": the blanks make room for
        // the old revision, the new one follows "to".
        const auto gap = updateMsg.find("  ");
        std::string left = updateMsg;
        std::string right;
        if (gap != std::string::npos) {
            left = updateMsg.substr(0, gap);
            right = trim(updateMsg.substr(gap));
        }
        view << left << " " << text(Control::lblOldFW);
        if (!right.empty()) {
            view << " " << right;
        }
        view << " " << text(Control::lblNewFW) << "\n";
    } else {
        view << updateMsg << "\n";
    }
    view << "Buttons: [" << plainButton(text(Control::cmdUpdate))
         << (enabled(Control::cmdUpdate) ? "" : " (disabled)") << "] ["
         << plainButton(text(Control::cmdClose))
         << (enabled(Control::cmdClose) ? "" : " (disabled)") << "]\n";
    return view.str();
}

void ConsoleToolkit::showWindow(bool force) {
    if (!shown_) {
        return;
    }
    flushStatus();
    std::string view = windowView();
    if (!force && view == lastView_) {
        return;
    }
    endStatusLine();
    out() << "\n" << view;
    out().flush();
    lastView_ = std::move(view);
}

void ConsoleToolkit::statusChanged() {
    flushStatus();
}

void ConsoleToolkit::flushStatus() {
    if (!statusDirty_ || !shown_) {
        return;
    }
    statusDirty_ = false;
    const std::string message = text(Control::lblMsg);
    const std::string percent = text(Control::lblPercent);
    if (message.empty()) {
        // Idle: the status area shows nothing worth a line.
        lastStatus_.clear();
        lastStatusBase_.clear();
        lastDecade_ = -1;
        return;
    }
    std::string line = percent;
    if (line.size() < 5) {
        line.insert(0, 5 - line.size(), ' ');
    }
    line += "  " + message;
    if (line == lastStatus_) {
        return;
    }
    lastStatus_ = line;
    if (options_.outputIsTerminal) {
        out() << "\r" << line << "\033[K";
        statusLineOpen_ = true;
        out().flush();
        return;
    }
    const std::string base = statusBase(message);
    const int decade = std::atoi(percent.c_str()) / 10;
    if (base == lastStatusBase_ && decade == lastDecade_) {
        return;
    }
    lastStatusBase_ = base;
    lastDecade_ = decade;
    out() << line << "\n";
}

void ConsoleToolkit::endStatusLine() {
    if (statusLineOpen_) {
        out() << "\n";
        statusLineOpen_ = false;
    }
}

}  // namespace zorbel::console
