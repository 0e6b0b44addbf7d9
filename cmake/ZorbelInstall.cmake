# zorbel_install_tool(TARGET "SUMMARY"): installs a tool for the build machine
# with its manual page, which help2man makes from the tool's own --help and
# --version at build time, so the help text is written once. Where help2man
# is missing the page is left out and the build says so.
include(GNUInstallDirs)
find_program(ZORBEL_HELP2MAN help2man)
if(NOT ZORBEL_HELP2MAN)
  message(STATUS "help2man not found: the tools' manual pages are left out")
endif()

function(zorbel_install_tool target summary)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT ZORBEL_HELP2MAN)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${ZORBEL_HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${summary}
            --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target}
    COMMENT "Making the manual page of ${target}"
    VERBATIM)
  add_custom_target(${target}-manual-page ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
