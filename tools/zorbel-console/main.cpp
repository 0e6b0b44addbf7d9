// zorbel-console: the update program for Windows as a console program (for
// Windows PE boot media, Server Core and scripts), with its embedded package.
// The window is shown as text; dialogs are answered on the console when it is
// one, else by the answers on standard input, one word a line (the end of
// input answers Escape, then Close). A device that cannot be opened or a
// pass-through call that fails is named on standard error with the Windows
// error. It reads no file and no environment, and any argument ends it at once
// with status 2.
#include <iostream>

#include "app/NoArguments.h"
#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "device/Host.h"
#include "device/WideConsoleStream.h"
#include "device/host_windows.h"

int main(int argc, char** argv) {
    if (zorbel::RefuseArguments(argc, argv)) {
        return zorbel::ExitArguments;
    }
    zorbel::winhost::restrictLibrarySearch();
    zorbel::winhost::WindowsHost host;
    host.setCauseLines(true);
    host.setConsoleProgram(true);
    zorbel::setCurrentHost(&host);
    // A person is at the console only when the console answers: NUL, a file
    // or a pipe is not one.
    zorbel::console::ConsoleOptions options = zorbel::console::standardStreamOptions(
        zorbel::winhost::standardStreamIsConsole(1), zorbel::winhost::standardStreamIsConsole(0));
    // The console shows the text whatever its code page; a file or a pipe
    // gets the UTF-8 bytes.
    zorbel::winhost::WideConsoleStream wideOutput(1);
    if (zorbel::winhost::standardStreamIsConsole(1)) {
        options.out = &wideOutput;
    }
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
