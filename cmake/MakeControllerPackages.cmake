# Run by CPack after SignExecutables.cmake, on the files it is about to pack: makes hook_control's
# wheels and NuGet package from them, so that the packages carry what the ZIP carries, signed where
# it is, and puts them beside the ZIP, each with its SHA-256 file as CPack writes the ZIP's.
# The tree of the one component packed, in the ZIP's top folder.
set(staged ${CPACK_TEMPORARY_DIRECTORY}/${CPACK_COMPONENTS_ALL}/${CPACK_PACKAGE_FILE_NAME})
if(NOT IS_DIRECTORY ${staged})
  message(FATAL_ERROR "The files to pack are not in ${staged}")
endif()
set(output ${CPACK_PACKAGE_DIRECTORY})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/controller_packages)
set(common -DSOURCE=${CPACK_HOOK_HOST_SOURCE} -DVERSION=${CPACK_HOOK_HOST_VERSION}
           -DLICENSE=${CPACK_HOOK_HOST_LICENSE} -DSOURCE_DATE_EPOCH=${CPACK_HOOK_HOST_SOURCE_DATE_EPOCH})

function(make what)
  execute_process(COMMAND ${CMAKE_COMMAND} ${common} ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE said
                  ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "Cannot make ${what}: ${said}${why}")
  endif()
endfunction()

function(checksum file)
  file(SHA256 ${file} digest)
  get_filename_component(name ${file} NAME)
  file(WRITE ${file}.sha256 "${digest}  ${name}\n")
  message(STATUS "Made ${file} with its checksum")
endfunction()

set(architectures x64 x86 arm64)
set(platforms win_amd64 win32 win_arm64)
foreach(architecture platform IN ZIP_LISTS architectures platforms)
  set(wheel ${output}/hook_control-${CPACK_HOOK_HOST_VERSION}-py3-none-${platform}.whl)
  file(REMOVE ${wheel})
  make(${wheel} -DPYTHON=${CPACK_HOOK_HOST_python} -DLIBRARY=${staged}/hook_control/${architecture}/hook_control.dll
       -DPLATFORM=${platform} -DWORK=${work}/wheel_${architecture} -DOUTPUT=${output}
       -P ${CPACK_HOOK_HOST_SOURCE}/cmake/PythonWheel.cmake)
  checksum(${wheel})
endforeach()

set(nupkg ${output}/HookControl.${CPACK_HOOK_HOST_VERSION}.nupkg)
make(${nupkg} -DASSEMBLIES=${staged}/bindings/dotnet -DX64=${staged}/hook_control/x64/hook_control.dll
     -DX86=${staged}/hook_control/x86/hook_control.dll -DARM64=${staged}/hook_control/arm64/hook_control.dll
     -DSTRIP_NONDETERMINISM=${CPACK_HOOK_HOST_strip-nondeterminism}
     -DWORK=${work}/nuget -DOUTPUT=${output} -P ${CPACK_HOOK_HOST_SOURCE}/cmake/NuGetPackage.cmake)
checksum(${nupkg})
