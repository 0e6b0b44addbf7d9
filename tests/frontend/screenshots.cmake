# Runs zorbel-sim --screenshot and checks that the window's pictures were
# written as PNG files: the idle state of the demo, the refusal state, the
# start-up notice, the window as the update starts and once it is over.
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${PROGRAM} --screenshot ${OUT} RESULT_VARIABLE status
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zorbel-sim --screenshot ended with ${status}:\n${out}\n${err}")
endif()
foreach(picture idle.png refusal.png dialog-1-warning.png programming.png updated.png)
  if(NOT EXISTS ${OUT}/${picture})
    message(FATAL_ERROR "missing ${picture}:\n${err}")
  endif()
  file(READ ${OUT}/${picture} signature LIMIT 8 HEX)
  if(NOT signature STREQUAL "89504e470d0a1a0a")
    message(FATAL_ERROR "${picture} is not a PNG file")
  endif()
endforeach()
