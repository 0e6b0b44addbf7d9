// The two ways zorbel-sim shows the program: the window (Qt, when built) and
// the console.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/Toolkit.h"
#include "app/console/ConsoleToolkit.h"
#include "sim/SimHost.h"

namespace zorbel::simtool {

struct FrontSettings {
    std::vector<console::ScriptStep> script;  // answers (and, on the console, idle actions)
    bool answersGiven = false;                // --answers was given, even empty
    // Window only: write PNG pictures of the window (idle and refusal states)
    // and of every dialog into this folder, then close the window.
    std::optional<std::filesystem::path> screenshotDir;
};

// How the window answers its dialogs: the scripted answers in order (idle
// actions are the console's, dropped with a warning); once they run out, the
// person answers, or the default button while pictures are taken. Empty when
// there is nothing to script.
using WindowDialogScript =
    std::function<std::optional<DialogAnswer>(DialogKind kind, std::string_view text)>;
WindowDialogScript windowDialogScript(const FrontSettings& settings, bool pictures);

// The pictures --screenshot takes of the window, whichever toolkit draws it:
// the idle window, the first line whose drive the package refuses, and, with
// Update pressed, the window as the workers start. `settle` lets the window
// draw what changed; `picture(name)` saves one. True when the update is under
// way (the front takes "updated" once it is over); false when the window was
// closed or the program ended instead.
template <typename Window>
bool picturesUntilUpdate(Window& window, const std::function<void()>& settle,
                         const std::function<void(const std::string&)>& picture) {
    settle();
    picture("idle");
    const int idleLine = window.selectedListLine();
    for (int line = 0; line < window.listCount(); ++line) {
        window.chooseListLine(line);
        if (!window.enabled(Control::cmdUpdate)) {
            settle();
            picture("refusal");
            break;
        }
    }
    window.chooseListLine(idleLine);
    if (!window.enabled(Control::cmdUpdate)) {
        window.pressButton(Control::cmdClose);
        return false;
    }
    window.pressButton(Control::cmdUpdate);
    if (window.terminateRequested()) {
        return false;
    }
    if (window.timerEnabled()) {
        picture("programming");
    }
    return true;
}

// True when this build has the window front end.
bool windowFrontBuilt();
// True when the window can be opened on the display the environment names
// (false without a window front end).
bool windowOpens();

// Runs the program in its window; returns the program's exit code. Sets
// `error` and returns 2 when the window cannot be shown.
int runWindow(sim::SimHost& computer, const FrontSettings& settings, std::string& error);

}  // namespace zorbel::simtool
