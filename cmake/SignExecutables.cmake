# Run by CPack on the files it is about to pack: signs each executable and DLL (the C# binding's
# assembly among them) with Authenticode where the environment names a certificate, and verifies what
# it signed. Signing comes after every other change
# to them, and the checksum beside the release covers the signed files.
#   HOOK_HOST_SIGN_PFX            a PKCS#12 file with the certificate and its key
#   HOOK_HOST_SIGN_PASSWORD       its password: read here from the environment, never put on a command
#                                 line or in the CMake cache, where it would be written down
#   HOOK_HOST_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server, for those who have one
# The signing time is the commit's, so that a release rebuilt with the same certificate is the same
# (a timestamp server's time is its own).
# An empty variable is an unset one.
if("$ENV{HOOK_HOST_SIGN_PFX}" STREQUAL "")
  message(STATUS "No certificate in HOOK_HOST_SIGN_PFX: the release is not signed")
  return()
endif()
if("$ENV{HOOK_HOST_SIGN_PASSWORD}" STREQUAL "")
  message(FATAL_ERROR "HOOK_HOST_SIGN_PFX is set, HOOK_HOST_SIGN_PASSWORD is not")
endif()
foreach(tool osslsigncode openssl)
  if(NOT CPACK_HOOK_HOST_${tool})
    message(FATAL_ERROR "Signing needs ${tool}, which the build did not find")
  endif()
endforeach()

# The certificates of the PKCS#12 file are what each signature is verified against.
set(certificates ${CPACK_TOPLEVEL_DIRECTORY}/signing_certificates.pem)
execute_process(COMMAND ${CPACK_HOOK_HOST_openssl} pkcs12 -in $ENV{HOOK_HOST_SIGN_PFX} -nokeys
                        -passin env:HOOK_HOST_SIGN_PASSWORD -out ${certificates}
                RESULT_VARIABLE failed ERROR_VARIABLE why)
if(failed)
  message(FATAL_ERROR "Cannot read the certificates of $ENV{HOOK_HOST_SIGN_PFX}: ${why}")
endif()
set(timestamp)
if(NOT "$ENV{HOOK_HOST_SIGN_TIMESTAMP_URL}" STREQUAL "")
  set(timestamp -ts $ENV{HOOK_HOST_SIGN_TIMESTAMP_URL})
endif()

file(GLOB_RECURSE executables ${CPACK_TEMPORARY_DIRECTORY}/*.exe ${CPACK_TEMPORARY_DIRECTORY}/*.dll)
foreach(executable IN LISTS executables)
  # The password reaches osslsigncode on its standard input, from a shell builtin.
  execute_process(
    COMMAND sh -c "printf %s \"$HOOK_HOST_SIGN_PASSWORD\" | \"$@\"" - ${CPACK_HOOK_HOST_osslsigncode} sign
            -pkcs12 $ENV{HOOK_HOST_SIGN_PFX} -readpass /dev/stdin -h sha256 -time ${CPACK_HOOK_HOST_SOURCE_DATE_EPOCH}
            ${timestamp} -in ${executable} -out ${executable}.signed
    RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "Cannot sign ${executable}: ${said}${why}")
  endif()
  file(RENAME ${executable}.signed ${executable})
  execute_process(COMMAND ${CPACK_HOOK_HOST_osslsigncode} verify -in ${executable} -CAfile ${certificates}
                  RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "The signature of ${executable} does not verify: ${said}${why}")
  endif()
  message(STATUS "Signed and verified ${executable}")
endforeach()
