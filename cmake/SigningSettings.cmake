# Checks the release's signing settings, read from the environment, and writes the certificates of its
# PKCS#12 file to CERTIFICATES (PEM), which each signature is verified against. An empty variable is
# an unset one: without HOOK_HOST_SIGN_PFX the release is unsigned, and `signing` is OFF.
#   HOOK_HOST_SIGN_PFX            a PKCS#12 file with the certificate and its key
#   HOOK_HOST_SIGN_PASSWORD       its password: read from the environment only, never put on a command
#                                 line or in the CMake cache, where it would be written down
# Run by the Windows release's build (cmake -P, with OPENSSL, OSSLSIGNCODE and CERTIFICATES), so that
# a wrong password or file stops the build before the tests and CPack, whose own last words would
# follow the cause; and included by SignExecutables.cmake, for a CPack run on its own.
set(signing OFF)
if("$ENV{HOOK_HOST_SIGN_PFX}" STREQUAL "")
  return()
endif()
if("$ENV{HOOK_HOST_SIGN_PASSWORD}" STREQUAL "")
  message(FATAL_ERROR "HOOK_HOST_SIGN_PFX is set, HOOK_HOST_SIGN_PASSWORD is not")
endif()
foreach(tool OPENSSL OSSLSIGNCODE)
  if(NOT ${tool})
    string(TOLOWER ${tool} name)
    message(FATAL_ERROR "Signing needs ${name}, which the build did not find")
  endif()
endforeach()
execute_process(COMMAND ${OPENSSL} pkcs12 -in $ENV{HOOK_HOST_SIGN_PFX} -nokeys -passin env:HOOK_HOST_SIGN_PASSWORD
                        -out ${CERTIFICATES}
                RESULT_VARIABLE failed ERROR_VARIABLE why)
if(failed)
  message(FATAL_ERROR "Cannot read the certificates of $ENV{HOOK_HOST_SIGN_PFX}: ${why}")
endif()
set(signing ON)
