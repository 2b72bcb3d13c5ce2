# The plain peer must write runel's bytes, or bench/compare.sh times two different results: both
# run on each board given, in a folder of their own, and their results are compared.
#   cmake -DRUNEL=... -DPLAIN=... -DWORK=... -DBOARDS="a.txt;b.txt" -P plain_matches_runel.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
foreach(board IN LISTS BOARDS)
  configure_file(${board} ${WORK}/Runel_in.txt COPYONLY)
  foreach(program RUNEL PLAIN)
    execute_process(COMMAND ${${program}} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${${program}} failed on ${board}: ${status}")
    endif()
    file(RENAME ${WORK}/Runel_out.txt ${WORK}/${program}.txt)
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/RUNEL.txt ${WORK}/PLAIN.txt
    RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "the plain search differs from runel on ${board}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
