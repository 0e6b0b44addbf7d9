// zorbel-console: the update program for Windows as a console program (for
// Windows PE boot media, Server Core and scripts), with its embedded package.
// The window is shown as text; dialogs are answered on the console when it is
// one, else by the answers on standard input, one word a line (the end of
// input answers Escape, then Close). It reads no command line, no file and no
// environment.
#include <io.h>

#include <cstdio>
#include <iostream>

#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "device/Host.h"
#include "device/host_windows.h"

int main() {
    zorbel::winhost::WindowsHost host;
    zorbel::setCurrentHost(&host);
    zorbel::console::ConsoleOptions options = zorbel::console::standardStreamOptions(
        _isatty(_fileno(stdout)) != 0, _isatty(_fileno(stdin)) != 0);
    int code = 0;
    {
        zorbel::console::ConsoleToolkit toolkit(std::move(options));
        host.setMessageSink([&toolkit](std::string_view text, std::string_view caption) {
            toolkit.systemMessageBox(text, caption);
        });
        code = zorbel::RunZorbel(toolkit);
        host.setMessageSink({});
        toolkit.reportUnusedAnswers();
    }
    zorbel::setCurrentHost(nullptr);
    return code;
}
