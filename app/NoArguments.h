// The update programs read no command line: whatever is given there (a
// --help, a file name) ends the program before it looks for any drive, so a
// package that updates by itself is never started by a mistyped command.
#pragma once

namespace zorbel {

// Status of a program started with arguments.
inline constexpr int ExitArguments = 2;

// True, after one line on standard error saying the program takes no
// arguments and where its help is, when the command line holds any.
bool RefuseArguments(int argc, const char* const* argv);

}  // namespace zorbel
