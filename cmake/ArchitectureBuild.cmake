# The release's parts for the other architectures of Windows, each from a build of its own of this
# project, in a folder of this build's, made when this build is made: the host, its stand-in hook
# library (with the copy without the entry), the close tool and hook_control.dll, which the tests run
# and the release ships. Included by the top CMakeLists.txt where it packages.
include_guard(GLOBAL)
include(ExternalProject)

# Whether the toolchain file can build here: the compiler it names is found, and so is the sysroot where
# it names one. Read by running the file in a CMake script of its own, so that none of its settings
# reaches this build. A toolchain file that stops with an error of its own is not found, and says why.
# Sets <what>_c_compiler and <what>_cxx_compiler, its compilers, in the caller's scope.
function(check_toolchain toolchain what)
  set(probe ${CMAKE_CURRENT_BINARY_DIR}/toolchain_probe_${what})
  file(WRITE ${probe}.cmake "include(\"${toolchain}\")\n"
                            "file(WRITE \"${probe}.txt\" \"\${CMAKE_C_COMPILER}\\n\${CMAKE_CXX_COMPILER}\\n\${CMAKE_SYSROOT}\\n\")\n")
  file(REMOVE ${probe}.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} -P ${probe}.cmake RESULT_VARIABLE failed OUTPUT_VARIABLE said
                  ERROR_VARIABLE said)
  if(NOT failed)
    file(STRINGS ${probe}.txt settings)
    list(GET settings 0 compiler)
    list(GET settings 1 cxx_compiler)
    list(LENGTH settings count)
    set(sysroot)
    if(count GREATER 2)
      list(GET settings 2 sysroot)
    endif()
    find_program(compiler_found NAMES ${compiler} NO_CACHE)
    if(NOT compiler_found)
      set(said "its compiler ${compiler} is not found")
    elseif(sysroot AND NOT IS_DIRECTORY ${sysroot})
      set(said "its sysroot ${sysroot} is not there")
    else()
      set(${what}_c_compiler ${compiler_found} PARENT_SCOPE)
      set(${what}_cxx_compiler ${cxx_compiler} PARENT_SCOPE)
      return()
    endif()
  endif()
  string(STRIP "${said}" said)
  message(FATAL_ERROR "The release's ${what} part needs the toolchain of ${toolchain}, which cannot build here "
                      "(${said}): run tools/install-dependencies")
endfunction()

# Adds the build of `architecture` (x86, arm64) by `toolchain`, in hook_control_<architecture> of this
# build, of hook_control.dll, the close tool, the host `host` and its stand-in hook library
# `hook_library`; the release ships the DLL with its import library and .def in
# hook_control/<architecture>, and the host beside this build's. Sets <architecture>_c_compiler and
# <architecture>_cxx_compiler, that build's compilers, with which the tests build a hook library as its
# authors do.
function(add_architecture_build architecture toolchain host hook_library)
  check_toolchain(${toolchain} ${architecture})
  set(${architecture}_c_compiler ${${architecture}_c_compiler} PARENT_SCOPE)
  set(${architecture}_cxx_compiler ${${architecture}_cxx_compiler} PARENT_SCOPE)
  set(build ${CMAKE_BINARY_DIR}/hook_control_${architecture})
  ExternalProject_Add(
    hook_control_${architecture}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${build}
    CONFIGURE_COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${HOOK_HOST_SOURCE_DATE_EPOCH} ${CMAKE_COMMAND}
                      -S <SOURCE_DIR> -B <BINARY_DIR> -G ${CMAKE_GENERATOR} -DCMAKE_TOOLCHAIN_FILE=${toolchain}
                      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DBUILD_TESTING=OFF -DHOOK_HOST_BENCH=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target hook_control_shared hook_host ${hook_library}
                  ${hook_library}_without_entry hook_close
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  install(FILES ${build}/bin/hook_control.dll ${build}/hook_control/libhook_control.dll.a
                ${build}/hook_control/hook_control.def
          DESTINATION hook_control/${architecture} COMPONENT programs)
  install(PROGRAMS ${build}/bin/${host}.exe DESTINATION . COMPONENT programs)
endfunction()
