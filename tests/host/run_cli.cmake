# Runs semhost (under the emulator when cross-compiled) and checks its exit
# code and that its output holds an expected text.
#   -DEMULATOR=... -DPROGRAM=... -DARGS=a|b -DEXPECTED_CODE=N -DEXPECTED_OUTPUT=text
string(REPLACE "|" ";" ARGS "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS}
                RESULT_VARIABLE code
                OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
if(NOT code STREQUAL EXPECTED_CODE)
  message(FATAL_ERROR "exit code ${code}, expected ${EXPECTED_CODE}; output:\n${output}")
endif()
string(FIND "${output}" "${EXPECTED_OUTPUT}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "the output lacks \"${EXPECTED_OUTPUT}\"; output:\n${output}")
endif()
