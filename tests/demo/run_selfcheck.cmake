# xvfb-run picks a free display, starts Xvfb for the one command and stops it.
file(REMOVE ${FRAME})
execute_process(COMMAND xvfb-run -a -s "-screen 0 960x544x24" ${EXE} ${SCRIPT}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
set(expected "screen play view raycast\nmoved true steps true\n")
if(NOT status EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "self-check run failed (${status}):\n${out}\n${err}")
endif()
execute_process(COMMAND /usr/bin/python3 ${CHECK} ${FRAME} RESULT_VARIABLE checked)
if(NOT checked EQUAL 0)
  message(FATAL_ERROR "the self-check's last frame is wrong")
endif()
