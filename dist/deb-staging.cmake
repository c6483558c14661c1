# Run by CPack on the staged package tree before the .deb is made: manual
# pages and the changelog are compressed as Debian wants them (gzip -9n:
# best compression, no name or time stamp, so the package is reproducible),
# and the programs lose the compiler's .comment section, which strip keeps.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*.[1-9]")
file(GLOB_RECURSE changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/kavrex/changelog")
foreach(f IN LISTS pages changelogs)
  execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${f} failed")
  endif()
endforeach()
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(f IN LISTS programs)
  execute_process(COMMAND objcopy --remove-section=.comment "${f}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "objcopy ${f} failed")
  endif()
endforeach()
