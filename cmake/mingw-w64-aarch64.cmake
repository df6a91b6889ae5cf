# Cross build for ARM64 Windows: the host of ARM64 processes, and hook_control for ARM64 controllers.
# clang for aarch64-w64-mingw32, with the C runtime (msvcrt's) and C++ library (libc++) that
# tools/install-dependencies builds from Debian's sources into /opt/hook-host-arm64/toolchain, or
# under the folder that HOOK_HOST_ARM64 names.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(mingw_target aarch64-w64-mingw32)

if(DEFINED ENV{HOOK_HOST_ARM64})
  set(HOOK_HOST_ARM64 $ENV{HOOK_HOST_ARM64})
else()
  set(HOOK_HOST_ARM64 /opt/hook-host-arm64)
endif()
set(arm64_toolchain ${HOOK_HOST_ARM64}/toolchain)
if(NOT EXISTS ${arm64_toolchain}/.pins)
  message(FATAL_ERROR "There is no ARM64 toolchain in ${arm64_toolchain}: tools/install-dependencies builds it "
                      "(as root), or set HOOK_HOST_ARM64 to the folder it built one in")
endif()
# The Debian arm64 root whose Wine runs the build's programs (cmake/Wine.cmake).
set(HOOK_HOST_ARM64_ROOT ${HOOK_HOST_ARM64}/root)

# The compilers are clang with the toolchain's sysroot, lld and compiler-rt (see their scripts);
# dlltool is LLVM's, which takes the target from its name. windres preprocesses with the system's
# clang, which is given the target and the toolchain's headers.
set(CMAKE_C_COMPILER ${arm64_toolchain}/bin/${mingw_target}-clang)
set(CMAKE_CXX_COMPILER ${arm64_toolchain}/bin/${mingw_target}-clang++)
set(CMAKE_DLLTOOL ${arm64_toolchain}/bin/${mingw_target}-dlltool)
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=${mingw_target} -I${arm64_toolchain}/${mingw_target}/include")
set(CMAKE_AR llvm-ar-14)
set(CMAKE_RANLIB llvm-ranlib-14)

set(CMAKE_FIND_ROOT_PATH ${arm64_toolchain}/${mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The runtime (compiler-rt's builtins, libc++, libunwind) is linked in, as the other toolchains do.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
