// The console front end: the window as text on stdout, dialogs answered on the
// terminal, or by their default button when there is none.
#include <unistd.h>

#include <iostream>

#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "tools/zorbel/Front.h"

namespace zorbel::program {

int runConsole(linuxhost::LinuxHost& host) {
    console::ConsoleOptions options;
    options.out = &std::cout;
    options.in = &std::cin;
    options.outputIsTerminal = isatty(STDOUT_FILENO) != 0;
    options.inputIsTerminal = isatty(STDIN_FILENO) != 0;
    console::ConsoleToolkit toolkit(std::move(options));
    host.setMessageSink([&toolkit](std::string_view text, std::string_view caption) {
        toolkit.systemMessageBox(text, caption);
    });
    const int code = RunZorbel(toolkit);
    host.setMessageSink({});
    return code;
}

}  // namespace zorbel::program
