// The two ways zorbel-sim shows the program: the window (Qt, when built) and
// the console.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

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

// True when this build has the window front end.
bool windowFrontBuilt();

// Runs the program in its window; returns the program's exit code. Sets
// `error` and returns 2 when the window cannot be shown.
int runWindow(sim::SimHost& computer, const FrontSettings& settings, std::string& error);

}  // namespace zorbel::simtool
