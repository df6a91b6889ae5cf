# Cross build for Windows with mingw-w64 (Debian's posix-threads variant, which GoogleTest needs), for
# the target that the including toolchain file names in mingw_target.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${mingw_target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_target}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_target}-windres)
set(CMAKE_DLLTOOL ${mingw_target}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The toolchain's own runtime (libgcc, libstdc++, winpthread) is linked in, so that nothing but
# system DLLs and the hook library has to sit beside what we build.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
