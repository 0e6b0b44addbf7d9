// zorbel: updates the firmware of the optical drives of this computer with the
// package embedded in the program. It reads no command line, no file and no
// environment (beyond what the window toolkit needs to find a display).
#include "device/Host.h"
#include "device/host_linux.h"
#include "tools/zorbel/Front.h"

int main() {
    zorbel::linuxhost::LinuxHost host;
    zorbel::setCurrentHost(&host);
    const int code = zorbel::program::displayAvailable() ? zorbel::program::runWindow(host)
                                                         : zorbel::program::runConsole(host);
    zorbel::setCurrentHost(nullptr);
    return code;
}
