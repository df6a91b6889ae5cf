# hook_control's packages for controller authors, made by the Windows release beside its ZIP, from the
# files it ships (signed where it is signed): a wheel for each architecture,
# hook_control-<version>-py3-none-win_amd64.whl and -win32.whl, and HookControl.<version>.nupkg, each
# with its SHA-256 file. Included by the top CMakeLists.txt where it packages; CPack runs
# MakeControllerPackages.cmake after SignExecutables.cmake.

# The C# binding as an assembly, for .NET Framework 4.5 and later: compiled by Mono's mcs against its
# 4.5 profile (its default), as C# 7, the language the binding keeps to. It ships beside
# HookControl.cs too, and is signed with the release's DLLs. mcs writes the same bytes for the same source (no time, and a module id taken from the content).
find_program(MCS mcs)
if(NOT MCS)
  message(FATAL_ERROR "The release's NuGet package needs mcs: apt-get install mono-mcs")
endif()
set(assembly ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/HookControl.dll)
set(binding_source ${PROJECT_SOURCE_DIR}/bindings/dotnet/HookControl.cs)
add_custom_command(OUTPUT ${assembly}
                   COMMAND ${MCS} -target:library -langversion:7 -optimize+ -warn:4 -warnaserror
                           -nologo -out:${assembly} ${binding_source}
                   DEPENDS ${binding_source} VERBATIM)
add_custom_target(hook_control_assembly ALL DEPENDS ${assembly})
install(FILES ${assembly} DESTINATION bindings/dotnet COMPONENT programs)

include(${PROJECT_SOURCE_DIR}/cmake/WheelTools.cmake)
set(CPACK_HOOK_HOST_python ${Python3_EXECUTABLE})
set(CPACK_HOOK_HOST_SOURCE ${PROJECT_SOURCE_DIR})
set(CPACK_HOOK_HOST_VERSION ${PROJECT_VERSION})
set(CPACK_HOOK_HOST_LICENSE ${HOOK_HOST_LICENSE})
