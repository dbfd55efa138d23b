# Runs "NavorelBridge.exe --help" under Wine and compares its output with the
# expected help text (banner twice), and its exit code with 0. A bad port in
# front of --help must add the error line on standard error and nothing else.
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
file(READ "${CMAKE_CURRENT_LIST_DIR}/help.txt" expected)

function(check_run expected_err)
    execute_process(COMMAND ${EMULATOR} ${EXE} ${ARGN}
        OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 60)
    string(REPLACE "\r\n" "\n" out "${out}")
    string(REPLACE "\r\n" "\n" err "${err}")
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN}: exit code ${rc}, stderr: ${err}")
    endif()
    if(NOT out STREQUAL expected)
        message(FATAL_ERROR "${ARGN}: help text differs:\n${out}")
    endif()
    if(NOT err STREQUAL expected_err)
        message(FATAL_ERROR "${ARGN}: unexpected stderr:\n${err}")
    endif()
endfunction()

check_run("" --help)
check_run("Error: Port must be between 1024-65535\n" --port 80 -h)
