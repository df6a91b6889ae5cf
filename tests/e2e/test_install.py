"""What is installed and what is shipped: the files, and that the host runs from there.

Set by the build, besides what the controller module reads: HOOK_HOST_BUILD, the build folder;
CMAKE_COMMAND and CPACK_COMMAND, the tools that install and package it; HOOK_HOST_TOOLCHAIN, its
toolchain file (empty for this machine); HOOK_HOST_CC and HOOK_HOST_CXX, its compilers, and
HOOK_HOST_CXX_FLAGS, the C++ one's flags (the sanitizers'); HOOK_HOST_BUILD_TYPE, its build type.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from controller import (BIN, CONTROL_BIN, EXE, HOOK_LIBRARY, HOST_BUILT, RUN, WINDOWS, Host, exit_status,
                        platform_path, report)

BUILD = os.environ["HOOK_HOST_BUILD"]
VERSION = os.environ["HOOK_HOST_VERSION"]
RELEASE = "hook_host-%s-win64" % VERSION
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
README = os.path.join(SOURCE, "README.md")
CONSUMER = os.path.join(SOURCE, "tests", "consumer")
# Windows programs ship in one folder; here they go in the usual tree.
PROGRAMS, DOCS = ("", "") if WINDOWS else ("bin", "share/doc/hook_host")
PROGRAM_NAMES = ["hook_close"] + (["hook_host"] if HOST_BUILT else [])
# hook_control for CMake projects, and its source for Windows applications of any compiler.
DEVELOPMENT = ["include/hook_control.h", "lib/libhook_control.a"] + [
    "lib/cmake/hook_control/hook_control-%s.cmake" % name
    for name in ("config", "config-version", "targets", "targets-" + os.environ["HOOK_HOST_BUILD_TYPE"].lower())]
CONTROL_SOURCES = ["hook_control/" + name for name in (
    "hook_control.h", "hook_control.cpp", "hook_control_platform.h", "hook_control_windows.cpp", "last_error.cpp",
    "last_error.h", "report_line.cpp", "report_line.h")] if WINDOWS else []


def run(test, command, **kwargs):
    """Runs a tool of the build, which must succeed; what it said goes into the failure."""
    result = subprocess.run(command, capture_output=True, **kwargs)
    test.assertEqual(result.returncode, 0, (command, result.stdout[-3000:], result.stderr[-3000:]))
    return result


def package(test, build, **environment):
    """The release's ZIP and checksum file, made by cpack from `build` into a folder of their own. A
    certificate given to the whole workflow is not the test's: the tests check what they sign, and
    that a release made without one is unsigned."""
    output = tempfile.mkdtemp(prefix="hook_host_release.")
    test.addCleanup(shutil.rmtree, output)
    ours = {name: value for name, value in os.environ.items() if not name.startswith("HOOK_HOST_SIGN_")}
    run(test, [os.environ["CPACK_COMMAND"], "--config", os.path.join(build, "CPackConfig.cmake"), "-B", output],
        env=dict(ours, **environment))
    return os.path.join(output, RELEASE + ".zip"), os.path.join(output, RELEASE + ".zip.sha256")


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(root, name), folder)
                  for root, _, names in os.walk(folder) for name in names)


class Installed(unittest.TestCase):
    """Checks a tree of installed files, then runs its host beside the stand-in hook library."""

    def check_tree(self, folder, development):
        programs = os.path.join(folder, PROGRAMS)
        self.assertEqual(files_below(folder), sorted(
            [os.path.join(PROGRAMS, name + EXE) for name in PROGRAM_NAMES] + [os.path.join(DOCS, "README.md")] +
            CONTROL_SOURCES + (DEVELOPMENT if development else [])), "the stand-in hook library is not installed")
        for name in PROGRAM_NAMES:
            with open(os.path.join(programs, name + EXE), "rb") as installed, \
                    open(os.path.join(CONTROL_BIN, name + EXE), "rb") as built:
                self.assertEqual(installed.read(), built.read(), name)
        with open(os.path.join(folder, DOCS, "README.md"), "rb") as installed, open(README, "rb") as ours:
            self.assertEqual(installed.read(), ours.read())
        if not HOST_BUILT:
            return

        # Placed beside its hook library, the host runs and its close tool ends it.
        shutil.copy(os.path.join(BIN, HOOK_LIBRARY), programs)
        host = Host(self, "42", folder=programs, cwd=folder)
        self.assertEqual(host.read_line(), report(42))
        host.close(7)
        self.assertEqual(host.wait(), exit_status(7))
        self.assertEqual(len(host.calls()), 1)

    def run_controller(self, program):
        """Runs an application's controller, built apart from us, against the host: it closes it with 7."""
        result = subprocess.run(RUN + [program, platform_path(os.path.join(BIN, "hook_host" + EXE)), "7"],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout.strip()), (0, b"reported 42, ended with 7"),
                         result.stderr)

    def folder(self):
        folder = tempfile.mkdtemp(prefix="hook_host_install.")
        self.addCleanup(shutil.rmtree, folder)
        return folder


class Install(Installed):
    def test_install_puts_the_programs_the_readme_and_hook_control_in_place(self):
        prefix = self.folder()
        subprocess.run([os.environ["CMAKE_COMMAND"], "--install", BUILD, "--prefix", prefix],
                       check=True, capture_output=True)
        self.check_tree(prefix, development=True)

        # An application's CMake project finds hook_control there and builds a controller with it, with
        # the compiler and flags that built it.
        build = self.folder()
        toolchain = os.environ["HOOK_HOST_TOOLCHAIN"]
        configure = [os.environ["CMAKE_COMMAND"], "-S", CONSUMER, "-B", build, "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_PREFIX_PATH=" + prefix,
                     "-DCMAKE_CXX_COMPILER=" + os.environ["HOOK_HOST_CXX"],
                     "-DCMAKE_CXX_FLAGS=" + os.environ["HOOK_HOST_CXX_FLAGS"]]
        if toolchain:
            configure.append("-DCMAKE_TOOLCHAIN_FILE=" + toolchain)
        for command in (configure, [os.environ["CMAKE_COMMAND"], "--build", build]):
            run(self, command)
        self.run_controller(os.path.join(build, "controller" + EXE))


class Package(Installed):
    def test_the_zip_holds_the_programs_the_readme_and_hook_controls_source_with_its_checksum_beside_it(self):
        archive, checksum = package(self, BUILD)
        with open(archive, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        with open(checksum) as sums:
            self.assertEqual(sums.read().split(), [digest, RELEASE + ".zip"])

        # Unpacked as a user would: one folder named for the release.
        unpacked = self.folder()
        with zipfile.ZipFile(archive) as zipped:
            self.assertTrue(all(entry.startswith(RELEASE + "/") for entry in zipped.namelist()))
            zipped.extractall(unpacked)
        release = os.path.join(unpacked, RELEASE)
        self.check_tree(release, development=False)

        # An application compiles hook_control's source in with its own compiler and flags, as standard
        # C++14 and C, and its controller works.
        objects = []
        sources = [os.path.join(release, n) for n in CONTROL_SOURCES if n.endswith(".cpp")]
        for source in sources + [os.path.join(CONSUMER, "controller.c")]:
            objects.append(os.path.join(unpacked, os.path.basename(source) + ".o"))
            compiler, standard = (os.environ["HOOK_HOST_CXX"], "-std=c++14") if source.endswith(".cpp") else (
                os.environ["HOOK_HOST_CC"], "-std=c11")
            result = subprocess.run([compiler, standard, "-Wall", "-Wextra", "-pedantic", "-Werror", "-O2",
                                     "-I", os.path.join(release, "hook_control"), "-c", source, "-o", objects[-1]],
                                    capture_output=True)
            self.assertEqual(result.returncode, 0, result.stderr)
        program = os.path.join(unpacked, "controller.exe")
        result = subprocess.run([os.environ["HOOK_HOST_CXX"], "-static"] + objects + ["-luser32", "-ladvapi32", "-o", program],
                                capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.run_controller(program)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
