# Builds hook_control's wheel for one platform: the package bindings/python/hook_control with the
# shared library LIBRARY inside it, tagged py3-none-PLATFORM (any Python 3, since it loads the library
# through ctypes; one platform, since it carries it). Run with cmake -P by the Linux build and by the
# Windows release's packaging, with:
#   PYTHON             a Python with setuptools, wheel and build (Debian's python3-setuptools,
#                      python3-wheel and python3-build)
#   SOURCE             the source tree
#   LIBRARY            the shared library to carry
#   PLATFORM           the wheel's platform tag: linux_x86_64, win_amd64, win32 or win_arm64
#   VERSION LICENSE    the package's version and licence
#   SOURCE_DATE_EPOCH  the time its entries carry
#   WORK               a folder for the build, made anew
#   OUTPUT             the folder the wheel goes to
# The build is offline (--no-isolation: the tools installed here, nothing fetched) and reproducible:
# the files are staged with fixed modes, and wheel sorts its entries and dates them SOURCE_DATE_EPOCH.
foreach(setting PYTHON SOURCE LIBRARY PLATFORM VERSION LICENSE SOURCE_DATE_EPOCH WORK OUTPUT)
  if(NOT DEFINED ${setting})
    message(FATAL_ERROR "PythonWheel.cmake needs ${setting}")
  endif()
endforeach()
set(binding ${SOURCE}/bindings/python)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/hook_control)
set(mode FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY ${binding}/setup.py DESTINATION ${WORK} ${mode})
file(COPY ${binding}/hook_control/__init__.py ${LIBRARY} DESTINATION ${WORK}/hook_control ${mode})
# The page for Python controller authors is the package's description.
file(COPY_FILE ${SOURCE}/docs/python.md ${WORK}/README.md)
configure_file(${binding}/pyproject.toml.in ${WORK}/pyproject.toml @ONLY)
file(WRITE ${WORK}/setup.cfg "[bdist_wheel]\nplat_name = ${PLATFORM}\n")

execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH} PYTHONDONTWRITEBYTECODE=1
                        ${PYTHON} -m build --no-isolation --wheel --outdir ${OUTPUT} ${WORK}
                RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE why)
if(failed)
  message(FATAL_ERROR "Cannot build the wheel for ${PLATFORM} in ${WORK}: ${said}${why}")
endif()
