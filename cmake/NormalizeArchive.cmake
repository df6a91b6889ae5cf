# Run by CPack on the archive it made, before its checksum: the entries' times become the commit's,
# and their owners nobody's in particular, so that a rebuild of the release gives the release.
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${CPACK_HOOK_HOST_strip-nondeterminism} --type zip
                          --timestamp ${CPACK_HOOK_HOST_SOURCE_DATE_EPOCH} ${archive}
                  RESULT_VARIABLE failed ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "Cannot normalize ${archive}: ${why}")
  endif()
endforeach()
