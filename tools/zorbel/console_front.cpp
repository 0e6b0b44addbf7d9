// The console front end: the window as text on stdout, answers from the
// terminal, or from standard input one word a line when it is no terminal;
// refused answers on stderr.
#include <unistd.h>

#include <iostream>

#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "tools/zorbel/Front.h"

namespace zorbel::program {

int runConsole(linuxhost::LinuxHost& host) {
    console::ConsoleOptions options;
    options.out = &std::cout;
    options.err = &std::cerr;
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
