# Windows x86_64 (PE32+) with mingw-w64. Test programs run under wine64.
set(ZORBEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The oldest system the programs load on: the first x64 Windows (5.2).
set(ZORBEL_WINDOWS_FLOOR 5.2)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
