// Test helper: runs a small program through the shell and keeps its output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace zorbel::testing {

// Runs a command line through the shell; returns its exit status and fills
// output with what it wrote to standard output.
inline int runCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zorbel::testing
