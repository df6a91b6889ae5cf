# The tools that build hook_control's wheels offline: Debian's build, setuptools and wheel, for the
# tests' Python (Python3_EXECUTABLE).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
execute_process(COMMAND ${Python3_EXECUTABLE} -c "import build, setuptools, wheel" RESULT_VARIABLE missing
                OUTPUT_QUIET ERROR_QUIET)
if(missing)
  message(FATAL_ERROR "${Python3_EXECUTABLE} cannot build wheels: apt-get install python3-build python3-setuptools "
                      "python3-wheel, and set Python3_EXECUTABLE to the interpreter they are installed for "
                      "(/usr/bin/python3)")
endif()
