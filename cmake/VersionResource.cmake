# Gives a Windows program a VERSIONINFO resource carrying the project's version.
function(add_version_resource target description)
  set(name ${target})
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()
