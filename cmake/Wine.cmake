# Tests run the Windows programs under Wine, in a prefix of the build's own: 64-bit programs with
# wine64, 32-bit ones with wine, Wine's 32-bit loader (Debian's wine32:i386). Either build runs
# programs of both architectures (the hosts, the controllers) in its one prefix.
# An ARM64 build's programs run in the Wine of a Debian arm64 root (cmake/mingw-w64-aarch64.cmake
# names it), run from outside the root by qemu-user, which binfmt_misc starts for each of its
# programs and which finds the root's files first under QEMU_LD_PREFIX. That Wine runs ARM64
# programs only.
set(HOOK_HOST_NO_ARM64_REASON "Wine cannot run ARM64 programs on this machine (qemu-aarch64 is not registered with binfmt_misc, which cannot be mounted here, or there is no arm64 root with Wine in ${HOOK_HOST_ARM64_ROOT}: tools/install-dependencies makes both)")
if(arm64_build)
  set(wine_folder ${HOOK_HOST_ARM64_ROOT}/usr/lib/wine)
  set(HOOK_HOST_QEMU_LD_PREFIX ${HOOK_HOST_ARM64_ROOT})
  set(WINE_SERVER ${wine_folder}/wineserver)
  set(WINE_LOADER ${wine_folder}/wine64)
  set(WINE_X64_LOADER "")
  set(WINE_X86_LOADER "")
  execute_process(COMMAND env QEMU_LD_PREFIX=${HOOK_HOST_QEMU_LD_PREFIX} ${WINE_LOADER} --version
                  RESULT_VARIABLE arm64_loader_result OUTPUT_QUIET ERROR_QUIET)
  if(arm64_loader_result EQUAL 0)
    set(HOOK_HOST_RUNS_ARM64 ON)
  else()
    set(HOOK_HOST_RUNS_ARM64 OFF)
  endif()
else()
  set(HOOK_HOST_QEMU_LD_PREFIX "")
  find_program(WINE_SERVER wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
  find_program(WINE_X64_LOADER wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
  find_program(WINE_X86_LOADER wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    find_program(WINE_LOADER wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
  else()
    find_program(WINE_LOADER wine PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
  endif()
endif()

# The 32-bit loader runs only where the kernel runs 32-bit user code; some 64-bit kernels are built or
# booted without it, and there an i386 execve fails with ENOEXEC.
set(HOOK_HOST_RUNS_X86 OFF)
if(WINE_X86_LOADER)
  execute_process(COMMAND ${WINE_X86_LOADER} --version RESULT_VARIABLE x86_loader_result OUTPUT_QUIET ERROR_QUIET)
  if(x86_loader_result EQUAL 0)
    set(HOOK_HOST_RUNS_X86 ON)
  endif()
endif()
if(arm64_build)
  set(HOOK_HOST_RUNS_PROGRAMS ${HOOK_HOST_RUNS_ARM64})
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8 OR HOOK_HOST_RUNS_X86)
  set(HOOK_HOST_RUNS_PROGRAMS ON)
else()
  set(HOOK_HOST_RUNS_PROGRAMS OFF)
endif()

# The build's own prefix, which every Windows program of its tests runs in.
set(HOOK_HOST_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# A test that cannot run on this machine, said as a skipped one with `reason`, so that a run counts it
# and shows why. The reason goes to the shell as an argument, never as its code: it may hold quotes.
function(add_skipped_test name reason)
  add_test(NAME ${name} COMMAND sh -c "printf '%s\\n' \"$1\"; exit 77" skip "${reason}")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()
set(HOOK_HOST_NO_X86_REASON "Wine cannot run 32-bit programs on this machine (its kernel runs no 32-bit user code, or wine32:i386 is missing)")

if(NOT HOOK_HOST_RUNS_PROGRAMS AND arm64_build)
  add_skipped_test(wine.arm64 "${HOOK_HOST_NO_ARM64_REASON}: this build is made and not run")
  return()
elseif(NOT HOOK_HOST_RUNS_PROGRAMS)
  add_skipped_test(wine.x86 "${HOOK_HOST_NO_X86_REASON}: this build is made and not run")
  return()
endif()
# The prefix is made, and its server started, before any test runs a Windows program: every such test
# requires this fixture, so that none of them (timed ones least of all) pays for the making.
add_test(NAME wine.prefix COMMAND ${CMAKE_BINARY_DIR}/wine-run --make-prefix)
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600)
