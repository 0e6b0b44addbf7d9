// The console-only program: there is no window to show.
#include "tools/zorbel/Front.h"

namespace zorbel::program {

bool displayAvailable() {
    return false;
}
int runWindow(linuxhost::LinuxHost& host) {
    return runConsole(host);
}

}  // namespace zorbel::program
