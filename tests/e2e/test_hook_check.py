"""hook_check against a host beside a hook library with one fault of each kind, built in the tests
(tests/hook_check), beside the sound stand-in, and against damaged copies of both: it names the file
and the fault, and with --start the loader's or the crash's status."""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import struct
import time
import unittest

import damaged_images
from controller import BIN, CONTROL_BIN, EXE, HOOK_LIBRARY, RUN, RUNS_X86, SLOW, WINDOWS, platform_path
from processes import TestCase

BROKEN = os.path.join(os.environ["HOOK_HOST_BUILD"], "tests", "hook_check")
# What hook_check says of a host whose files show nothing wrong: never that it will start.
NO_PROBLEM = r"^\S*%s: no problem found in the files: the (x86|x86-64|ARM64) host, \S+ beside it .* --start NUMBER does\n$"
LOADER_REFUSED = "status 0xC0000135: the hook library, or a library it needs, was not found" if WINDOWS else \
    "status 127: the dynamic linker refused the host"
# AddressSanitizer reserves terabytes of address space for its shadow as it starts: no limit on the
# data of a program built with it can hold.
SANITIZED = "sanitize" in os.environ.get("HOOK_HOST_CXX_FLAGS", "")
MOST_DATA = 64 << 20  # what hook_check may take for its data, whatever the image


def hook_check(*args, env=None, limit_data=False):
    """hook_check run with `args`; with `limit_data`, its data held to MOST_DATA, or to that many bytes."""
    most = MOST_DATA if limit_data is True else limit_data
    held = (lambda: resource.setrlimit(resource.RLIMIT_DATA, (most, most))) if limit_data else None
    return subprocess.run(RUN + [os.path.join(CONTROL_BIN, "hook_check" + EXE)] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, encoding="utf-8", timeout=60 * SLOW,
                          env=env, preexec_fn=held)


class Checked(TestCase):
    def placed(self, library=os.path.join(BIN, HOOK_LIBRARY), host=True, name=HOOK_LIBRARY):
        """A folder of its own with the host (or the file `host`) and `library` (None: none) beside it as
        `name`."""
        folder = tempfile.mkdtemp(prefix="hook_check.")
        self.addCleanup(shutil.rmtree, folder)
        if host:
            shutil.copy(os.path.join(BIN, "hook_host" + EXE) if host is True else host, folder)
        if library:
            shutil.copy(library, os.path.join(folder, name))
        return folder

    def broken(self, kind):
        return os.path.join(BROKEN, kind, HOOK_LIBRARY)

    def placed_data(self, data):
        """A folder of its own with the host and `data` beside it as its hook library."""
        folder = self.placed(library=None)
        with open(os.path.join(folder, HOOK_LIBRARY), "wb") as library:
            library.write(data)
        return folder

    def check(self, folder, *words, start=None, env=None):
        """Runs hook_check on `folder`, which must find something wrong; each of `words` is in the line
        of the same index. Gives the lines."""
        result = hook_check(*(["--start", str(start)] if start is not None else []), platform_path(folder), env=env)
        lines = result.stdout.splitlines()
        self.assertEqual((result.returncode, len(lines)), (1, len(words)), result.stdout + result.stderr)
        for line, said in zip(lines, words):
            for word in said:
                self.assertIn(word, line)
        return lines

    def library_path(self, folder, name=HOOK_LIBRARY):
        return platform_path(os.path.join(folder, name))


class HookCheck(Checked):
    def test_a_sound_host_beside_it_or_named_has_no_problem(self):
        for args in ([], [platform_path(self.placed())], [platform_path(os.path.join(self.placed(), "hook_host" + EXE))]):
            with self.subTest(args=args):
                result = hook_check(*args)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertRegex(result.stdout, NO_PROBLEM % ("hook_host" + EXE))
                self.assertNotIn("will start", result.stdout)

    def test_a_missing_host_library_or_path_is_named_in_one_line_with_where_it_looked(self):
        folder = self.placed(library=None)
        self.check(folder, [self.library_path(folder) + " not found", "beside hook_host" + EXE])
        empty = self.placed(library=None, host=False)
        for start in (None, 42):
            self.check(empty, [platform_path(os.path.join(empty, "hook_host" + EXE)) + " not found"], start=start)
            self.check(os.path.join(empty, "nowhere", "hook_host" + EXE), ["nowhere", "not found"], start=start)

    def test_a_file_that_binds_no_hook_library_is_not_a_hook_host_and_is_not_started(self):
        control = "hook_control.dll" if WINDOWS else "libhook_control.so.1"
        for path in (os.path.join(BIN, HOOK_LIBRARY), os.path.join(CONTROL_BIN, "hook_check" + EXE),
                     os.path.join(CONTROL_BIN, control)):
            for start in (None, 42):
                with self.subTest(path=path, start=start):
                    self.check(path, [platform_path(path) + " is not a hook host", "binds no hook library"],
                               start=start)

    def test_a_file_that_is_not_a_library_says_so(self):
        text = os.path.join(self.placed(library=None, host=False), "text")
        with open(text, "w") as data:
            data.write("not a library\n")
        folder = self.placed(library=text)
        self.check(folder, [self.library_path(folder) + " is not a library"])

    @unittest.skipIf(WINDOWS, "a FIFO is this machine's")
    def test_a_fifo_in_the_librarys_place_is_no_library_and_no_wait(self):
        folder = self.placed(library=None)
        os.mkfifo(os.path.join(folder, HOOK_LIBRARY))
        self.check(folder, [self.library_path(folder) + " is not a library"])

    def test_a_cut_library_is_named_and_read_no_further_than_its_end(self):
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            whole = sound.read()
        for length in (1024, 4096):  # the headers whole, what they point at cut off
            with self.subTest(length=length):
                cut = os.path.join(self.placed(library=None, host=False), "cut")
                with open(cut, "wb") as data:
                    data.write(whole[:length])
                folder = self.placed(library=cut)
                result = hook_check(platform_path(folder))
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(self.library_path(folder), result.stdout)

    def test_a_library_of_another_machine_says_which_and_that_the_host_needs_the_64_bit_build(self):
        for kind, machine in (("x86", "is a 32-bit (x86) library"),) + ((("arm64", "is an ARM64 library"),) if WINDOWS
                                                                         else ()):
            with self.subTest(kind=kind):
                folder = self.placed(self.broken(kind))
                self.check(folder, [self.library_path(folder), machine, "64-bit (x86-64) build"])

    @unittest.skipUnless(WINDOWS, "the 32-bit and the ARM64 hosts are Windows'")
    def test_a_host_of_another_machine_is_told_by_its_import_and_its_library_checked_for_that_machine(self):
        x64 = os.path.join(BIN, HOOK_LIBRARY)
        stdcall = os.path.join(BROKEN, "stdcall_entry", "TeskShellHook32.dll")
        hosts = [("host32", "hook_host32.exe", "TeskShellHook32.dll", "x86",
                  [(x64, ["64-bit", "32-bit host (hook_host32.exe)", "(x86) build"]),
                   (stdcall, ["exports SetTeskShellHook@4, the name of a __stdcall entry", "__cdecl",
                              "hook_library/TeskShellHook.h", "hook_library/TeskShellHook32.def"])]),
                 ("host_arm64", "hook_host_arm64.exe", "TeskShellHookARM64.dll", "ARM64",
                  [(x64, ["is a 64-bit (x86-64) library", "ARM64 host (hook_host_arm64.exe) is an ARM64 program",
                          "ARM64 build"])])]
        for folder_name, host_name, library_name, machine, cases in hosts:
            host = os.path.join(BROKEN, folder_name, host_name)
            sound = os.path.join(BROKEN, folder_name, library_name)
            result = hook_check(platform_path(os.path.join(self.placed(sound, host=host, name=library_name), host_name)))
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertRegex(result.stdout, NO_PROBLEM % host_name)
            self.assertIn("the %s host, %s beside it (%s," % (machine, library_name, machine), result.stdout)
            for library, words in cases:
                with self.subTest(host=host_name, library=library):
                    # The 32-bit host's imports are looked for among the prefix's 32-bit libraries,
                    # which a prefix made where no 32-bit code runs lacks; each would be named too.
                    if (host_name, library) == ("hook_host32.exe", x64) and not RUNS_X86:
                        self.skipTest("the Wine prefix has no 32-bit system libraries where no 32-bit code runs")
                    folder = self.placed(library, host=host, name=library_name)
                    self.check(os.path.join(folder, host_name), [self.library_path(folder, library_name)] + words)

    @unittest.skipUnless(WINDOWS, "the hybrid images of Windows on ARM")
    def test_a_hybrid_image_is_said_to_be_beyond_the_check_and_not_judged_by_its_headers_machine(self):
        # An ARM64EC library (x86-64 by its header) beside the 64-bit host; ARM64X ones (ARM64 by their
        # header) beside it and beside the ARM64 host: each said, and none judged a wrong machine.
        arm64 = os.path.join(BROKEN, "arm64", HOOK_LIBRARY)
        host_arm64 = os.path.join(BROKEN, "host_arm64", "hook_host_arm64.exe")
        cases = [(os.path.join(BIN, HOOK_LIBRARY), True, HOOK_LIBRARY, "is an ARM64EC image (x86-64 by its header"),
                 (arm64, True, HOOK_LIBRARY, "is an ARM64X image (ARM64 by its header"),
                 (arm64, host_arm64, "TeskShellHookARM64.dll", "is an ARM64X image")]
        for library, host, name, said in cases:
            with self.subTest(library=library, host=host):
                with open(library, "rb") as image:
                    folder = self.placed(None, host=host)
                    with open(os.path.join(folder, name), "wb") as hybrid:
                        hybrid.write(damaged_images.pe_hybrid(image.read()))
                self.check(os.path.join(folder, "hook_host" + EXE if host is True else os.path.basename(host)),
                           [self.library_path(folder, name) + " " + said, "which hook_check does not model"])

    def test_an_entry_without_extern_c_is_named_by_its_cxx_name(self):
        kinds = {"cxx_entry": "_Z16SetTeskShellHookx" if WINDOWS else "_Z16SetTeskShellHookl"}
        if WINDOWS:
            kinds["msvc_entry"] = "?SetTeskShellHook@@YAX_J@Z"
        for kind, name in kinds.items():
            with self.subTest(kind=kind):
                folder = self.placed(self.broken(kind))
                self.check(folder, [self.library_path(folder), "C++ name " + name, 'extern "C"'])

    def test_an_entry_of_a_near_name_is_named_as_found(self):
        folder = self.placed(self.broken("near_name"))
        self.check(folder, [self.library_path(folder), "exports setTeskShellHook, not SetTeskShellHook"])

    def test_a_library_without_the_entry_says_so(self):
        folder = self.placed(os.path.join(BIN, "without_entry", HOOK_LIBRARY))
        self.check(folder, [self.library_path(folder), "exports no SetTeskShellHook"])

    def test_an_imported_library_found_nowhere_is_named_and_one_placed_beside_the_host_is_found(self):
        folder = self.placed(self.broken("missing_import"))
        gone = "libhook_check_gone" + (".dll" if WINDOWS else ".so")
        self.check(folder, [self.library_path(folder) + " imports " + gone, "neither beside the host"])
        shutil.copy(os.path.join(BROKEN, "gone", gone), folder)
        if WINDOWS:
            self.assertEqual(hook_check(platform_path(folder)).returncode, 0)
        else:
            # Here the loader looks beside a library only where its RUNPATH says $ORIGIN, and this one's
            # does not: the host would not start.
            self.check(folder, [self.library_path(folder) + " imports " + gone, "beside the host but not where",
                                "-Wl,-rpath,'$ORIGIN'"])
            self.assertEqual(hook_check("--start", "3", platform_path(folder)).returncode, 1)

    @unittest.skipUnless(WINDOWS, "the Windows loader's binding of functions")
    def test_each_imported_function_is_bound_as_the_loader_binds_it(self):
        # By name and by ordinal, in the library the loader takes, forwarders followed (KERNEL32's to
        # ntdll), API sets mapped by the system's schema; a line names the function and the library.
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            data = sound.read()
        synch = b"api-ms-win-core-synch-l1-2-0.dll"
        cases = [([(b"KERNEL32.dll", [b"AcquireSRWLockExclusive", b"GetTickCount"]), (synch, [b"Sleep"])], []),
                 ([(b"KERNEL32.dll", [b"NoSuchFunctionXYZ"])],
                  ["imports NoSuchFunctionXYZ from KERNEL32.dll", "does not export NoSuchFunctionXYZ", "0xC0000139"]),
                 ([(b"KERNEL32.dll", [60000])], ["imports ordinal 60000 from KERNEL32.dll", "0xC0000138"]),
                 ([(synch, [b"NoSuchFunctionXYZ"])], ["from " + synch.decode(), "kernelbase.dll), which does not export"]),
                 ([(b"api-ms-win-deprecated-apis-legacy-l1-1-0.dll", [b"Any"])],
                  ["an API set that this system maps to no library"])]
        for imports, said in cases:
            with self.subTest(imports=imports):
                folder = self.placed_data(damaged_images.pe_importing_more(data, imports))
                if said:
                    self.check(folder, [self.library_path(folder) + " imports "] + said)
                else:
                    self.assertEqual(hook_check(platform_path(folder)).returncode, 0)

    @unittest.skipUnless(WINDOWS, "Windows' search order, which Wine's loader does not keep")
    def test_an_import_is_looked_for_in_windows_order(self):
        # A 32-bit DLL beside the 64-bit host is the one Windows takes, and refuses, but a KnownDLL,
        # which it maps from the system folder; a library found only on PATH is found.
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            data = sound.read()
        x86 = os.path.join(BROKEN, "x86", HOOK_LIBRARY)
        for name, said in ((b"version.dll", [r"\version.dll, which ", "is built for x86", "0xC000007B"]),
                           (b"KERNEL32.dll", None)):
            with self.subTest(name=name):
                folder = self.placed_data(damaged_images.pe_importing_more(data, [(name, [b"GetTickCount"])]))
                shutil.copy(x86, os.path.join(folder, name.decode()))
                if said:
                    self.check(folder, said)
                else:
                    self.assertEqual(hook_check(platform_path(folder)).returncode, 0)
        folder = self.placed(self.broken("missing_import"))
        elsewhere = self.placed(os.path.join(BROKEN, "gone", "libhook_check_gone.dll"), host=False,
                                name="libhook_check_gone.dll")
        # Wine's PATH is its own, with WINEPATH's folders after it.
        result = hook_check("--start", "3", platform_path(folder), env=dict(os.environ, WINEPATH=platform_path(elsewhere)))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn("despite", result.stdout)

    @unittest.skipIf(WINDOWS, "the dynamic linker's RUNPATH")
    def test_a_runpath_is_read_as_the_dynamic_linker_reads_it(self):
        # ${ORIGIN} names the library's own folder as $ORIGIN does; $ORIGIN/lib one below it.
        gone = os.path.join(BROKEN, "gone", "libhook_check_gone.so")
        folder = self.placed(self.broken("origin_braced"))
        shutil.copy(gone, folder)
        self.assertEqual(hook_check("--start", "3", platform_path(folder)).returncode, 0)
        folder = self.placed(self.broken("origin_below"))
        shutil.copy(gone, folder)
        self.check(folder, ["imports libhook_check_gone.so, which is beside the host but not where"],
                   ["ended before its report line with " + LOADER_REFUSED], start=3)

    def test_a_newline_in_the_hosts_folder_is_shown_escaped_in_its_one_line(self):
        folder = os.path.join(self.placed(library=None, host=False), "two\nlines")
        shutil.copytree(self.placed(library=None), folder)
        lines = self.check(folder, ["two\\x0alines", "not found"])
        self.assertNotIn("\n", lines[0])

    def test_wrong_arguments(self):
        for args in (["--start"], ["--start", "x"], ["--start", "2147483648"], ["--start", "1", "--start", "2"],
                     ["--verbose"], ["a", "b"]):
            with self.subTest(args=args):
                result = hook_check(*args)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, r"^(usage: hook_check |hook_check: NUMBER)")
        result = hook_check("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("usage: hook_check [--start NUMBER] [HOST]", result.stdout)


class HookCheckStart(Checked):
    """hook_check --start: the host started once, its line read and a close posted."""

    def test_a_sound_host_reports_and_ends_by_its_close(self):
        result = hook_check("--start", "-7", platform_path(self.placed()))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"^\S*hook_host%s started with -7, reported it, and ended by its close\n$" % EXE)

    def test_a_library_the_loader_refuses_is_told_with_the_loaders_status(self):
        # Under Wine a library of another machine and one that imports a missing one end alike, as a
        # missing one does.
        cases = [("x86", "32-bit"), ("missing_import", "neither beside the host")] + \
            ([("arm64", "is an ARM64 library")] if WINDOWS else [])
        for kind, found in cases:
            with self.subTest(kind=kind):
                folder = self.placed(self.broken(kind))
                self.check(folder, [found], ["ended before its report line with " + LOADER_REFUSED], start=42)
        self.check(self.placed(library=None), ["not found"], ["ended before its report line with " + LOADER_REFUSED],
                   start=42)

    @unittest.skipUnless(WINDOWS, "Windows' DllMain")
    def test_a_library_whose_dllmain_fails_says_so(self):
        self.assertEqual(hook_check(platform_path(self.placed(self.broken("dllmain_false")))).returncode, 0,
                         "nothing in its files is wrong")
        self.check(self.placed(self.broken("dllmain_false")),
                   ["ended before its report line with status 0xC0000142", "initialisation, its DllMain, failed"],
                   start=42)

    def test_a_crash_in_the_entry_is_told_with_its_code(self):
        folder = self.placed(self.broken("crash"))
        self.assertEqual(hook_check(platform_path(folder)).returncode, 0, "nothing in its files is wrong")
        # Under AddressSanitizer its own handler would report the fault and exit with 1.
        env = dict(os.environ, ASAN_OPTIONS="handle_segv=0")
        crash = "status 0xC0000005: crashed: an invalid memory access" if WINDOWS else \
            "status -11: crashed: an invalid memory access (SIGSEGV)"
        self.check(folder, ["reported, then ended before its close with " + crash, "the fault is in " +
                            self.library_path(folder)], start=42, env=env)

    def test_an_entry_that_does_not_return_is_told_after_10_s(self):
        # The stand-in holds the thread in the call for 20 s: the close waits for it.
        env = dict(os.environ, TESK_STAND_IN_HOLD_MS="20000")
        self.check(self.placed(), ["reported, but had not ended 10 s after its close", "has not returned from "
                                   "SetTeskShellHook"], start=42, env=env)

    def test_a_host_in_a_folder_named_in_no_ansi_code_page_is_checked_and_started(self):
        # Greek and a snowman: Windows' Western code page (1252) has neither.
        folder = os.path.join(self.placed(library=None, host=False), "Ωμέγα ☃")
        shutil.copytree(self.placed(), folder)
        # Wine reads a command line in the locale's character set: one that has these characters.
        result = hook_check("--start", "5", platform_path(folder), env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.splitlines(), [platform_path(os.path.join(folder, "hook_host" + EXE)) +
                                                      " started with 5, reported it, and ended by its close"])

    @unittest.skipUnless(WINDOWS, "Windows' refusal of a missing function, which Wine lets through")
    def test_a_missing_function_is_told_before_a_start_that_the_loader_let_through(self):
        # Windows refuses the start (0xC0000139); Wine binds a stub, and the host starts.
        folder = self.placed(self.broken("missing_function"))
        said = [self.library_path(folder) + " imports NoSuchFunctionXYZ from KERNEL32.dll", "0xC0000139"]
        self.check(folder, said)
        self.check(folder, said, ["started with 42, reported it, and ended by its close, despite the problems above"],
                   start=42)

    def test_an_entry_the_library_lacks_is_told_as_the_platform_ends_it(self):
        # Wine binds a stub for it, which ends the host at the call; the dynamic linker refuses the start.
        told = "reported, then ended before its close with status 0x80000100: called an entry that its library " \
               "does not export" if WINDOWS else "ended before its report line with " + LOADER_REFUSED
        folder = self.placed(self.broken("cxx_entry"))
        self.check(folder, ['extern "C"'], [told], start=42)


@unittest.skipIf(WINDOWS, "the dynamic linker's")
class LoaderVerdicts(Checked):
    """Hosts that the dynamic linker refuses, or starts, for what only it looks at: hook_check's verdict
    in its words, and --start's agreeing with it."""

    def verdict(self, folder, *words, told=None, env=None):
        """hook_check finds nothing wrong in `folder` and the host starts; or it finds what `words` say,
        a line each, and the start fails as the dynamic linker refuses the host, or as `told` says; each
        in `env` (this one, less LD_LIBRARY_PATH), and given `folder` as the user gave it."""
        env = dict(env or os.environ, ASAN_OPTIONS="handle_segv=0")
        if not words:
            result = hook_check(platform_path(folder), env=env)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertRegex(result.stdout, NO_PROBLEM % "hook_host")
        else:
            self.check(folder, *words, env=env)
        started = hook_check("--start", "42", platform_path(folder), env=env)
        told = told or ("ended before its report line with " + LOADER_REFUSED if words else "ended by its close")
        self.assertIn(told, started.stdout, started.stdout + started.stderr)

    def needing(self, *names):
        """A folder with the host and the sound library needing `names` first."""
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            return self.placed_data(damaged_images.elf_needing(sound.read(), list(names)))

    def test_libraries_built_for_what_only_the_dynamic_linker_refuses(self):
        gone = os.path.join(BROKEN, "gone", "libhook_check_gone.so")
        cases = [
            ("data_entry", [], ["exports SetTeskShellHook as data, not as a function"]),
            ("hidden_entry", [], ["only as SetTeskShellHook@V2, a hidden version"]),
            ("unbound_now", [], ["binds hook_check_nowhere, and no library", "undefined symbol"]),
            ("pie_library", [], ["no library the loader loads", "position-independent executable"]),
            ("origin_braced", [os.path.join(BROKEN, "gone_x86", "libhook_check_gone.so")],
             ["imports libhook_check_gone.so, which is not built for x86-64"]),
            ("inherited_runpath", [os.path.join(BROKEN, "needed", "libhook_check_middle.so"), gone],
             ["libhook_check_middle.so imports libhook_check_gone.so, which is beside the host but not where"]),
            # Sound: a DT_RPATH applies to the libraries loaded through it that have no DT_RUNPATH; the
            # host binds the entry from any library loaded with it; a symbol that no relocation uses is
            # never bound, even at once.
            ("unused_now", [], None),
            ("inherited_rpath", [os.path.join(BROKEN, "needed", "libhook_check_middle.so"), gone], None),
            ("entry_in_needed", [os.path.join(BROKEN, "needed", "libhook_check_provider.so")], None),
        ]
        for kind, beside, said in cases:
            with self.subTest(kind=kind):
                folder = self.placed(self.broken(kind))
                for path in beside:
                    shutil.copy(path, folder)
                self.verdict(folder, *([said] if said else []), told="crashed" if kind == "data_entry" else None)

    def test_the_dynamic_linker_is_asked_without_running_the_librarys_code(self):
        # The library's IFUNC resolver marks a file in the host's folder: a start runs it, hook_check's
        # question, asked in that folder too, does not.
        folder = self.placed(self.broken("ifunc_entry"))
        mark = os.path.join(folder, "ran")
        self.assertEqual(hook_check(platform_path(folder)).returncode, 0)
        self.assertFalse(os.path.exists(mark))
        self.assertIn("ended by its close", hook_check("--start", "1", platform_path(folder)).stdout)
        self.assertTrue(os.path.exists(mark))

    def test_a_library_of_headers_or_needs_the_system_refuses(self):
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            data = sound.read()
        cases = dict(damaged_images.elf_cases(data))
        for case, said in (("EI_OSABI 9", "(ELF file OS ABI invalid)"),
                           ("PT_LOADs out of order", "(failed to map segment from shared object)")):
            with self.subTest(case=case):
                self.verdict(self.placed_data(cases[case]), [said])
        folder = self.placed_data(cases["needs GLIBC_9.9.9"])
        # The dynamic linker ends the host with 1 for a version it lacks.
        self.verdict(folder, ["needs version GLIBC_9.9.9 of /", "libc.so.6", "version `GLIBC_9.9.9' not found"],
                     told="ended before its report line with status 1")
        # Libraries of the system's found in a folder of its cache's, under no name it caches; and under
        # a name it caches for another machine only. The dynamic linker finds neither.
        cache = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, encoding="utf-8").stdout
        entries = [line.split() for line in cache.splitlines()[1:] if "=>" in line]
        machines = {}
        for entry in entries:
            machines.setdefault(entry[0], set()).add("x86-64" in entry[1])
        other = sorted(name for name, sixty_four in machines.items() if sixty_four == {False})
        cached_folders = {os.path.dirname(entry[-1]) for entry in entries}
        defaults = {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib", "/usr/lib"}
        uncached = sorted(name for folder in cached_folders - defaults for name in os.listdir(folder)
                          if name.startswith("lib") and ".so" in name and name not in machines and
                          _elf_machine(os.path.join(folder, name)) == 62)
        for name in other[:1] + uncached[:1]:
            with self.subTest(name=name):
                self.verdict(self.needing(name.encode()), ["imports " + name, "nor among the system's"])

    def test_the_verdict_is_the_dynamic_linkers_own(self):
        # What its rules find or refuse beyond what hook_check's reading of the files once followed: a
        # search path of the environment or of $PLATFORM, a glibc-hwcaps or tls folder, a name matched
        # by a loaded library's SONAME, a host reached through a link, a filter, flags and versions.
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            data = sound.read()
        gone = os.path.join(BROKEN, "gone", "libhook_check_gone.so")
        needing_gone = lambda runpath: damaged_images.elf_needing(data, [b"libhook_check_gone.so"], runpath=runpath)
        refused = "the dynamic linker refuses to start"
        cases = [
            ("a default folder's library the cache names otherwise", damaged_images.elf_needing(data, [b"libz.so.1.2.13"]),
             {}, None),
            ("a folder on LD_LIBRARY_PATH", needing_gone(None), {"elsewhere/libhook_check_gone.so": gone}, None),
            ("$PLATFORM in a RUNPATH", needing_gone(b"$ORIGIN/$PLATFORM"), {"x86_64/libhook_check_gone.so": gone}, None),
            ("glibc-hwcaps", needing_gone(b"$ORIGIN"), {"glibc-hwcaps/x86-64-v2/libhook_check_gone.so": gone}, None),
            ("a need matched by a loaded SONAME",
             damaged_images.elf_needing(data, [b"./libhook_check_gone.so", b"libhook_check_gone.so"]),
             {"libhook_check_gone.so": gone}, None),
            ("the host's real folder", None, {"link": None}, None),
            ("the provider's base version required", damaged_images.elf_needing_base_version(data), {}, None),
            ("a bad copy under tls", needing_gone(b"$ORIGIN"),
             {"libhook_check_gone.so": gone, "tls/libhook_check_gone.so": __file__}, [refused, "tls/"]),
            ("a folder named as the library earlier on LD_LIBRARY_PATH", needing_gone(b"$ORIGIN"),
             {"libhook_check_gone.so": gone, "elsewhere/libhook_check_gone.so/": None}, [refused, "Error 21"]),
            ("DF_1_NODEFLIB", damaged_images.elf_needing(data, [b"libz.so.1"], flags_1=damaged_images.DF_1_NODEFLIB),
             {}, ["imports libz.so.1", "not found"]),
            ("a filter found nowhere",
             damaged_images.elf_needing(data, [], named=[(damaged_images.DT_FILTER, b"libhook_check_nowhere.so")]), {},
             ["libhook_check_nowhere.so", "not found"]),
            ("a version of another hash", damaged_images.elf_version_hash_bent(data), {},
             ["needs version ", "not found"]),
            ("a version of a library not loaded", damaged_images.elf_needing_versions_of_one_chain(data, 1, 1), {},
             [refused, "Inconsistency detected by ld.so"]),
            ("the link's folder", None, {"link": None, "link/" + HOOK_LIBRARY: os.path.join(BIN, HOOK_LIBRARY)},
             ["not found", "beside"]),
        ]
        for case, library, files, said in cases:
            with self.subTest(case=case):
                folder = self.placed_data(library) if library else self.placed(library=None if "link" in files and
                                                                               len(files) > 1 else os.path.join(BIN, HOOK_LIBRARY))
                env = {key: value for key, value in os.environ.items() if key != "LD_LIBRARY_PATH"}
                checked = folder
                for name, source in files.items():
                    path = os.path.join(folder, name)
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    if source:
                        shutil.copy(source, path)
                    elif name == "link":
                        os.makedirs(path)
                        os.symlink(os.path.join(folder, "hook_host"), os.path.join(path, "hook_host"))
                        checked = path
                    if name.startswith("elsewhere/"):
                        env["LD_LIBRARY_PATH"] = os.path.join(folder, "elsewhere")
                self.verdict(checked, *([said] if said else []), env=env,
                             told="ended before its report line" if said else None)

    def test_a_needed_path_is_taken_from_the_hosts_folder_where_it_starts(self):
        folder = self.needing(b"./libhook_check_gone.so")
        self.verdict(folder, ["imports ./libhook_check_gone.so, a path", "from the folder the host starts in"])
        shutil.copy(os.path.join(BROKEN, "gone", "libhook_check_gone.so"), folder)
        self.verdict(folder)


def _elf_machine(path):
    """The e_machine of the ELF file at `path`; None where it is none."""
    try:
        with open(path, "rb") as image:
            header = image.read(20)
    except OSError:
        return None
    return struct.unpack_from("<H", header, 18)[0] if header[:4] == b"\x7fELF" and len(header) == 20 else None


class DamagedImages(Checked):
    """Damaged copies of the host and of its library (damaged_images): hook_check neither crashes nor
    hangs on any, and where it finds nothing wrong in the files, the host starts and ends by its close;
    so that it never passes what the loader refuses. Where the loader is the real one (Linux; under Wine
    it is Wine's), where it finds something wrong, the host does not start: but for a file cut inside
    its last page, which the system maps with zeros for what was cut, so that whether its code then
    runs depends on what was lost."""

    def judge(self, case, folder):
        result = hook_check(platform_path(folder))
        self.assertIn(result.returncode, (0, 1), "%s: %s" % (case, result.stdout + result.stderr))
        # The dynamic linker, given the host itself, refuses headers that a start leaves to the system.
        unjudged = "could not ask the dynamic linker" in result.stdout
        if result.returncode == 1 and (WINDOWS or case.startswith("cut at") or unjudged):
            return
        started = hook_check("--start", "42", platform_path(folder))
        self.assertEqual("ended by its close" in started.stdout, result.returncode == 0,
                         "%s: hook_check says %s, and --start %s" % (case, result.stdout or "nothing", started.stdout))

    def cases(self, path):
        with open(path, "rb") as image:
            data = image.read()
        return (damaged_images.pe_cases if WINDOWS else damaged_images.elf_cases)(data)

    def case(self, path, name):
        """A folder with the host and the damaged copy `name` of the library at `path` beside it."""
        return self.placed_data(dict(self.cases(path))[name])

    def test_damaged_libraries_and_hosts(self):
        for kind, path in (("library", os.path.join(BIN, HOOK_LIBRARY)), ("host", os.path.join(BIN, "hook_host" + EXE))):
            for case, data in self.cases(path):
                # A sanitizer's runtime lives in the host, and the libraries bind to it through the
                # host's hash table: hook_check looks up the entry alone.
                if SANITIZED and (kind, case) == ("host", "GNU hash bloom zeroed"):
                    continue
                with self.subTest(kind=kind, case=case):
                    folder = self.placed()
                    name = HOOK_LIBRARY if kind == "library" else "hook_host" + EXE
                    with open(os.path.join(folder, name), "wb") as damaged:
                        damaged.write(data)
                    self.judge(case, folder)

    def test_tables_that_hide_the_entry_from_the_loader_are_named_and_the_start_fails(self):
        # Windows' loader looks the entry up at the host's hint, then by halving the sorted names; the
        # dynamic linker through its hash table, and every name through DT_STRTAB.
        sound = os.path.join(BIN, HOOK_LIBRARY)
        cases = [(self.broken("four_exports"), "export names out of order", "its export names are out of order")] \
            if WINDOWS else [(sound, "GNU hash bloom zeroed", "bloom filter rules the name out"),
                             (sound, "no DT_STRTAB", "it has no string table (DT_STRTAB)")]
        for path, case, said in cases:
            with self.subTest(case=case):
                folder = self.case(path, case)
                self.check(folder, [self.library_path(folder) + " is damaged", said], ["ended before its"], start=42)
        # In order, the same library's entry is found.
        self.assertEqual(hook_check(platform_path(self.placed(self.broken("four_exports")))).returncode, 0)

    def test_names_from_an_image_are_shown_escaped_and_a_long_one_cut(self):
        folder = self.case(os.path.join(BIN, HOOK_LIBRARY), "odd names imported" if WINDOWS else "odd names needed")
        extension = ".dll" if WINDOWS else ".so"
        lines = self.check(folder, [r"imports \x1b[31mred" + extension + ", which is neither"],
                           ["imports " + "n" * 200 + "... (%d bytes), which is neither" % (5000 + len(extension))])
        self.assertNotIn("\x1b", "".join(lines))
        self.assertLess(max(len(line) for line in lines), 1000)

    def test_images_made_to_cost_the_most_are_checked_within_a_second_and_64_mb(self):
        # Each 3 MB or less: 200,000 exported names or 100,000 needed libraries naming one long name,
        # each read once (Windows: 240,000 short names too, kept once by place and text); 37,400 empty segments and a hash chain that loops, each address found by a
        # halving and the chain walked no further than its table; the library needing itself thousands
        # of times under other spellings (on Windows in other cases too), read once by what it is;
        # 104,000 missing libraries (the dynamic linker ended at its bound; Windows: 40,000, or 50,000
        # functions that its KERNEL32.dll lacks, or 250,000 imported by ordinal, each kept in 16 bytes, a
        # hundred said and the rest counted, each folder listed once); sections as many as a PE image's
        # headers hold, each found by a halving; 40,000 symbols of one long name, each copy of it counted
        # against the names' budget; 60,000 required versions of one chain, which the linker refuses; 20
        # missing libraries and a RUNPATH of up to 1,900,000 parts, each its working folder or $ORIGIN;
        # Windows: 240,000 imports of one function forwarded through 16 libraries beside the host, or to a
        # forwarder of 1 MB, or from a library of a 1 MB name, each forwarder followed and each name
        # copied once, not once an import.
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            data = sound.read()
        name = HOOK_LIBRARY.encode()
        # The dynamic linker judges the images that hook_check finds sound within its bounds: it runs out
        # of the memory it may take for the long name, or is ended for 104,000 missing libraries.
        shapes = [("one long name", 1, "exports no SetTeskShellHook" if WINDOWS else "the dynamic linker",
                   lambda: damaged_images.pe_exporting(data, 200000, 1000000) if WINDOWS else
                   damaged_images.elf_needing(data, [b"n" * 500000] * 100000))]
        if WINDOWS:
            spelt = damaged_images.spellings(HOOK_LIBRARY, 20000)
            shapes += [
                ("240,000 names each of its own", 1, "exports no SetTeskShellHook",
                 lambda: damaged_images.pe_exporting(data, 240000, 1, apart=True)),
                ("imported under 20,000 spellings", 0, "no problem found",
                 lambda: damaged_images.pe_importing_more(data, [(spelling, [b"SetTeskShellHook"]) for spelling in spelt])),
                ("50,000 missing functions", 1, "... and 49900 more problems, not shown",
                 lambda: damaged_images.pe_importing_more(
                     data, [(b"KERNEL32.dll", [b"NoSuchFunction%05d" % i for i in range(50000)])])),
                ("250,000 functions by ordinal", 1, "more problems, not shown",
                 lambda: damaged_images.pe_importing_more(
                     data, [(library, list(range(1, 50001))) for library in
                            (b"KERNEL32.dll", b"USER32.dll", b"msvcrt.dll", b"GDI32.dll", b"ADVAPI32.dll")],
                     lookup=False)),
                ("125,000 functions of one long name", 1, "take more than the",
                 lambda: damaged_images.pe_importing_more(data, [(b"KERNEL32.dll", [b"n" * 1000000] * 125000)],
                                                          lookup=False)),
                ("40,000 missing libraries", 1, "... and 39900 more problems, not shown",
                 lambda: damaged_images.pe_importing_more(data, [(b"gone%05d.dll" % i, []) for i in range(40000)])),
                ("sections up to its first page", 0, "no problem found", lambda: damaged_images.pe_sectioned(data)),
                ("240,000 imports forwarded through 16 libraries", 0, "no problem found",
                 lambda: (damaged_images.pe_importing_more(data, [(b"fw00.dll", [b"F"] * 240000)], lookup=False),
                          {"fw%02d.dll" % i: damaged_images.pe_forwarding(
                              data, [(b"F", b"fw%02d.F" % (i + 1) if i < 15 else b"KERNEL32.GetTickCount")])
                           for i in range(16)})),
                ("240,000 imports of a 1 MB forwarder", 1, "more problems, not shown",
                 lambda: (damaged_images.pe_importing_more(data, [(b"far.dll", [b"F"] * 240000)], lookup=False),
                          {"far.dll": damaged_images.pe_forwarding(data, [(b"F", b"n" * 1000000 + b".F")])})),
                ("240,000 imports from a library of a 1 MB name", 1, "(1000004 bytes), which is neither",
                 lambda: damaged_images.pe_importing_more(data, [(b"n" * 1000000 + b".dll", [1] * 240000)],
                                                          lookup=False)),
            ]
        else:
            missing = [b"gone%02d.so" % i for i in range(20)]
            shapes += [
                ("segments and a looping chain", 1, "chain for the name loops",
                 lambda: damaged_images.elf_many_segments(data, 37400)),
                ("279 KB of its own spellings", 0, "no problem found",
                 lambda: damaged_images.elf_self_spellings(data, name, 279000)),
                # The dynamic linker takes 0.2 to 0.5 s of its time on this one, at its bound on a loaded
                # machine: its verdict, or the word that it was ended before one, both in time.
                ("578 KB of its own spellings", (0, 1), ("no problem found", "took more than 500 ms of its time"),
                 lambda: damaged_images.elf_self_spellings(data, name, 578000)),
                ("104,000 missing", 1, "took more than 500 ms of its time",
                 lambda: damaged_images.elf_needing(data, [b"%x" % i for i in range(104000)])),
                ("40,000 symbols of one long name", 1, "take more than the",
                 lambda: damaged_images.elf_symbols_naming(data, 40000, 1000000)),
                ("60,000 required versions of one chain", 1, "Inconsistency detected by ld.so",
                 lambda: damaged_images.elf_needing_versions_of_one_chain(data, 60000, 65535)),
                ("a RUNPATH of 1,000,000 colons", 1, "imports gone19.so",
                 lambda: damaged_images.elf_needing(data, missing, runpath=b":" * 1000000)),
                ("a RUNPATH of 1,900,000 colons", 1, "imports gone19.so",
                 lambda: damaged_images.elf_needing(data, missing, runpath=b":" * 1900000)),
                ("$ORIGIN 140,000 times", 1, "imports gone19.so",
                 lambda: damaged_images.elf_needing(data, missing, runpath=b":".join([b"$ORIGIN"] * 140000))),
            ]
        for shape, status, said, build in shapes:
            with self.subTest(shape=shape):
                # The library alone, or with the files to place beside it, by name.
                built = build()
                folder = self.placed_data(built[0] if isinstance(built, tuple) else built)
                for name, content in (built[1] if isinstance(built, tuple) else {}).items():
                    with open(os.path.join(folder, name), "wb") as beside:
                        beside.write(content)
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                result = hook_check(platform_path(folder), limit_data=not SANITIZED)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                # One verdict, or (a shape at the dynamic linker's bound) the one of either that came.
                verdicts = list(zip(status, said)) if isinstance(status, tuple) else [(status, said)]
                self.assertIn(result.returncode, [verdict[0] for verdict in verdicts],
                              result.stdout[-2000:] + result.stderr)
                self.assertIn(dict(verdicts)[result.returncode], result.stdout)
                self.assertLessEqual(len(result.stdout.splitlines()), 101)
                # Its own time, not the machine's: a loaded machine stretches the wall clock. Wine's
                # start, and a sanitizer's checks, take more of it.
                took = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
                self.assertLess(took, 3 * SLOW if WINDOWS or SANITIZED else 1, shape)

    @unittest.skipIf(WINDOWS or SANITIZED, "a limit on the data of this machine's programs")
    def test_running_out_of_memory_is_said_with_its_own_status(self):
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            folder = self.placed_data(damaged_images.elf_needing(sound.read(), [b"%x" % i for i in range(104000)]))
        result = hook_check(platform_path(folder), limit_data=8 << 20)
        self.assertEqual((result.returncode, result.stderr),
                         (3, "hook_check: ran out of memory, and could not finish the check\n"))

    @unittest.skipIf(WINDOWS, "SIGBUS, for a file cut while it is mapped, is this machine's")
    def test_a_library_rewritten_while_it_is_read_is_never_a_crash(self):
        # A build cuts the library and writes it anew, again and again, while hook_check reads its 8 MB
        # of dynamic entries (half a million needing one library): each check ends by itself, with a
        # verdict or the word that the file changed.
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            data = damaged_images.elf_needing(sound.read(), [b"libhook_check_absent.so"] * 500000)
        folder = self.placed_data(data)
        done = threading.Event()

        def rebuild():
            with open(os.path.join(folder, HOOK_LIBRARY), "r+b") as library:
                while not done.is_set():
                    library.truncate(0)
                    library.seek(0)
                    library.write(data)
                    library.flush()

        writer = threading.Thread(target=rebuild)
        writer.start()
        self.addCleanup(writer.join)
        self.addCleanup(done.set)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            result = hook_check(platform_path(folder))
            self.assertIn(result.returncode, (0, 1), result.stdout + result.stderr)
            self.assertNotEqual(result.stdout, "")

    def test_a_missing_import_is_not_hidden_by_a_bent_size_or_section_table(self):
        # The loader ignores the import directory's size, and the dynamic linker the section headers.
        hiding = ("IMPORT Size 0x13", "type bent")
        for case, data in self.cases(self.broken("missing_import")):
            if any(word in case for word in hiding):
                with self.subTest(case=case):
                    folder = self.placed()
                    with open(os.path.join(folder, HOOK_LIBRARY), "wb") as damaged:
                        damaged.write(data)
                    self.check(folder, ["libhook_check_gone", "neither beside the host"])

    @unittest.skipIf(WINDOWS, "ELF section headers")
    def test_many_section_headers_naming_one_large_symbol_table_take_little_time(self):
        # Padding of defined global symbols, and section headers that each name all of it as the
        # dynamic symbol table: reading each would cost the square of the file.
        with open(os.path.join(BIN, HOOK_LIBRARY), "rb") as sound:
            data = bytearray(sound.read())
        for size, count in ((1 << 20, 4096),):
            with self.subTest(size=size):
                padded = data + struct.pack("<IBBHQQ", 1, 0x12, 0, 1, 0, 0) * ((size - len(data)) // 24)
                table = len(padded)
                padded += struct.pack("<IIQQQQIIQQ", 0, 11, 2, 0, 0, len(padded), 0, 0, 8, 24) * count
                struct.pack_into("<Q", padded, 0x28, table)
                struct.pack_into("<HHH", padded, 0x3A, 64, count, 0)
                folder = self.placed(library=None)
                with open(os.path.join(folder, HOOK_LIBRARY), "wb") as library:
                    library.write(padded)
                began = time.monotonic()
                result = hook_check(platform_path(folder))
                self.assertLess(time.monotonic() - began, 10)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
