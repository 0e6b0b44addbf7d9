// zorbel: updates the firmware of the optical drives of this computer with the
// package embedded in the program. It reads no file and no
// environment (beyond what the window toolkit needs to find a display); any
// argument ends it at once with status 2.
#include "app/NoArguments.h"
#include "device/Host.h"
#include "device/host_linux.h"
#include "tools/zorbel/Front.h"

int main(int argc, char** argv) {
    // Before the first thread (the toolkit starts its own): only the host's
    // watcher takes the termination signals.
    zorbel::linuxhost::blockStopSignals();
    if (zorbel::RefuseArguments(argc, argv)) {
        return zorbel::ExitArguments;
    }
    zorbel::linuxhost::LinuxHost host;
    zorbel::setCurrentHost(&host);
    const int code = zorbel::program::displayAvailable() ? zorbel::program::runWindow(host)
                                                         : zorbel::program::runConsole(host);
    zorbel::setCurrentHost(nullptr);
    return code;
}
