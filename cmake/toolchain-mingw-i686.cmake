# Windows i686 (PE32) with mingw-w64: the build for 32-bit Windows and its ASPI
# managers. Test programs run under wine's 32-bit loader (Debian's wine32).
set(ZORBEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
# The oldest system the programs load on: Windows XP (5.1), whose loader
# refuses a program that asks for a later one.
set(ZORBEL_WINDOWS_FLOOR 5.1)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
