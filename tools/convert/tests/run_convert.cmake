# Runs seamlog-convert once or more and checks its exit status, its messages
# and the file it wrote.
#   -DCONVERT=program  -DEMULATOR=runner (may be empty)  -DARGS=a|b|c (OUTPUT is appended)
#   -DOUTPUT=file  -DEXIT=status  [-DRUNS=n] [-DPREFILL=text]
#   [-DEXPECTED=file, compared with OUTPUT after the runs; its content repeated RUNS times]
#   [-DNO_OUTPUT=1: OUTPUT must not exist afterwards]
#   [-DSTDOUT=regex] [-DSTDERR=regex]
if(NOT DEFINED RUNS)
  set(RUNS 1)
endif()
string(REPLACE "|" ";" arguments "${ARGS}")
file(REMOVE "${OUTPUT}")
set(expected_output "")
if(DEFINED PREFILL)
  file(WRITE "${OUTPUT}" "${PREFILL}")
  set(expected_output "${PREFILL}")
endif()

foreach(run RANGE 1 ${RUNS})
  execute_process(
    COMMAND ${EMULATOR} "${CONVERT}" ${arguments} "${OUTPUT}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  message(STATUS "run ${run}: exit ${status}\n--- stdout\n${out}--- stderr\n${err}---")
  if(NOT "${status}" STREQUAL "${EXIT}")
    message(FATAL_ERROR "exit status ${status}, expected ${EXIT}")
  endif()
  if(DEFINED STDOUT AND NOT out MATCHES "${STDOUT}")
    message(FATAL_ERROR "standard output does not match '${STDOUT}'")
  endif()
  if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
    message(FATAL_ERROR "standard error does not match '${STDERR}'")
  endif()
endforeach()

if(NO_OUTPUT AND EXISTS "${OUTPUT}")
  message(FATAL_ERROR "${OUTPUT} was created")
endif()
if(DEFINED EXPECTED)
  file(READ "${EXPECTED}" table HEX)
  file(READ "${OUTPUT}" written HEX)
  string(HEX "${expected_output}" want)
  string(TOLOWER "${want}" want)
  foreach(run RANGE 1 ${RUNS})
    string(APPEND want "${table}")
  endforeach()
  if(NOT written STREQUAL want)
    message(FATAL_ERROR "${OUTPUT} differs from ${RUNS} x ${EXPECTED} (after the prefilled text)")
  endif()
endif()
