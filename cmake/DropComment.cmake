# Run by CPack on the staged package tree: removes the .comment section
# (compiler version notes) from the installed programs.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program ${programs})
  execute_process(COMMAND objcopy --remove-section=.comment ${program}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objcopy could not drop .comment from ${program}")
  endif()
endforeach()
