# Windows images and hook_control's packages that anyone can check against the source: the same
# commit gives the same bytes, wherever and whenever it is built. The one time they carry is the
# commit's (its committer date, or SOURCE_DATE_EPOCH where the environment sets it): the linker writes
# it into their headers and DLL exports instead of the time of the link, and the release's and the
# packages' entries and signatures carry it too.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(HOOK_HOST_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE HOOK_HOST_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  # A new commit configures anew, so that its time is the one taken.
  if(EXISTS ${PROJECT_SOURCE_DIR}/.git/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/.git/logs/HEAD)
  endif()
endif()
if(NOT HOOK_HOST_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "The time of the commit built is unknown: build from a git clone, or set SOURCE_DATE_EPOCH")
endif()

# The toolchain's linker takes the time from its environment (a flag on the command line instead
# would replace the toolchain file's -static).
foreach(language C CXX)
  set(CMAKE_${language}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${HOOK_HOST_SOURCE_DATE_EPOCH})
endforeach()
# LLVM's linker, which links the ARM64 build, reads no SOURCE_DATE_EPOCH (14 writes the time of the
# link): it is given the time on its command line.
if(WIN32 AND CMAKE_C_COMPILER_ID STREQUAL "Clang")
  add_link_options(LINKER:--Xlink=-timestamp:${HOOK_HOST_SOURCE_DATE_EPOCH})
endif()
# Directories the install makes, the release's among them, have the same mode whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
