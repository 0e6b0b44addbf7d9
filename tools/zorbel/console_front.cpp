// The console front end: the window as text on stdout, answers from the
// terminal, or from standard input one word a line when it is no terminal;
// refused and unused answers on stderr.
#include <unistd.h>

#include <iostream>

#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "tools/zorbel/Front.h"

namespace zorbel::program {

int runConsole(linuxhost::LinuxHost& host) {
    console::ConsoleToolkit toolkit(
        console::standardStreamOptions(isatty(STDOUT_FILENO) != 0, isatty(STDIN_FILENO) != 0));
    host.setMessageSink([&toolkit](std::string_view text, std::string_view caption) {
        toolkit.systemMessageBox(text, caption);
    });
    const int code = RunZorbel(toolkit);
    host.setMessageSink({});
    toolkit.reportUnusedAnswers();
    return code;
}

}  // namespace zorbel::program
