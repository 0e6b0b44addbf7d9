// zorbel.exe: updates the firmware of the optical drives of this computer with
// the package embedded in the program, in its native window. It reads no
// file and no environment, and any argument ends it at once with status 2.
#include "app/NoArguments.h"
#include "app/ZorbelMain.h"
#include "app/win32/Win32Toolkit.h"
#include "device/Host.h"
#include "device/host_windows.h"

int main(int argc, char** argv) {
    if (zorbel::RefuseArguments(argc, argv)) {
        return zorbel::ExitArguments;
    }
    zorbel::winhost::restrictLibrarySearch();
    zorbel::winhost::WindowsHost host;
    zorbel::setCurrentHost(&host);
    int code = 0;
    {
        zorbel::win32::Win32Toolkit toolkit;
        host.setMessageSink([&toolkit](std::string_view text, std::string_view caption) {
            toolkit.systemMessageBox(text, caption);
        });
        code = zorbel::RunZorbel(toolkit);
        host.setMessageSink({});
    }
    zorbel::setCurrentHost(nullptr);
    return code;
}
