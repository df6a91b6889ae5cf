# Tests run the Windows programs under Wine, in a prefix of the build's own: 64-bit programs with
# wine64, 32-bit ones with wine, Wine's 32-bit loader (Debian's wine32:i386). Either build runs
# programs of both architectures (the hosts, the controllers) in its one 64-bit prefix.
find_program(WINE64_LOADER wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
find_program(WINE32_LOADER wine PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
# A kernel without IA32 emulation runs no 32-bit program, Wine's 32-bit loader among them ("Exec format
# error"): the tests that run a 32-bit Windows program are then not run, and say so.
execute_process(COMMAND ${WINE32_LOADER} --version RESULT_VARIABLE wine32_status OUTPUT_QUIET ERROR_QUIET)
if(wine32_status STREQUAL "0")
  set(WINE_RUNS_X86 ON)
else()
  set(WINE_RUNS_X86 OFF)
  message(WARNING "This machine cannot run 32-bit programs (${WINE32_LOADER}: ${wine32_status}); the tests of "
                  "32-bit Windows programs under Wine are disabled")
endif()
find_program(WINE_SERVER wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# The prefix is made, and its server started, before any test runs a Windows program: every such test
# requires this fixture, so that none of them (timed ones least of all) pays for the making.
add_test(NAME wine.prefix COMMAND ${CMAKE_BINARY_DIR}/wine-run --make-prefix)
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600)
