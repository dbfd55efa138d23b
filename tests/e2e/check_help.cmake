# Runs "NavorelBridge.exe --help" under Wine and compares its output with the
# expected help text (banner twice), and its exit code with 0.
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
execute_process(COMMAND ${EMULATOR} ${EXE} --help
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(READ "${CMAKE_CURRENT_LIST_DIR}/help.txt" expected)
string(REPLACE "\r\n" "\n" out "${out}")
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "exit code ${rc}, stderr: ${err}")
endif()
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "help text differs:\n${out}")
endif()
