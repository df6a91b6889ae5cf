# Cross build for 32-bit Windows: the controller's side, as most controllers are 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_target i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
