// The person at the simulated computer. Wraps the front end's toolkit and,
// after each message dialog, does what the message asked of them: takes the
// disc out of an open tray ("Please remove the disc."), out of a tray that
// would not open ("... Please remove the disc manually."), and pushes open
// trays in ("Please push the tray in."). Everything else goes to the front
// end unchanged.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/Toolkit.h"
#include "sim/SimHost.h"

namespace zorbel::simtool {

class Person final : public Toolkit {
  public:
    // `narration`, when given, receives a line for each act as it happens.
    Person(Toolkit& front, sim::SimHost& computer, std::ostream* narration = nullptr)
        : front_(front), computer_(computer), narration_(narration) {}

    // What the person did, one line per act, in order.
    const std::vector<std::string>& acts() const { return acts_; }

    void attachForm(FormEvents* form) override { front_.attachForm(form); }
    void runMessageLoop() override { front_.runMessageLoop(); }
    void terminate() override { front_.terminate(); }
    bool terminateRequested() const override { return front_.terminateRequested(); }
    void processPendingMessages() override { front_.processPendingMessages(); }
    void showException(std::string_view message) override { front_.showException(message); }
    void setCaption(std::string_view caption) override { front_.setCaption(caption); }
    std::string caption() const override { return front_.caption(); }
    void removeSystemMenuClose() override { front_.removeSystemMenuClose(); }
    void setText(Control control, std::string_view text) override { front_.setText(control, text); }
    std::string text(Control control) const override { return front_.text(control); }
    void setVisible(Control control, bool visible) override { front_.setVisible(control, visible); }
    bool visible(Control control) const override { return front_.visible(control); }
    void setEnabled(Control control, bool enabled) override { front_.setEnabled(control, enabled); }
    bool enabled(Control control) const override { return front_.enabled(control); }
    void setFontColour(Control control, FontColour colour) override {
        front_.setFontColour(control, colour);
    }
    FontColour fontColour(Control control) const override { return front_.fontColour(control); }
    void clearList() override { front_.clearList(); }
    void addListLine(std::string_view line) override { front_.addListLine(line); }
    int listCount() const override { return front_.listCount(); }
    std::string listLine(int index) const override { return front_.listLine(index); }
    void selectListLine(int index) override { front_.selectListLine(index); }
    int selectedListLine() const override { return front_.selectedListLine(); }
    void setProgressRange(int minimum, int maximum) override {
        front_.setProgressRange(minimum, maximum);
    }
    int progressMaximum() const override { return front_.progressMaximum(); }
    void setProgressStep(int step) override { front_.setProgressStep(step); }
    void progressStepIt() override { front_.progressStepIt(); }
    void setProgressPosition(int position) override { front_.setProgressPosition(position); }
    int progressPosition() const override { return front_.progressPosition(); }
    void setTimerEnabled(bool enabled) override { front_.setTimerEnabled(enabled); }
    bool timerEnabled() const override { return front_.timerEnabled(); }
    DialogAnswer messageDialog(DialogKind kind, std::string_view text) override;
    void systemMessageBox(std::string_view text, std::string_view caption) override {
        front_.systemMessageBox(text, caption);
    }
    EndEventDispatcher& endEventDispatcher() override { return front_.endEventDispatcher(); }

  private:
    void act(std::string_view text);
    void record(std::string what);

    Toolkit& front_;
    sim::SimHost& computer_;
    std::ostream* narration_;
    std::vector<std::string> acts_;
};

}  // namespace zorbel::simtool
