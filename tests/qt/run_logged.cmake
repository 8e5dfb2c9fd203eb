# Runs a QtTest program through the emulator with its log in a file, then
# shows the log. Under Wine a program without a console sends QtTest's log
# to the debugger channel rather than to standard output.
#   cmake -DEMULATOR=<loader> -DPROGRAM=<exe> -DLOG=<file> [-DFUNCTIONS=a;b]
#         -P run_logged.cmake
# FUNCTIONS: the test functions to run (all when not given).
file(REMOVE ${LOG})
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${FUNCTIONS} -o ${LOG},txt
  RESULT_VARIABLE status INPUT_FILE /dev/null)
if(EXISTS ${LOG})
  file(READ ${LOG} log)
  message("${log}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM}: exit status ${status}")
endif()
