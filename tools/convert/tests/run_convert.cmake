# Runs seamlog-convert once or more and checks its exit status, its messages
# and the file it wrote.
#   -DCONVERT=program  -DEMULATOR=runner (may be empty)  -DOUTPUT=file  -DEXIT=status
#   -DARGS=a|b|c       OUTPUT is appended, or stands where {OUTPUT} is; {INPUT}
#                      stands for an input made by INPUT_FROM or BIG_INPUT
#   [-DINPUT_FROM=file [-DLINE_ENDS=LF|CR|STRAY_LF|STRAY_CR] [-DREPEAT=n] [-DCUT=n]]
#                      {INPUT} is file, with its CR LFs made LF or CR (or just
#                      the fifth made a lone LF or CR), repeated n times, its
#                      last n bytes cut off
#   [-DBIG_INPUT=bytes]  {INPUT} is a (sparse) file of that many zero bytes
#   [-DRUNS=n] [-DPREFILL=text] [-DOUTPUT_FROM=file: OUTPUT starts as a copy of it]
#   [-DINTENT_FROM=file: OUTPUT.saving made from it, @OUTPUT@ replaced] [-DKEEP_BYTES=n]
#   [-DOUTPUT_KIND=DANGLING_LINK: OUTPUT is a symbolic link to a missing file]
#   [-DOUTPUT_ARGUMENT=name: given on the command line instead of OUTPUT's path]
#   [-DSTDOUT_TO_OUTPUT=1: the program's standard output goes to OUTPUT]
#   [-DPARALLEL=n]     n runs at once, after one run alone into OUTPUT.one;
#                      OUTPUT must then hold n copies of that run's table
#   [-DEXPECTED=file, compared with OUTPUT after the runs; its content repeated RUNS times]
#   [-DUNCHANGED=1: OUTPUT must hold just the prefilled text (or its copy) afterwards]
#   [-DNO_OUTPUT=1: OUTPUT must not exist afterwards]
#   [-DFOREIGN_OUTPUT=1: OUTPUT (a folder or a device) is neither removed nor checked]
#   [-DSTDOUT=regex] [-DSTDERR=regex] [-DNOT_STDERR=regex]
cmake_minimum_required(VERSION 3.25)
if(NOT DEFINED RUNS)
  set(RUNS 1)
endif()
string(REPLACE "|" ";" arguments "${ARGS}")
if(NOT FOREIGN_OUTPUT)
  file(REMOVE "${OUTPUT}")
endif()

set(input "${OUTPUT}.input")
if(DEFINED INPUT_FROM)
  # file(READ) would drop the CRs; the input is made with the shell's tools.
  if(NOT DEFINED REPEAT)
    set(REPEAT 1)
  endif()
  set(copies "")
  foreach(copy RANGE 1 ${REPEAT})
    list(APPEND copies "${INPUT_FROM}")
  endforeach()
  set(filter cat)
  if(LINE_ENDS STREQUAL "LF")
    set(filter tr -d "\r")
  elseif(LINE_ENDS STREQUAL "CR")
    set(filter tr -d "\n")
  elseif(LINE_ENDS STREQUAL "STRAY_LF")
    set(filter sed -z "s/\\r\\n/\\n/5")
  elseif(LINE_ENDS STREQUAL "STRAY_CR")
    set(filter sed -z "s/\\r\\n/\\r/5")
  endif()
  set(cut cat)
  if(DEFINED CUT)
    set(cut head -c -${CUT})
  endif()
  execute_process(COMMAND cat ${copies} COMMAND ${filter} COMMAND ${cut} OUTPUT_FILE "${input}"
                  RESULT_VARIABLE made)
  if(NOT made EQUAL 0)
    message(FATAL_ERROR "cannot make the input from ${INPUT_FROM}")
  endif()
elseif(DEFINED BIG_INPUT)
  file(REMOVE "${input}")
  execute_process(COMMAND truncate -s ${BIG_INPUT} "${input}" RESULT_VARIABLE made)
  if(NOT made EQUAL 0)
    message(FATAL_ERROR "cannot make a ${BIG_INPUT}-byte input")
  endif()
endif()
list(TRANSFORM arguments REPLACE "^{INPUT}$" "${input}")
if(NOT DEFINED OUTPUT_ARGUMENT)
  set(OUTPUT_ARGUMENT "${OUTPUT}")
endif()
if("{OUTPUT}" IN_LIST arguments)
  list(TRANSFORM arguments REPLACE "^{OUTPUT}$" "${OUTPUT_ARGUMENT}")
else()
  list(APPEND arguments "${OUTPUT_ARGUMENT}")
endif()

# OUTPUT's content before the runs, in hexadecimal.
set(expected_output "")
if(DEFINED PREFILL)
  file(WRITE "${OUTPUT}" "${PREFILL}")
  string(HEX "${PREFILL}" expected_output)
  string(TOLOWER "${expected_output}" expected_output)
elseif(DEFINED OUTPUT_FROM)
  configure_file("${OUTPUT_FROM}" "${OUTPUT}" COPYONLY)
  file(READ "${OUTPUT}" expected_output HEX)
elseif(OUTPUT_KIND STREQUAL "DANGLING_LINK")
  file(CREATE_LINK "${OUTPUT}.missing" "${OUTPUT}" SYMBOLIC)
endif()
# An interrupted earlier run: its intent beside OUTPUT, naming OUTPUT; of
# OUTPUT's content only the first KEEP_BYTES bytes were there before that run.
if(DEFINED INTENT_FROM)
  configure_file("${INTENT_FROM}" "${OUTPUT}.saving" @ONLY NEWLINE_STYLE CRLF)
endif()
if(DEFINED KEEP_BYTES)
  math(EXPR hex_length "${KEEP_BYTES} * 2")
  string(SUBSTRING "${expected_output}" 0 ${hex_length} expected_output)
endif()
set(redirect OUTPUT_VARIABLE out)
if(STDOUT_TO_OUTPUT)
  set(redirect OUTPUT_FILE "${OUTPUT}")
endif()

function(check_messages status out err)
  if(NOT "${status}" STREQUAL "${EXIT}")
    message(FATAL_ERROR "exit status ${status}, expected ${EXIT}")
  endif()
  if(DEFINED STDOUT AND NOT out MATCHES "${STDOUT}")
    message(FATAL_ERROR "standard output does not match '${STDOUT}'")
  endif()
  if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
    message(FATAL_ERROR "standard error does not match '${STDERR}'")
  endif()
  if(DEFINED NOT_STDERR AND err MATCHES "${NOT_STDERR}")
    message(FATAL_ERROR "standard error matches '${NOT_STDERR}'")
  endif()
endfunction()

if(DEFINED PARALLEL)
  set(alone "${OUTPUT}.one")
  set(alone_arguments ${arguments})
  list(FIND alone_arguments "${OUTPUT}" at)
  list(REMOVE_AT alone_arguments ${at})
  list(INSERT alone_arguments ${at} "${alone}")
  file(REMOVE "${alone}")
  execute_process(COMMAND ${EMULATOR} "${CONVERT}" ${alone_arguments} RESULT_VARIABLE status)
  check_messages("${status}" "" "")
  # Started by the shell side by side, not as a pipeline: a pipeline would
  # feed one run's messages to the next and could end it with SIGPIPE.
  set(command "")
  foreach(word IN LISTS EMULATOR CONVERT arguments)
    string(APPEND command " '${word}'")
  endforeach()
  set(script "status=0\n")
  foreach(run RANGE 1 ${PARALLEL})
    string(APPEND script "${command} >/dev/null & run${run}=$!\n")
  endforeach()
  foreach(run RANGE 1 ${PARALLEL})
    string(APPEND script "wait $run${run}; code=$?; echo \"run ${run}: exit $code\" >&2\n"
                         "[ $code -eq ${EXIT} ] || status=1\n")
  endforeach()
  string(APPEND script "exit $status\n")
  execute_process(COMMAND sh -c "${script}" RESULT_VARIABLE status ERROR_VARIABLE err)
  message(STATUS "runs at once:\n--- stderr\n${err}---")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "not every run at once exited with ${EXIT}")
  endif()
  file(READ "${alone}" table HEX)
  file(READ "${OUTPUT}" written HEX)
  string(REPEAT "${table}" ${PARALLEL} want)
  if(NOT written STREQUAL want)
    message(FATAL_ERROR "${OUTPUT} is not ${PARALLEL} whole copies of the table of one run")
  endif()
  return()
endif()

foreach(run RANGE 1 ${RUNS})
  set(out "")
  execute_process(
    COMMAND ${EMULATOR} "${CONVERT}" ${arguments}
    RESULT_VARIABLE status
    ${redirect}
    ERROR_VARIABLE err)
  message(STATUS "run ${run}: exit ${status}\n--- stdout\n${out}--- stderr\n${err}---")
  check_messages("${status}" "${out}" "${err}")
endforeach()

if(NO_OUTPUT AND EXISTS "${OUTPUT}")
  message(FATAL_ERROR "${OUTPUT} was created")
endif()
if(OUTPUT_KIND STREQUAL "DANGLING_LINK" AND EXISTS "${OUTPUT}.missing")
  message(FATAL_ERROR "the missing file ${OUTPUT} links to was created")
endif()
if(UNCHANGED)
  file(READ "${OUTPUT}" written HEX)
  if(NOT written STREQUAL expected_output)
    message(FATAL_ERROR "${OUTPUT} was changed")
  endif()
endif()
if(DEFINED INTENT_FROM AND EXISTS "${OUTPUT}.saving")
  message(FATAL_ERROR "${OUTPUT}.saving was left behind")
endif()
if(DEFINED EXPECTED)
  file(READ "${EXPECTED}" table HEX)
  file(READ "${OUTPUT}" written HEX)
  set(want "${expected_output}")
  foreach(run RANGE 1 ${RUNS})
    string(APPEND want "${table}")
  endforeach()
  if(NOT written STREQUAL want)
    message(FATAL_ERROR "${OUTPUT} differs from ${RUNS} x ${EXPECTED} (after the prefilled text)")
  endif()
endif()
