# Run by CPack first, before anything is signed or packed: removes what an earlier run left where this
# one writes (the ZIP, the wheels, the NuGet package and their SHA-256 files), so that a run that fails
# leaves none of them looking fresh.
file(GLOB last_release
     ${CPACK_PACKAGE_DIRECTORY}/${CPACK_ARCHIVE_FILE_NAME}.zip
     ${CPACK_PACKAGE_DIRECTORY}/${CPACK_ARCHIVE_FILE_NAME}.zip.sha256
     ${CPACK_PACKAGE_DIRECTORY}/hook_control-${CPACK_HOOK_HOST_VERSION}-py3-none-win*.whl
     ${CPACK_PACKAGE_DIRECTORY}/hook_control-${CPACK_HOOK_HOST_VERSION}-py3-none-win*.whl.sha256
     ${CPACK_PACKAGE_DIRECTORY}/HookControl.${CPACK_HOOK_HOST_VERSION}.nupkg
     ${CPACK_PACKAGE_DIRECTORY}/HookControl.${CPACK_HOOK_HOST_VERSION}.nupkg.sha256)
if(last_release)
  file(REMOVE ${last_release})
  list(JOIN last_release ", " removed)
  message(STATUS "Removed the last run's ${removed}")
endif()
