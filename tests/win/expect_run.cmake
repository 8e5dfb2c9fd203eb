# Runs a program (through the emulator, when given) with one argument and
# checks its exit status and a text in its output.
#   cmake -DEMULATOR=<loader> -DPROGRAM=<exe> -DARG=<arg> -DEXPECT_STATUS=<n>
#         -DEXPECT_TEXT=<text> -P expect_run.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARG}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  INPUT_FILE /dev/null)
set(all "${out}${err}")
message("${all}")
if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
  message(FATAL_ERROR "exit status ${status}, expected ${EXPECT_STATUS}")
endif()
string(FIND "${all}" "${EXPECT_TEXT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the output lacks \"${EXPECT_TEXT}\"")
endif()
