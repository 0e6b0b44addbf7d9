# gtest_discover_tests with several labels.
#
# A list given to gtest_discover_tests' PROPERTIES is flattened on its way into
# the generated test file ("LABELS app;threaded" turns "threaded" into a property
# name), so a test would lose every label but the first. This wrapper passes the
# first label through and sets the whole list from a file that ctest includes
# after the discovered tests. Labels are lower-case words; property names are
# upper-case, which is how the two are told apart.
include(GoogleTest)

#
# In the Windows build every test program is one test that runs all its cases
# in one go: each program start costs a wine start-up.
function(gtest_discover_tests target)
  set(args ${ARGN})
  if(WIN32 AND ZORBEL_WINE_IN_VM)
    # Run together with the other test programs in one VM start (tests/windows).
    set_property(GLOBAL APPEND PROPERTY ZORBEL_VM_TEST_PROGRAMS ${target})
    return()
  endif()
  if(WIN32)
    set(labels)
    set(state "")
    foreach(arg IN LISTS args)
      if(arg STREQUAL "LABELS")
        set(state "labels")
      elseif(arg MATCHES "^[A-Z_]+$")
        set(state "")
      elseif(state STREQUAL "labels")
        list(APPEND labels ${arg})
      endif()
    endforeach()
    add_test(NAME ${target} COMMAND ${target})
    if(labels)
      set_tests_properties(${target} PROPERTIES LABELS "${labels}")
    endif()
    return()
  endif()
  set(out)
  set(labels)
  set(state "")
  foreach(arg IN LISTS args)
    if(state STREQUAL "labels")
      if(arg MATCHES "^[A-Z_]+$")
        set(state "")
      else()
        list(APPEND labels ${arg})
        continue()
      endif()
    endif()
    if(arg STREQUAL "LABELS")
      set(state "labels")
      continue()
    endif()
    list(APPEND out ${arg})
  endforeach()
  if(NOT labels)
    _gtest_discover_tests(${target} ${args})
    return()
  endif()
  list(GET labels 0 first)
  # Put "LABELS first" right after PROPERTIES (the only place LABELS appears).
  list(FIND out PROPERTIES at)
  if(at EQUAL -1)
    list(APPEND out PROPERTIES LABELS ${first})
  else()
    math(EXPR at "${at} + 1")
    list(INSERT out ${at} LABELS ${first})
  endif()
  _gtest_discover_tests(${target} ${out})
  list(LENGTH labels count)
  if(count GREATER 1)
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
    file(WRITE ${file}
         "if(${target}_TESTS)\n"
         "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${labels}\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
  endif()
endfunction()
