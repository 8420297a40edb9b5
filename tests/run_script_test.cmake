# Runs one script test: EXE on DIR/NAME.bs, compared with NAME.out, NAME.err and NAME.status.
# A NAME starting with check_ is given to `EXE --check` instead of being run.
# With COMPILED_DIR set, the script is first compiled to a bytecode file there
# and that file runs instead, which must behave identically.
set(script ${NAME}.bs)
if(COMPILED_DIR)
  file(MAKE_DIRECTORY ${COMPILED_DIR})
  set(script ${COMPILED_DIR}/${NAME}.bsc)
  execute_process(COMMAND ${EXE} --compile ${NAME}.bs ${script} WORKING_DIRECTORY ${DIR}
    RESULT_VARIABLE compiled ERROR_VARIABLE compile_error)
  if(NOT compiled EQUAL 0)
    # Scripts that fail to compile are covered by the source run.
    return()
  endif()
endif()
set(mode "")
if(NAME MATCHES "^check_")
  set(mode --check)
endif()
execute_process(COMMAND ${EXE} ${mode} ${script}
  WORKING_DIRECTORY ${DIR}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)

set(expected_status 0)
if(EXISTS ${DIR}/${NAME}.err)
  set(expected_status 1)
endif()
if(EXISTS ${DIR}/${NAME}.status)
  file(READ ${DIR}/${NAME}.status expected_status)
  string(STRIP "${expected_status}" expected_status)
endif()

set(failed OFF)
function(compare what actual file)
  set(expected "")
  if(EXISTS ${file})
    file(READ ${file} expected)
  endif()
  if(NOT actual STREQUAL expected)
    message("---- ${what} differs\n---- expected:\n${expected}\n---- actual:\n${actual}")
    set(failed ON PARENT_SCOPE)
  endif()
endfunction()

compare("standard output" "${out}" ${DIR}/${NAME}.out)
compare("standard error" "${err}" ${DIR}/${NAME}.err)
if(NOT status STREQUAL expected_status)
  message("---- exit status ${status}, expected ${expected_status}")
  set(failed ON)
endif()
if(failed)
  message(FATAL_ERROR "script test ${NAME} failed")
endif()
