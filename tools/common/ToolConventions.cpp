#include "tools/common/ToolConventions.h"

#include <CLI/CLI.hpp>
#include <cstring>
#include <iostream>

namespace zorbel::tools {

std::string projectVersion() {
    return ZORBEL_VERSION;
}

std::string versionLine(std::string_view tool) {
    return std::string(tool) + " " + projectVersion() + " (package format " +
           std::to_string(PackageFormatVersion) + ")";
}

std::optional<int> readCommandLine(CLI::App& app, int argc, char** argv, std::string_view tool,
                                   std::string_view usage) {
    app.set_version_flag("--version", versionLine(tool),
                         "print the version and the package format version, then exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return ExitSuccess;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return ExitSuccess;
    } catch (const CLI::CallForVersion&) {
        std::cout << versionLine(tool) << "\n";
        return ExitSuccess;
    } catch (const CLI::ParseError& failure) {
        std::cerr << tool << ": " << failure.what() << "\n"
                  << "usage: " << usage << "\n"
                  << "(" << tool << " --help tells more)\n";
        return ExitUsage;
    }
    return std::nullopt;
}

std::string systemReason(int error) {
    return std::strerror(error);
}

}  // namespace zorbel::tools
