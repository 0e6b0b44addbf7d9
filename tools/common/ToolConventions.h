// What zorbel-pack, zorbel-probe and zorbel-sim share with the scripts that
// call them: one version line, the exit statuses, and how a command line is
// read (help and version on standard output with status 0; a usage error on
// standard error with the usage line and status 2).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace zorbel::tools {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailed = 1;  // refused, or a file could not be read or written
inline constexpr int ExitUsage = 2;   // unknown command, option or argument

// The version of the package block's layout and of the package description
// format. It changes only when a package filled by one version would not be
// read the same way by another.
inline constexpr int PackageFormatVersion = 1;

// The project's version ("0.1.0").
std::string projectVersion();

// "zorbel-pack 0.1.0 (package format 1)".
std::string versionLine(std::string_view tool);

// Gives `app` the --version flag and reads the command line. Returns the
// status to exit with when the program should end here: 0 after --help or
// --version (printed on standard output), ExitUsage after a usage error (the
// reason, `usage` and a pointer to --help on standard error). None when the
// program goes on.
std::optional<int> readCommandLine(CLI::App& app, int argc, char** argv, std::string_view tool,
                                   std::string_view usage);

// What the system said about a failed file operation: "No such file or
// directory" for errno ENOENT.
std::string systemReason(int error);

}  // namespace zorbel::tools
