# Run by CPack on the files it is about to pack: signs each executable and DLL (the C# binding's
# assemblies among them) with Authenticode where the environment names a certificate (see
# SigningSettings.cmake), and verifies what it signed. Signing comes after every other change to them,
# and the checksum beside the release covers the signed files.
#   HOOK_HOST_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server, for those who have one
# The signing time is the commit's, so that a release rebuilt with the same certificate is the same
# (a timestamp server's time is its own).
set(OPENSSL ${CPACK_HOOK_HOST_openssl})
set(OSSLSIGNCODE ${CPACK_HOOK_HOST_osslsigncode})
set(CERTIFICATES ${CPACK_TOPLEVEL_DIRECTORY}/signing_certificates.pem)
include(${CMAKE_CURRENT_LIST_DIR}/SigningSettings.cmake)
if(NOT signing)
  message(STATUS "No certificate in HOOK_HOST_SIGN_PFX: the release is not signed")
  return()
endif()
set(timestamp)
if(NOT "$ENV{HOOK_HOST_SIGN_TIMESTAMP_URL}" STREQUAL "")
  set(timestamp -ts $ENV{HOOK_HOST_SIGN_TIMESTAMP_URL})
endif()

file(GLOB_RECURSE executables ${CPACK_TEMPORARY_DIRECTORY}/*.exe ${CPACK_TEMPORARY_DIRECTORY}/*.dll)
foreach(executable IN LISTS executables)
  # The password reaches osslsigncode on its standard input, from a shell builtin.
  execute_process(
    COMMAND sh -c "printf %s \"$HOOK_HOST_SIGN_PASSWORD\" | \"$@\"" - ${OSSLSIGNCODE} sign
            -pkcs12 $ENV{HOOK_HOST_SIGN_PFX} -readpass /dev/stdin -h sha256 -time ${CPACK_HOOK_HOST_SOURCE_DATE_EPOCH}
            ${timestamp} -in ${executable} -out ${executable}.signed
    RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "Cannot sign ${executable}: ${said}${why}")
  endif()
  file(RENAME ${executable}.signed ${executable})
  execute_process(COMMAND ${OSSLSIGNCODE} verify -in ${executable} -CAfile ${CERTIFICATES}
                  RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "The signature of ${executable} does not verify: ${said}${why}")
  endif()
  message(STATUS "Signed and verified ${executable}")
endforeach()
