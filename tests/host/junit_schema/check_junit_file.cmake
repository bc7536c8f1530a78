# Runs `semhost validate` (under the emulator when cross-compiled) with
# --junit and checks the file with xmllint against the strict (Ant) JUnit
# schema, or, when a check was skipped, against its variant that adds only
# <skipped> (README.md here says why). The file must also hold EXPECTED.
#   -DEMULATOR=... -DPROGRAM=... -DMODULE=... -DREPORT=out.xml -DSCHEMA_DIR=...
#   -DARGS=a|b -DEXPECTED=text
string(REPLACE "|" ";" ARGS "${ARGS}")
file(REMOVE "${REPORT}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} validate ${MODULE} --seed 1 --cycles 1 ${ARGS} --junit ${REPORT}
                RESULT_VARIABLE code
                OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
# 0 or 1: the checks ran and the report was written; anything else is not
# what this test is about.
if(NOT code MATCHES "^[01]$" OR NOT EXISTS "${REPORT}")
  message(FATAL_ERROR "semhost validate exited ${code} without a report; output:\n${output}")
endif()
file(READ "${REPORT}" xml)
string(FIND "${xml}" "<skipped " skipped)
if(skipped EQUAL -1)
  set(schema "${SCHEMA_DIR}/JUnit.xsd")
else()
  set(schema "${SCHEMA_DIR}/JUnit-with-skipped.xsd")
endif()
execute_process(COMMAND xmllint --noout --schema ${schema} ${REPORT}
                RESULT_VARIABLE valid
                OUTPUT_VARIABLE said
                ERROR_VARIABLE said)
if(NOT valid EQUAL 0)
  message(FATAL_ERROR "xmllint (libxml2-utils) finds ${REPORT} invalid under ${schema} (${valid}):\n${said}\n${xml}")
endif()
string(FIND "${xml}" "${EXPECTED}" found)
if(found EQUAL -1)
  message(FATAL_ERROR "${REPORT} lacks \"${EXPECTED}\":\n${xml}")
endif()
message(STATUS "${REPORT}: valid under ${schema}")
