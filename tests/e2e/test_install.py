"""What is installed and what is shipped: the files, and that the host runs from there.

Set by the build, besides what the controller module reads: HOOK_HOST_BUILD, the build folder;
CMAKE_COMMAND and CPACK_COMMAND, the tools that install and package it; HOOK_HOST_TOOLCHAIN, its
toolchain file (empty for this machine); HOOK_HOST_CC and HOOK_HOST_CXX, its compilers, and
HOOK_HOST_CXX_FLAGS, the C++ one's flags (the sanitizers'); HOOK_HOST_BUILD_TYPE, its build type;
HOOK_HOST_ARM64_CC and HOOK_HOST_ARM64_CXX, the compilers of the ARM64 part of a 64-bit Windows build.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import images
from controller import (ARCHITECTURE, ARM64_BIN, ARM64_BUILD, CONTROL_BIN, EXE, HOST, RUN, RUNS_X86, WINDOWS, X64_BIN,
                        X64_BUILD, X86_BIN, Host, close_tool, exit_status, hook_library, platform_path, report)
from processes import TestCase

BUILD = os.environ["HOOK_HOST_BUILD"]
VERSION = os.environ["HOOK_HOST_VERSION"]
RELEASE = "hook_host-%s-win64" % VERSION
TOP = "hook_host"  # the one folder the ZIP unpacks to, as the pages name it
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# The README and the pages it links to, installed as they stand, with the figure the testing page shows.
READMES = ["README.md"] + sorted("docs/" + name for name in os.listdir(os.path.join(SOURCE, "docs"))) + [
    "bench/results/close_latencies.png"]
CONSUMER = os.path.join(SOURCE, "tests", "consumer")
# Windows programs ship in one folder; here they go in the usual tree.
PROGRAMS, DOCS = ("", "") if WINDOWS else ("bin", "share/doc/hook_host")
# Each build installs its host; the 64-bit Windows build also the 32-bit and the ARM64 one, from builds of
# their own. {host: (folder it was built in, architecture)}
HOSTS = {"hook_host": (X64_BIN, "x64")} if X64_BUILD else {"hook_host32": (X86_BIN, "x86")}
if ARM64_BUILD:
    HOSTS = {"hook_host_arm64": (X64_BIN, "arm64")}
if WINDOWS and X64_BUILD:
    HOSTS.update({"hook_host32": (X86_BIN, "x86"), "hook_host_arm64": (ARM64_BIN, "arm64")})
PROGRAM_NAMES = ["hook_close"] + list(HOSTS) + (["hook_check"] if X64_BUILD else [])
# The Windows release's folder to try a host in: the host beside the stand-in hook library, which installs nothing.
TRY = ["try/hook_host.exe", "try/TeskShellHook64.dll"] if WINDOWS and X64_BUILD else []
# hook_control for CMake projects, and its source for Windows applications of any compiler. Its shared
# library goes with the programs: on Windows in a folder of its architecture's, with its import library
# and .def, beside the bindings; here in lib.
# A 64-bit build installs the 32-bit DLL too, from a 32-bit build of its own.
ARCHITECTURES = ["x64", "x86", "arm64"] if WINDOWS and X64_BUILD else [ARCHITECTURE]
DEVELOPMENT = ["include/hook_control.h", "lib/libhook_control.a", "lib/libhook_control%s" % (
    ".dll.a" if WINDOWS else ".so")] + [
    "lib/cmake/hook_control/hook_control-%s.cmake" % name
    for name in ("config", "config-version", "targets", "targets-" + os.environ["HOOK_HOST_BUILD_TYPE"].lower())]
CONTROL_SOURCES = ["hook_control/" + name for name in (
    "hook_control.h", "hook_control.cpp", "hook_control_platform.h", "allocation.h", "last_error.cpp", "last_error.h",
    "report_line.cpp", "report_line.h", "version.cpp", "version_number.h", "create_process_windows.cpp",
    "create_process_windows.h", "handle_windows.h", "hook_control_windows.cpp", "post_windows.cpp", "post_windows.h",
    "status_text_windows.cpp", "streams_windows.cpp", "streams_windows.h", "system_error_windows.cpp")] if WINDOWS else []
# The hook library's contract, for its authors: {installed: source}. In the release in a folder of its
# own, with the example library's source; installed with the headers, and the .defs (one an
# architecture) with the data.
CONTRACT = {"include/TeskShellHook.h": "hook_library/TeskShellHook.h",
            "share/hook_host/TeskShellHook64.def": "hook_library/TeskShellHook64.def",
            "share/hook_host/TeskShellHook32.def": "hook_library/TeskShellHook32.def",
            "share/hook_host/TeskShellHookARM64.def": "hook_library/TeskShellHookARM64.def"}
SHIPPED_CONTRACT = dict({"hook_library/" + os.path.basename(name): name for name in CONTRACT.values()},
                        **{"hook_library/example_hook.c": "example_hook/example_hook.c"}) if WINDOWS else {}
# A library author's least library and program that calls it, in C and C++ alike.
AUTHORS_LIBRARY = """#include "TeskShellHook.h"

void TESK_SHELL_HOOK_CALL SetTeskShellHook(intptr_t hook_argument)
{
    (void)hook_argument;
}
"""
AUTHORS_CALLER = """#include "TeskShellHook.h"

int main(void)
{
    SetTeskShellHook(-7);
    return 0;
}
"""


# A C++ library that uses the C++ standard library, as most do.
AUTHORS_CXX_LIBRARY = """#include <string>

#include "TeskShellHook.h"

static std::string installed;

extern "C" void TESK_SHELL_HOOK_CALL SetTeskShellHook(intptr_t hook_argument)
{
    installed = std::to_string(hook_argument);
}
"""
# What links GCC's runtime into a library, as the page for library authors says: otherwise a C++ library
# imports libstdc++-6.dll (and on x86 libgcc_s_dw2-1.dll), DLLs of the compiler's that no Windows has;
# -static-libgcc -static-libstdc++ alone leave libwinpthread-1.dll to a toolchain of the posix thread model.
STATIC_RUNTIME = ["-static"]


def compilers_dlls(library):
    """The DLLs of the compiler's runtime that `library` imports."""
    return sorted(name for name in images.imports(images.load(library)) if name.lower().startswith("lib"))


def shared_library(architecture):
    """The shared library's files as the programs get them."""
    if not WINDOWS:
        return ["lib/libhook_control.so.1"]
    return ["hook_control/%s/%s" % (architecture, name)
            for name in ("hook_control.dll", "libhook_control.dll.a", "hook_control.def")]


# The bindings, one file each, {installed: source}: the Python package's module is the one file. The C#
# one also as the assemblies that the release builds, each with its XML documentation beside it.
BINDINGS = {"bindings/python/hook_control.py": "bindings/python/hook_control/__init__.py",
            "bindings/dotnet/HookControl.cs": "bindings/dotnet/HookControl.cs"} if WINDOWS else {}
# Each framework of the NuGet package, with the folder below bindings/dotnet of its assembly.
DOTNET_FRAMEWORKS = (("net45", ""), ("netstandard2.0", "netstandard2.0/"), ("netstandard2.1", "netstandard2.1/"))
ASSEMBLY = ["bindings/dotnet/%sHookControl.%s" % (folder, kind) for _, folder in DOTNET_FRAMEWORKS
            for kind in ("dll", "xml")] if WINDOWS and X64_BUILD else []


def shipped_hook_check(release, host):
    """What the release's own hook_check says of `host`."""
    return subprocess.run(RUN + [os.path.join(release, "hook_check" + EXE), platform_path(host)],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)


def run(test, command, **kwargs):
    """Runs a tool of the build, which must succeed; what it said goes into the failure."""
    result = subprocess.run(command, capture_output=True, **kwargs)
    test.assertEqual(result.returncode, 0, (command, result.stdout[-3000:], result.stderr[-3000:]))
    return result


def cpack(build, output, **environment):
    """Runs cpack on `build` into `output`, as a releaser would; what it gave. A certificate given to
    the whole workflow is not the test's: the tests check what they sign, and that a release made
    without one is unsigned."""
    ours = {name: value for name, value in os.environ.items() if not name.startswith("HOOK_HOST_SIGN_")}
    return subprocess.run([os.environ["CPACK_COMMAND"], "--config", os.path.join(build, "CPackConfig.cmake"), "-B",
                           output], capture_output=True, env=dict(ours, **environment))


def package(test, build, **environment):
    """The release's ZIP and checksum file, made by cpack from `build` into a folder of their own."""
    output = tempfile.mkdtemp(prefix="hook_host_release.")
    test.addCleanup(shutil.rmtree, output)
    result = cpack(build, output, **environment)
    test.assertEqual(result.returncode, 0, (result.stdout[-3000:], result.stderr[-3000:]))
    return os.path.join(output, RELEASE + ".zip"), os.path.join(output, RELEASE + ".zip.sha256")


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(root, name), folder)
                  for root, _, names in os.walk(folder) for name in names)


class Installed(TestCase):
    """Checks a tree of installed files, then runs its host beside the stand-in hook library."""

    def check_tree(self, folder, development):
        programs = os.path.join(folder, PROGRAMS)
        contract = dict(SHIPPED_CONTRACT, **(CONTRACT if development else {}))
        self.assertEqual(files_below(folder), sorted(
            [os.path.join(PROGRAMS, name + EXE) for name in PROGRAM_NAMES] +
            [os.path.join(DOCS, name) for name in READMES] +
            CONTROL_SOURCES + list(contract) + list(BINDINGS) + ASSEMBLY + TRY +
            [name for a in ARCHITECTURES for name in shared_library(a)] +
            (DEVELOPMENT if development else [])), "the stand-in hook library is not in the host's folder")
        for installed, source in contract.items():
            with open(os.path.join(folder, installed), "rb") as ours, \
                    open(os.path.join(SOURCE, source), "rb") as shipped:
                self.assertEqual(ours.read(), shipped.read(), installed)
        library = shared_library(ARCHITECTURE)[0]
        for installed_name, built in [(os.path.join(PROGRAMS, name + EXE), os.path.join(
                HOSTS.get(name, (CONTROL_BIN,))[0], name + EXE)) for name in PROGRAM_NAMES] + [
                (library, os.path.join(CONTROL_BIN, os.path.basename(library)))] + [
                (name, os.path.join(CONTROL_BIN, os.path.relpath(name, "bindings/dotnet"))) for name in ASSEMBLY]:
            with open(os.path.join(folder, installed_name), "rb") as installed, open(built, "rb") as ours:
                self.assertEqual(installed.read(), ours.read(), installed_name)
        for name, source in list(BINDINGS.items()) + [(os.path.join(DOCS, name), name) for name in READMES]:
            with open(os.path.join(folder, name), "rb") as installed, open(os.path.join(SOURCE, source), "rb") as ours:
                self.assertEqual(installed.read(), ours.read(), name)

        # Every link of the pages leads to a file installed with them.
        for name in READMES:
            if name.endswith(".md"):
                page = os.path.join(folder, DOCS, name)
                with open(page, encoding="utf-8") as text:
                    for target in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", text.read()):
                        with self.subTest(page=name, link=target):
                            self.assertTrue(os.path.exists(os.path.join(os.path.dirname(page), target)))
        # The host to try runs as it is shipped.
        if TRY:
            host = Host(self, "42", folder=os.path.join(folder, "try"), cwd=folder)
            self.assertEqual(host.read_line(), report(42))
            host.expect_posted(close_tool(host.pid(), 7, folder=programs))
            self.assertEqual(host.wait(), exit_status(7))
        # Placed beside its hook library, each host runs and its close tool ends it.
        for name, (built, architecture) in HOSTS.items():
            with self.subTest(host=name):
                if architecture == "x86" and not RUNS_X86:
                    self.skipTest("this machine runs no 32-bit program")
                if architecture == "arm64" and not ARM64_BUILD:
                    self.skipTest("this Wine runs no ARM64 program: the windows-arm64 preset runs the ARM64 host")
                shutil.copy(os.path.join(built, hook_library(architecture == "x86")), programs)
                host = Host(self, "42", folder=programs, cwd=folder, name=name)
                self.assertEqual(host.read_line(), report(42))
                host.close(7)
                self.assertEqual(host.wait(), exit_status(7))
                self.assertEqual(len(host.calls()), 1)

    def run_controller(self, program, host=HOST):
        """Runs an application's controller, built apart from us, against the host: it closes it with 7."""
        result = subprocess.run(RUN + [program, platform_path(host), "7"],
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
        for name in ("controller", "controller_shared"):
            with self.subTest(name=name):
                self.run_controller(os.path.join(build, name + EXE))
        if WINDOWS:
            self.assertTrue(os.path.exists(os.path.join(build, "hook_control.dll")), "placed beside its program")


class Package(Installed):
    def test_the_zip_holds_the_programs_the_readme_and_hook_controls_source_with_its_checksum_beside_it(self):
        archive, checksum = package(self, BUILD)
        with open(archive, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        with open(checksum) as sums:
            self.assertEqual(sums.read().split(), [digest, RELEASE + ".zip"])

        # Unpacked as a user would: one folder, as the pages name it.
        unpacked = self.folder()
        with zipfile.ZipFile(archive) as zipped:
            self.assertTrue(all(entry.startswith(TOP + "/") for entry in zipped.namelist()))
            zipped.extractall(unpacked)
        release = os.path.join(unpacked, TOP)
        self.check_tree(release, development=False)
        # The 32-bit and the ARM64 DLL, each from a build of its own, export the same calls.
        x64 = images.load(os.path.join(release, shared_library("x64")[0]))
        for architecture in ("x86", "arm64"):
            with self.subTest(architecture=architecture):
                other = images.load(os.path.join(release, shared_library(architecture)[0]))
                self.assertEqual((other.FILE_HEADER.Machine, other.OPTIONAL_HEADER.Magic),
                                 images.MACHINES[architecture])
                self.assertEqual(*(sorted(s.name for s in image.DIRECTORY_ENTRY_EXPORT.symbols) for image in (x64, other)))

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
        self.check_contract(release, unpacked, program)

    def check_contract(self, release, unpacked, controller):
        """A hook library built from the shipped header and .def alone, in C and in C++, and the shipped
        example library, for each architecture, export the entry by its plain name, and the shipped
        host of its architecture runs beside each, started by the 64-bit controller (the ARM64 one, which
        no Wine here runs, is judged by the shipped hook_check); a caller imports the entry."""
        contract = os.path.join(release, "hook_library")
        # The x86 toolchain is the x86-64 one's sibling; the ARM64 one is clang's, with libc++.
        x64 = os.environ["HOOK_HOST_CC"], os.environ["HOOK_HOST_CXX"]
        x86 = [name.replace("x86_64-w64-mingw32", "i686-w64-mingw32") for name in x64]
        for bits, host, (cc, cxx) in (("64", "hook_host", x64), ("32", "hook_host32", x86),
                                      ("ARM64", "hook_host_arm64",
                                       (os.environ["HOOK_HOST_ARM64_CC"], os.environ["HOOK_HOST_ARM64_CXX"]))):
            for case, compiler, suffix, library_source in (
                    ("C", cc, ".c", None), ("C++", cxx, ".cpp", None),
                    ("example", cc, ".c", os.path.join(contract, "example_hook.c"))):
                with self.subTest(case=case, host=host):
                    folder = os.path.join(unpacked, case + bits)
                    os.mkdir(folder)
                    for name, text in (("library", AUTHORS_CXX_LIBRARY if case == "C++" else AUTHORS_LIBRARY),
                                       ("caller", AUTHORS_CALLER)):
                        with open(os.path.join(folder, name + suffix), "w") as source:
                            source.write(text)
                    strict = [compiler, "-Wall", "-Wextra", "-pedantic", "-Werror", "-O2", "-I", contract]
                    library_command = strict + ["-shared", "-DTESK_SHELL_HOOK_BUILD",
                                                library_source or os.path.join(folder, "library" + suffix),
                                                os.path.join(contract, "TeskShellHook%s.def" % bits), "-o"]
                    # As the page for library authors says: the compiler's runtime linked in, so that the
                    # library needs no DLL of the compiler's beside the host.
                    library = os.path.join(folder, "TeskShellHook%s.dll" % bits)
                    run(self, library_command + [library] + (STATIC_RUNTIME if case == "C++" else []))
                    self.assertEqual(compilers_dlls(library), [])
                    exports = [symbol.name.decode() for symbol in images.load(library).DIRECTORY_ENTRY_EXPORT.symbols]
                    self.assertEqual(exports, ["SetTeskShellHook"])
                    caller = os.path.join(folder, "caller.exe")
                    run(self, strict + [os.path.join(folder, "caller" + suffix), library, "-o", caller])
                    self.assertEqual(images.imports(images.load(caller))[os.path.basename(library)], ["SetTeskShellHook"])
                    if bits == "32" and not RUNS_X86:
                        self.skipTest("this machine runs no 32-bit program")
                    host_path = shutil.copy(os.path.join(release, host + EXE), folder)
                    if bits == "ARM64":
                        result = shipped_hook_check(release, host_path)
                        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                        self.assertIn(b"the ARM64 host, TeskShellHookARM64.dll beside it (ARM64,", result.stdout)
                        continue
                    self.run_controller(controller, host=host_path)
                    if case == "C++":
                        self.check_runtime_named(release, library_command, host_path)

    def check_runtime_named(self, release, library_command, host):
        """Without the compiler's runtime linked in, a C++ library imports its DLLs, which are not
        beside the host: hook_check names each, as any import not found."""
        folder = tempfile.mkdtemp(prefix="hook_runtime.", dir=os.path.dirname(os.path.dirname(host)))
        host = shutil.copy(host, folder)
        library = os.path.join(folder, "TeskShellHook%s.dll" % ("32" if host.endswith("32" + EXE) else "64"))
        run(self, library_command + [library])
        needed = compilers_dlls(library)
        self.assertIn("libstdc++-6.dll", needed)
        # Each is named, as any import that is not found.
        result = shipped_hook_check(release, host)
        self.assertEqual(result.returncode, 1, result.stdout)
        for name in needed:
            self.assertIn(name.encode(), result.stdout)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
