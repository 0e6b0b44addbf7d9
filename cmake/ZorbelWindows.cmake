# What the Windows cross build takes from the Debian build machine: GoogleTest
# built from Debian's sources with the cross compiler, and the header-only
# libraries (toml++) from the machine's include folder, without the rest of that
# folder. Included before the project's warning options, so GoogleTest builds
# with its own.
if(ZORBEL_BUILD_TESTS)
  set(ZORBEL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (libgtest-dev)")
  if(NOT EXISTS ${ZORBEL_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${ZORBEL_GTEST_SOURCE_DIR}: install libgtest-dev")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ZORBEL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# toml++ as a header-only library: a folder that holds only its headers.
set(ZORBEL_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
if(EXISTS /usr/include/toml++/toml.h AND NOT TARGET tomlplusplus::tomlplusplus)
  file(MAKE_DIRECTORY ${ZORBEL_HOST_HEADERS})
  file(CREATE_LINK /usr/include/toml++ ${ZORBEL_HOST_HEADERS}/toml++ SYMBOLIC)
  add_library(tomlplusplus::tomlplusplus INTERFACE IMPORTED)
  set_target_properties(tomlplusplus::tomlplusplus PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${ZORBEL_HOST_HEADERS}
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${ZORBEL_HOST_HEADERS}
    INTERFACE_COMPILE_DEFINITIONS TOML_HEADER_ONLY=1)
endif()

# Test programs run under wine on the build machine. The i686 ones need wine's
# 32-bit loader; where the machine's kernel runs no 32-bit code they run
# inside the QEMU peer VM instead (tests/windows/vm_run.sh), the unit test
# programs together in one VM start.
set(ZORBEL_WINE_IN_VM OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_CROSSCOMPILING_EMULATOR)
  execute_process(COMMAND /usr/lib/wine/wine --version RESULT_VARIABLE wine32_result
                  OUTPUT_QUIET ERROR_QUIET)
  if(NOT wine32_result EQUAL 0)
    set(ZORBEL_WINE_IN_VM ON)
    message(STATUS "wine's 32-bit loader does not run here: i686 tests run in the QEMU peer VM")
  endif()
endif()
