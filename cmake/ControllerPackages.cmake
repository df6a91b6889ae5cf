# hook_control's packages for controller authors, made by the Windows release beside its ZIP, from the
# files it ships (signed where it is signed): a wheel for each architecture,
# hook_control-<version>-py3-none-win_amd64.whl, -win32.whl and -win_arm64.whl, and
# HookControl.<version>.nupkg, each with its SHA-256 file. Included by the top CMakeLists.txt where it packages; CPack runs
# MakeControllerPackages.cmake after SignExecutables.cmake.

# The C# binding as two assemblies, compiled by Mono's mcs as C# 7, the language the binding keeps to.
# mcs writes the same bytes for the same source (no time, and a module id taken from the content), and
# the strong name's signature is the same for the same bytes. Each carries the project's version
# (HookControlIdentity.cs), is strong-named with the key kept beside the binding (HookControl.snk, as
# .NET advises for a library whose source is given), and has its XML documentation beside it. Both
# ship beside HookControl.cs and are signed with the release's DLLs:
# - HookControl.dll for .NET Framework 4.5 and later, against Mono's 4.5 profile (its default);
# - netstandard2.1/HookControl.dll for .NET Core 3.0 and later and .NET 5 and later, against the
#   reference assembly of .NET Standard 2.1 in the .NET SDK. Not 2.0: its reference assembly comes
#   only in a NuGet package of its own, which no tool here holds (docs/dotnet.md says more).
find_program(MCS mcs)
if(NOT MCS)
  message(FATAL_ERROR "The release's NuGet package needs mcs: apt-get install mono-mcs")
endif()
include(${PROJECT_SOURCE_DIR}/cmake/DotNetSdk.cmake)
set(netstandard_reference ${DOTNET_WINDOWS_SDK}/packs/NETStandard.Library.Ref/2.1.0/ref/netstandard2.1/netstandard.dll)
if(NOT EXISTS ${netstandard_reference})
  message(FATAL_ERROR "The release's NuGet package needs ${netstandard_reference}, from the .NET SDK for "
                      "Windows (DOTNET_WINDOWS_SDK): run tools/install-dependencies")
endif()
set(binding ${PROJECT_SOURCE_DIR}/bindings/dotnet)
configure_file(${binding}/HookControlIdentity.cs.in ${CMAKE_CURRENT_BINARY_DIR}/HookControlIdentity.cs @ONLY)
set(binding_sources ${binding}/HookControl.cs ${CMAKE_CURRENT_BINARY_DIR}/HookControlIdentity.cs)
set(mcs_options -target:library -langversion:7 -optimize+ -warn:4 -warnaserror -nologo -keyfile:${binding}/HookControl.snk)
set(assembly_folder ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set(netstandard_folder ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/netstandard2.1)
add_custom_command(OUTPUT ${assembly_folder}/HookControl.dll ${assembly_folder}/HookControl.xml
                   COMMAND ${MCS} ${mcs_options} -out:${assembly_folder}/HookControl.dll
                           -doc:${assembly_folder}/HookControl.xml ${binding_sources}
                   DEPENDS ${binding_sources} ${binding}/HookControl.snk VERBATIM)
add_custom_command(OUTPUT ${netstandard_folder}/HookControl.dll ${netstandard_folder}/HookControl.xml
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${netstandard_folder}
                   COMMAND ${MCS} ${mcs_options} -nostdlib -noconfig -r:${netstandard_reference} -define:NETSTANDARD2_1
                           -out:${netstandard_folder}/HookControl.dll -doc:${netstandard_folder}/HookControl.xml
                           ${binding_sources}
                   DEPENDS ${binding_sources} ${binding}/HookControl.snk VERBATIM)
add_custom_target(hook_control_assembly ALL DEPENDS ${assembly_folder}/HookControl.dll
                                                    ${netstandard_folder}/HookControl.dll)
install(FILES ${assembly_folder}/HookControl.dll ${assembly_folder}/HookControl.xml DESTINATION bindings/dotnet
        COMPONENT programs)
install(FILES ${netstandard_folder}/HookControl.dll ${netstandard_folder}/HookControl.xml
        DESTINATION bindings/dotnet/netstandard2.1 COMPONENT programs)

include(${PROJECT_SOURCE_DIR}/cmake/WheelTools.cmake)
set(CPACK_HOOK_HOST_python ${Python3_EXECUTABLE})
set(CPACK_HOOK_HOST_SOURCE ${PROJECT_SOURCE_DIR})
set(CPACK_HOOK_HOST_VERSION ${PROJECT_VERSION})
set(CPACK_HOOK_HOST_LICENSE ${HOOK_HOST_LICENSE})
