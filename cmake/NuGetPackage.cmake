# Makes hook_control's NuGet package, HookControl.<version>.nupkg: the C# binding's assemblies, each
# with its XML documentation, under lib/net45 (.NET Framework), lib/netstandard2.0 (libraries of .NET
# Standard 2.0) and lib/netstandard2.1 (.NET Core 3.0+, .NET 5+), hook_control.dll of each architecture
# under runtimes/win-<architecture>/native, and build/net45/HookControl.targets for the .NET Framework
# projects that read no runtimes/ folder. Every asset that NuGet weighs for a framework is under a
# framework's folder, so that NuGet tells a project of a framework that none of them serves at its
# restore (NU1701). Run with cmake -P by the Windows release's packaging, after signing, with:
#   SOURCE                  the source tree
#   ASSEMBLIES              the release's bindings/dotnet: HookControl.dll, the binding built by mcs
#                           for .NET Framework, and netstandard2.0/ and netstandard2.1/, each with the
#                           one for that .NET Standard; HookControl.xml beside each
#   X64 X86 ARM64           hook_control.dll of each architecture
#   VERSION LICENSE         the package's version and licence (an SPDX expression; one that NuGet does
#                           not know, LicenseRef-..., goes into the package as LICENSE.txt, which
#                           NuGet shows instead)
#   SOURCE_DATE_EPOCH       the time its entries carry
#   STRIP_NONDETERMINISM    the tool that normalizes the archive
#   WORK                    a folder for the package's files, made anew
#   OUTPUT                  the folder the package goes to
# A .nupkg is an Open Packaging Conventions zip: [Content_Types].xml gives each extension's type, and
# _rels/.rels points at the .nuspec, which older clients (nuget 2.x) look for that way. It is
# reproducible: files of fixed modes, packed in a fixed order, the entries dated SOURCE_DATE_EPOCH.
foreach(setting SOURCE ASSEMBLIES X64 X86 ARM64 VERSION LICENSE SOURCE_DATE_EPOCH STRIP_NONDETERMINISM WORK OUTPUT)
  if(NOT DEFINED ${setting})
    message(FATAL_ERROR "NuGetPackage.cmake needs ${setting}")
  endif()
endforeach()
set(binding ${SOURCE}/bindings/dotnet)
file(REMOVE_RECURSE ${WORK})
set(mode FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(entries)
function(stage from to)
  get_filename_component(folder ${WORK}/${to} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  file(COPY_FILE ${from} ${WORK}/${to})
  file(CHMOD ${WORK}/${to} ${mode})
  set(entries ${entries} ${to} PARENT_SCOPE)
endfunction()
set(frameworks net45 netstandard2.0 netstandard2.1)
set(folders . netstandard2.0 netstandard2.1)
foreach(framework folder IN ZIP_LISTS frameworks folders)
  stage(${ASSEMBLIES}/${folder}/HookControl.dll lib/${framework}/HookControl.dll)
  stage(${ASSEMBLIES}/${folder}/HookControl.xml lib/${framework}/HookControl.xml)
endforeach()
stage(${X64} runtimes/win-x64/native/hook_control.dll)
stage(${X86} runtimes/win-x86/native/hook_control.dll)
stage(${ARM64} runtimes/win-arm64/native/hook_control.dll)
stage(${binding}/HookControl.targets build/net45/HookControl.targets)
# NuGet takes an expression of the SPDX list's licences alone (NU5124 for any other).
if(LICENSE MATCHES "^LicenseRef-")
  set(LICENSE_ELEMENT "<license type=\"file\">LICENSE.txt</license>")
  file(WRITE ${WORK}/LICENSE.txt "HookControl is under the licence ${LICENSE}: its terms are those of the release "
                                 "that this package came with. It is not under an open-source licence.\n")
  file(CHMOD ${WORK}/LICENSE.txt ${mode})
  list(APPEND entries LICENSE.txt)
else()
  set(LICENSE_ELEMENT "<license type=\"expression\">${LICENSE}</license>")
endif()
configure_file(${binding}/HookControl.nuspec.in ${WORK}/HookControl.nuspec @ONLY)
file(WRITE ${WORK}/[Content_Types].xml [=[<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="targets" ContentType="application/octet" />
  <Default Extension="xml" ContentType="application/octet" />
  <Default Extension="txt" ContentType="application/octet" />
</Types>
]=])
file(MAKE_DIRECTORY ${WORK}/_rels)
file(WRITE ${WORK}/_rels/.rels [=[<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/HookControl.nuspec" Id="manifest" />
</Relationships>
]=])
foreach(written HookControl.nuspec [Content_Types].xml _rels/.rels)
  file(CHMOD ${WORK}/${written} ${mode})
endforeach()

set(package ${OUTPUT}/HookControl.${VERSION}.nupkg)
file(MAKE_DIRECTORY ${OUTPUT})
file(REMOVE ${package})
list(PREPEND entries [Content_Types].xml HookControl.nuspec _rels/.rels)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${package} --format=zip -- ${entries}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed ERROR_VARIABLE why)
if(NOT failed)
  execute_process(COMMAND ${STRIP_NONDETERMINISM} --type zip --timestamp ${SOURCE_DATE_EPOCH} ${package}
                  RESULT_VARIABLE failed ERROR_VARIABLE why)
endif()
if(failed)
  message(FATAL_ERROR "Cannot make ${package}: ${why}")
endif()
