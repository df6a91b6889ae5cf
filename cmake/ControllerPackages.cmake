# hook_control's packages for controller authors, made by the Windows release beside its ZIP, from the
# files it ships (signed where it is signed): a wheel for each architecture,
# hook_control-<version>-py3-none-win_amd64.whl, -win32.whl and -win_arm64.whl, and
# HookControl.<version>.nupkg, each with its SHA-256 file. Included by the top CMakeLists.txt where it packages; CPack runs
# MakeControllerPackages.cmake after SignExecutables.cmake.

# The C# binding as three assemblies, compiled by Mono's mcs as C# 7, the language the binding keeps to.
# mcs writes the same bytes for the same source (no time, and a module id taken from the content), and
# the strong name's signature is the same for the same bytes. Each carries the project's version
# (HookControlIdentity.cs), is strong-named with the key kept beside the binding (HookControl.snk, as
# .NET advises for a library whose source is given), and has its XML documentation beside it. All ship
# beside HookControl.cs and are signed with the release's DLLs:
# - HookControl.dll for .NET Framework 4.5 and later, against Mono's 4.5 profile (its default);
# - netstandard2.0/HookControl.dll for libraries of .NET Standard 2.0 and the runtimes that only they
#   reach, against the reference assembly of .NET Standard 2.0 that the .NET SDK 3.1.102 carries in
#   its sdk/3.1.102/ref (byte for byte the one of the NETStandard.Library 2.0.3 package). The same API
#   less IAsyncDisposable, which .NET Standard 2.1 brought;
# - netstandard2.1/HookControl.dll for .NET Core 3.0 and later and .NET 5 and later, against the
#   reference assembly of .NET Standard 2.1 in the .NET SDK.
find_program(MCS mcs)
if(NOT MCS)
  message(FATAL_ERROR "The release's NuGet package needs mcs: apt-get install mono-mcs")
endif()
include(${PROJECT_SOURCE_DIR}/cmake/DotNetSdk.cmake)
set(netstandard2.0_reference ${DOTNET_WINDOWS_SDK}/sdk/3.1.102/ref/netstandard.dll)
set(netstandard2.1_reference ${DOTNET_WINDOWS_SDK}/packs/NETStandard.Library.Ref/2.1.0/ref/netstandard2.1/netstandard.dll)
foreach(reference ${netstandard2.0_reference} ${netstandard2.1_reference})
  if(NOT EXISTS ${reference})
    message(FATAL_ERROR "The release's NuGet package needs ${reference}, from the .NET SDK for "
                        "Windows (DOTNET_WINDOWS_SDK): run tools/install-dependencies")
  endif()
endforeach()
set(binding ${PROJECT_SOURCE_DIR}/bindings/dotnet)
configure_file(${binding}/HookControlIdentity.cs.in ${CMAKE_CURRENT_BINARY_DIR}/HookControlIdentity.cs @ONLY)
set(binding_sources ${binding}/HookControl.cs ${CMAKE_CURRENT_BINARY_DIR}/HookControlIdentity.cs)
set(assemblies)

# HookControl.dll and its documentation in `folder` (none, or a framework's) below the programs and below
# bindings/dotnet in the install, compiled by mcs with the extra options given after it (a framework's
# reference and symbol).
function(compile_hook_control_assembly folder)
  set(output ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  set(destination bindings/dotnet)
  if(folder)
    string(APPEND output /${folder})
    string(APPEND destination /${folder})
  endif()
  add_custom_command(OUTPUT ${output}/HookControl.dll ${output}/HookControl.xml
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${output}
                     COMMAND ${MCS} -target:library -langversion:7 -optimize+ -warn:4 -warnaserror -nologo
                             -keyfile:${binding}/HookControl.snk ${ARGN} -out:${output}/HookControl.dll
                             -doc:${output}/HookControl.xml ${binding_sources}
                     DEPENDS ${binding_sources} ${binding}/HookControl.snk VERBATIM)
  install(FILES ${output}/HookControl.dll ${output}/HookControl.xml DESTINATION ${destination} COMPONENT programs)
  set(assemblies ${assemblies} ${output}/HookControl.dll PARENT_SCOPE)
endfunction()
compile_hook_control_assembly("")
foreach(standard 2.0 2.1)
  string(REPLACE . _ symbol NETSTANDARD${standard})
  compile_hook_control_assembly(netstandard${standard} -nostdlib -noconfig -r:${netstandard${standard}_reference}
                                -define:${symbol})
endforeach()
add_custom_target(hook_control_assembly ALL DEPENDS ${assemblies})

include(${PROJECT_SOURCE_DIR}/cmake/WheelTools.cmake)
set(CPACK_HOOK_HOST_python ${Python3_EXECUTABLE})
set(CPACK_HOOK_HOST_SOURCE ${PROJECT_SOURCE_DIR})
set(CPACK_HOOK_HOST_VERSION ${PROJECT_VERSION})
set(CPACK_HOOK_HOST_LICENSE ${HOOK_HOST_LICENSE})
