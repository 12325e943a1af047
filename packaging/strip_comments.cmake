# Run by cpack over the staged packages (CPACK_PRE_BUILD_SCRIPTS), after the
# programs were stripped: strip keeps the .comment section, the compiler's
# and the C library's version strings, which Debian's own packages drop
# (dh_strip removes .comment and .note) and lintian reports.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  execute_process(COMMAND "${CPACK_QUASK_OBJCOPY}" --remove-section=.comment --remove-section=.note
                          "${file}" RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "objcopy ${file} failed (${status}): ${error}")
  endif()
endforeach()
