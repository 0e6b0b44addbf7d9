# Windows i686 (PE32) with mingw-w64: the build for 32-bit Windows and its ASPI
# managers. Built only; this machine cannot run 32-bit programs.
set(ZORBEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
