// The window front end on Qt 6 Widgets.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/ZorbelMain.h"
#include "app/qt/DisplayCheck.h"
#include "app/qt/QtToolkit.h"
#include "tools/zorbel/Front.h"

namespace zorbel::program {

bool displayAvailable() {
    // The two places the toolkit looks for a display on Linux.
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool named = (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
    if (named && !qt::DisplayOpens()) {
        std::fprintf(stderr,
                     "zorbel: cannot open the window on display \"%s\"; running on the console\n",
                     x11 != nullptr && *x11 != '\0' ? x11 : wayland);
        return false;
    }
    return named;
}

int runWindow(linuxhost::LinuxHost& host) {
    // The toolkit sees the program's name only: the command line is not read.
    static char name[] = "zorbel";
    static char* arguments[] = {name, nullptr};
    int count = 1;
    QApplication application(count, arguments);
    qt::QtToolkit toolkit;
    host.setMessageSink([&toolkit](std::string_view text, std::string_view caption) {
        toolkit.systemMessageBox(text, caption);
    });
    const int code = RunZorbel(toolkit);
    host.setMessageSink({});
    return code;
}

}  // namespace zorbel::program
