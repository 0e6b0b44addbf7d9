// Runs the test programs named on its command line one after another, in the
// current folder, each with this program's standard streams, and says how each
// ended. Exit status: the number of programs that failed (at most 100). One
// wine start-up then serves them all.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        std::string command = argv[i];
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        DWORD status = 255;
        std::printf("=== %s\n", argv[i]);
        std::fflush(stdout);
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &process)) {
            WaitForSingleObject(process.hProcess, INFINITE);
            GetExitCodeProcess(process.hProcess, &status);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        std::printf("=== %s: exit status %lu\n", argv[i], static_cast<unsigned long>(status));
        std::fflush(stdout);
        failed += status != 0 ? 1 : 0;
    }
    std::printf("%d programs, %d failed\n", argc - 1, failed);
    return failed < 100 ? failed : 100;
}
