# How the executable finds its boot script: a copy of it is laid out in
# WORK as a game folder (bin/ beside Resources/) and run without arguments.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/it's/bin ${WORK}/elsewhere)
file(COPY ${EXE} DESTINATION ${WORK}/it's/bin)
get_filename_component(exe_name ${EXE} NAME)
set(game_exe ${WORK}/it's/bin/${exe_name})

function(expect what actual expected)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${what}:\n---- expected:\n${expected}\n---- actual:\n${actual}")
  endif()
endfunction()

# No boot script anywhere.
execute_process(COMMAND ${game_exe} WORKING_DIRECTORY ${WORK}/elsewhere
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
expect("exit status without a boot script" "${status}" "1")
expect("report without a boot script" "${err}" "BrumeVale startup error: BrumeScript error: Failed to open script file: lua.bs
  at line 1, near token 'runFile'
  runFile('lua.bs')
  ^~~~~~~
  hint: check spelling, operators, parentheses, and quote matching

")

# lua.bs in the working directory.
file(WRITE ${WORK}/elsewhere/lua.bs "print('from the working directory')\n")
execute_process(COMMAND ${game_exe} WORKING_DIRECTORY ${WORK}/elsewhere OUTPUT_VARIABLE out RESULT_VARIABLE status)
expect("working-directory boot script" "${status}:${out}" "0:from the working directory\n")

# The bundled boot script wins, even below a folder whose name has a quote.
file(WRITE ${WORK}/it's/Resources/lua.bs "print('bundled')\nrunFile('helper.bs')\n")
file(WRITE ${WORK}/it's/Resources/helper.bs "print('helper beside the boot script')\n")
execute_process(COMMAND ${game_exe} WORKING_DIRECTORY ${WORK}/elsewhere OUTPUT_VARIABLE out RESULT_VARIABLE status)
expect("bundled boot script" "${status}:${out}" "0:bundled\nhelper beside the boot script\n")

# A folder argument runs its lua.bs; a file argument runs that file.
execute_process(COMMAND ${game_exe} ${WORK}/elsewhere OUTPUT_VARIABLE out RESULT_VARIABLE status)
expect("folder argument" "${status}:${out}" "0:from the working directory\n")
file(WRITE ${WORK}/elsewhere/other.bs "print('named file')\n")
execute_process(COMMAND ${game_exe} other.bs WORKING_DIRECTORY ${WORK}/elsewhere OUTPUT_VARIABLE out RESULT_VARIABLE status)
expect("file argument" "${status}:${out}" "0:named file\n")
file(REMOVE_RECURSE ${WORK})
