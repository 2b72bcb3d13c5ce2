# skip_reasons.cmake on a log laid out as ctest writes it: each reason once, with the number of
# tests it held back, in the order met; a test that did not skip says nothing.
#   cmake -DSCRIPT=skip_reasons.cmake -DWORK=<a scratch folder> -P skip_reasons_test.cmake
cmake_minimum_required(VERSION 3.18)

function(test_block number name output)
  string(APPEND log "${number}/6 Test: ${name}\nCommand: \"runel_tests\"\nOutput:\n"
    "----------------------------------------------------------\n${output}<end of output>\n"
    "Test time =   0.01 sec\n----------------------------------------------------------\n"
    "\"${name}\" end time: Dec 08 08:07 UTC\n\n")
  set(log "${log}" PARENT_SCOPE)
endfunction()

function(gtest_skip number name reason)
  string(CONCAT output "[ RUN      ] ${name}\ntests/x.cpp:12: Skipped\n${reason}\n\n"
    "[  SKIPPED ] ${name} (0 ms)\n[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] ${name}\n")
  test_block(${number} ${name} "${output}")
  set(log "${log}" PARENT_SCOPE)
endfunction()

set(log "Start testing: Dec 08 08:07 UTC\n----------------------------------------------------------\n")
gtest_skip(1 Room.Tmpfs "cannot mount a tmpfs here (needs root): Operation not permitted")
# A test that died as it skipped failed, and ctest shows its output.
test_block(2 Board.Dies "[ RUN      ] Board.Dies\ntests/y.cpp:3: Skipped\nwhy\n")
# A reason of two lines, with the characters CMake's lists give a meaning to.
gtest_skip(3 Machine.Settings "sets fs.protected_* [the machine's]; runs only when asked:\nctest -R ^M")
gtest_skip(4 Room.Ext2 "cannot mount a tmpfs here (needs root): Operation not permitted")
test_block(5 fuzz_run "SKIPPED: clang++ not found\n")
gtest_skip(6 Room.Quiet "")
string(APPEND log "End testing: Dec 08 08:07 UTC\n")
file(WRITE "${WORK}/LastTest.log.tmp" "${log}")

execute_process(COMMAND "${CMAKE_COMMAND}" "-DLOG=${WORK}/LastTest.log.tmp" -P "${SCRIPT}"
  OUTPUT_VARIABLE out ERROR_VARIABLE printed RESULT_VARIABLE status)
set(expected "Why they did not run:
\t2 tests: cannot mount a tmpfs here (needs root): Operation not permitted
\t1 test: sets fs.protected_* [the machine's]; runs only when asked: ctest -R ^M
\t1 test: clang++ not found
\t1 test: (no reason given)
")
if(NOT status EQUAL 0 OR NOT printed STREQUAL expected)
  message(FATAL_ERROR "printed:\n${printed}\nexpected:\n${expected}")
endif()

# No log (`ctest -N` writes none with tests in it): nothing.
file(REMOVE "${WORK}/LastTest.log.tmp")
execute_process(COMMAND "${CMAKE_COMMAND}" "-DLOG=${WORK}/LastTest.log.tmp" -P "${SCRIPT}"
  OUTPUT_VARIABLE out ERROR_VARIABLE printed)
if(NOT printed STREQUAL "")
  message(FATAL_ERROR "printed without a log:\n${printed}")
endif()
