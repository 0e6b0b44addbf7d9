# Shared part of the mingw-w64 toolchain files: cross-building Windows programs
# on Debian. ZORBEL_MINGW_TRIPLE names the compiler set (x86_64-w64-mingw32 or
# i686-w64-mingw32); the -posix compilers give std::thread. Programs link
# libstdc++, libgcc and winpthread statically, so each is one file that runs on
# a bare Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZORBEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORBEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORBEL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZORBEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The header's operating-system and subsystem versions name the oldest system
# (ZORBEL_WINDOWS_FLOOR, set by the toolchain file before it includes this one).
if(ZORBEL_WINDOWS_FLOOR MATCHES "^([0-9]+)\\.([0-9]+)$")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT
         " -Wl,--major-os-version,${CMAKE_MATCH_1},--minor-os-version,${CMAKE_MATCH_2}"
         " -Wl,--major-subsystem-version,${CMAKE_MATCH_1},--minor-subsystem-version,${CMAKE_MATCH_2}")
endif()
