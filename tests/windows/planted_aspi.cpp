// A library planted beside a program under the ASPI manager's name: loading
// it at all is the fault, so it announces itself on standard output and ends
// the process at once with status 86.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        static const char text[] = "PLANTED WNASPI32.DLL LOADED\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text - 1, &written, nullptr);
        ExitProcess(86);
    }
    return TRUE;
}
