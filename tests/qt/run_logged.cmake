# Runs a QtTest program through the emulator with its log in a file, then
# shows the log. Under Wine a program without a console sends QtTest's log
# to the debugger channel rather than to standard output.
#   cmake -DEMULATOR=<loader> -DPROGRAM=<exe> -DLOG=<file> [-DFUNCTIONS=a;b]
#         [-DLOGPIXELS=<dpi>] -P run_logged.cmake
# FUNCTIONS: the test functions to run (all when not given). LOGPIXELS: the
# display's DPI for this run, as Windows' display scale sets it (96 is
# 100 %); put back to 96 afterwards. Wine passes no QT_ variable of the
# Unix environment on, so the system's own setting is the way in.
set(desktop "HKCU\\Control Panel\\Desktop")
if(LOGPIXELS)
  execute_process(COMMAND ${EMULATOR} reg add ${desktop} /v LogPixels /t REG_DWORD
    /d ${LOGPIXELS} /f INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
endif()
file(REMOVE ${LOG})
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${FUNCTIONS} -o ${LOG},txt
  RESULT_VARIABLE status INPUT_FILE /dev/null)
if(LOGPIXELS)
  execute_process(COMMAND ${EMULATOR} reg add ${desktop} /v LogPixels /t REG_DWORD
    /d 96 /f INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
endif()
if(EXISTS ${LOG})
  file(READ ${LOG} log)
  message("${log}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM}: exit status ${status}")
endif()
