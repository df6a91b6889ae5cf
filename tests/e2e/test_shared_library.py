"""hook_control as a shared library, for controllers in any language: its image exports the header's
calls and needs nothing but the system, a program loads it by name, and the Python and C# bindings
drive the host through it.

Set by the build, besides what the controller module reads: HOOK_HOST_MONO, the mono that runs the
C# binding's controller (where the bindings are tested); HOOK_HOST_BUILD, the build folder, where the
Linux wheel is; HOOK_HOST_VERSION, HOOK_HOST_LICENSE and HOOK_HOST_SOURCE_DATE_EPOCH, what the wheel
is built with; CMAKE_COMMAND.
"""
import filecmp
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import zipfile

import images
from controller import ARCHITECTURE, CLOSE_SEEN_WITHIN_MS, CONTROL_BIN, RUN, SLOW, WINDOWS, Host, exit_status, \
    platform_path, read_line, signed32
from processes import TestCase
from test_control import HOST, assert_ends, has_ended, traced

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BINDINGS = os.path.join(SOURCE, "bindings")
LIBRARY = "hook_control.dll" if WINDOWS else "libhook_control.so.1"
# What a Windows DLL of ours may import: the system's DLLs and the C runtime that the host uses.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
# Statuses that the loader or the system chose, with how StatusText's text of each begins.
TOLD = {-0x3FFFFECB: "the hook library, or a library it needs, was not found",  # STATUS_DLL_NOT_FOUND
        -0x3FFFFFFB: "crashed: an invalid memory access"} if WINDOWS else {  # STATUS_ACCESS_VIOLATION
        127: "the dynamic linker refused the host: ", -9: "killed (SIGKILL)"}


def header_calls():
    """The calls that hook_control.h declares: every declaration at the start of a line."""
    with open(os.path.join(SOURCE, "hook_control", "hook_control.h")) as header:
        return sorted(re.findall(r"^(?!#|typedef|extern)[A-Za-z_][^;{(]*?\b(hook_\w+)\s*\(", header.read(), re.M))


def library_exports():
    """The calls the shared library exports, read from its image on Linux and from its .def on Windows."""
    if WINDOWS:
        with open(os.path.join(os.environ["HOOK_HOST_BUILD"], "hook_control", "hook_control.def")) as listed:
            return sorted(re.findall(r"^\s+(\w+)\s+@\d+", listed.read(), re.M))
    symbols = subprocess.run(["nm", "--dynamic", "--defined-only", os.path.join(CONTROL_BIN, LIBRARY)],
                             capture_output=True, text=True, check=True).stdout
    return sorted(line.split()[-1] for line in symbols.splitlines())


# Each binding's declarations of the library's calls: {binding: (pattern of a declared call's name, the
# calls it leaves out)}. The C# binding watches a host's end with threads of its own runtime: Mono
# waits without limit at its exit for a thread that ran a managed callback, and on Linux the
# library's thread that would call it back lasts while any host it started runs.
DECLARATIONS = {
    "python/hook_control/__init__.py": (r'^\s+\("(\w+)", ', ()),
    "dotnet/HookControl.cs": (r"static extern \S+ (hook_\w+)\(", ("hook_host_unwatch", "hook_host_watch")),
}


class SharedLibrary(TestCase):
    @unittest.skipUnless(WINDOWS, "Windows images")
    def test_the_dll_exports_the_header_by_plain_names_and_imports_only_the_system(self):
        image = images.load(os.path.join(CONTROL_BIN, LIBRARY))
        # x86-64 (or ARM64) and PE32+, or in a 32-bit build x86 and PE32; a DLL, stripped.
        self.assertEqual((image.FILE_HEADER.Machine, image.OPTIONAL_HEADER.Magic), images.MACHINES[ARCHITECTURE])
        self.assertTrue(image.is_dll())
        self.assertEqual(image.FILE_HEADER.NumberOfSymbols, 0)
        # 32-bit names too without a leading underscore or @N: GetProcAddress finds them as the header names them.
        self.assertEqual(sorted(s.name.decode() for s in image.DIRECTORY_ENTRY_EXPORT.symbols), header_calls())
        self.assertEqual(image.DIRECTORY_ENTRY_EXPORT.name, LIBRARY.encode())
        imported = {name.lower() for name in images.imports(image)}
        self.assertLessEqual(imported, SYSTEM_DLLS, "no C++ runtime, libgcc or winpthread DLL")
        self.assertLessEqual({"kernel32.dll", "user32.dll", "msvcrt.dll"}, imported)
        _, _, strings = images.version_info(image)
        self.assertEqual(strings["OriginalFilename"], LIBRARY)

    @unittest.skipUnless(WINDOWS, "Windows images")
    def test_the_def_file_beside_the_import_library_lists_the_same_exports(self):
        self.assertEqual(library_exports(), header_calls())

    @unittest.skipIf(WINDOWS, "an image of Linux")
    def test_the_library_has_its_soname_and_exports_the_header_only(self):
        path = os.path.join(CONTROL_BIN, LIBRARY)
        dynamic = subprocess.run(["readelf", "--dynamic", path], capture_output=True, text=True, check=True).stdout
        self.assertIn("Library soname: [libhook_control.so.1]", dynamic)
        self.assertEqual(os.readlink(os.path.join(CONTROL_BIN, "libhook_control.so")), LIBRARY)
        self.assertEqual(library_exports(), header_calls())

    def test_each_binding_declares_every_call_the_library_exports(self):
        exported = library_exports()
        self.assertIn("hook_host_status_text", exported)
        for binding, (declaration, left_out) in DECLARATIONS.items():
            with self.subTest(binding=binding), open(os.path.join(BINDINGS, binding)) as text:
                declared = sorted(re.findall(declaration, text.read(), re.M))
                self.assertEqual(declared, [call for call in exported if call not in left_out])

    @unittest.skipUnless(WINDOWS, "LoadLibraryW and GetProcAddress")
    def test_a_program_loads_the_dll_by_name_alone_beside_it_and_drives_the_host(self):
        with tempfile.TemporaryDirectory() as folder:
            for name in ("load_by_name.exe", LIBRARY):
                shutil.copy(os.path.join(CONTROL_BIN, name), folder)
            result = subprocess.run(RUN + [os.path.join(folder, "load_by_name.exe"), platform_path(HOST), "7"],
                                    cwd=folder, stdin=subprocess.DEVNULL, capture_output=True, timeout=60 * SLOW)
        version = os.environ["HOOK_HOST_VERSION"].split(".")
        self.assertEqual((result.returncode, result.stdout.decode().splitlines()), (0, [
            "version 0x%02x%02x%02x" % tuple(int(n) for n in version), "reported 42, ended with 7"]), result.stderr)


class BindingController:
    """A binding's test controller, asked one command a line; every answer is a word and a text."""

    def __init__(self, test, command, base=None, **environment):
        self.test = test
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=dict(os.environ if base is None else base, **environment),
                                        cwd=tempfile.gettempdir())
        test.addCleanup(self.end)

    def ask(self, command):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        answer = read_line(self.test, self.process.stdout, 30).decode().rstrip("\r\n").split(" ", 1)
        return answer + [""] * (2 - len(answer))

    def expect(self, command, answer):
        self.test.assertEqual(" ".join(self.ask(command)).strip(), answer, command)

    def start(self, *args, path=HOST):
        word, text = self.ask(" ".join(["start", path] + [str(a) for a in args]))
        self.test.assertEqual(word, "ok", text)
        return int(text)

    def started(self, *flags):
        """Starts a host with 1 and waits for its report; its pid."""
        pid = self.start(1, *flags)
        self.expect("report 10", "ok 1")
        return pid

    def end(self):
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


class Binding:
    """What each binding does with the host on every platform, the same for both, through its test
    controller."""

    def controller(self):
        raise NotImplementedError

    def test_start_report_close_and_the_status_read_back(self):
        # On Windows a status keeps its 32 bits, read as signed; on Linux its low 8 bits.
        for status in (7, 4294967295):
            seen = signed32(status) if WINDOWS else status & 0xFF
            host = self.controller()
            host.start(42)
            host.expect("report 10", "ok 42")
            host.expect("close %d" % status, "ok")
            host.expect("wait none", "ok %d" % seen)
            host.expect("wait 0", "ok %d" % seen)

    def test_a_status_that_the_loader_or_a_signal_chose_is_told_and_one_a_close_chose_is_not(self):
        controller = self.controller()
        for status, told in TOLD.items():
            word, text = controller.ask("text %d" % status)
            self.assertEqual(word, "ok")
            self.assertTrue(text.startswith(told), text)
        controller.expect("text 7", "ok")

    def test_a_host_ends_when_released_and_when_collected_but_not_if_it_outlives(self):
        controller = self.controller()
        for release in ("release", "drop"):
            with self.subTest(release=release):
                pid = controller.started()
                controller.expect(release, "ok")
                assert_ends(self, pid)
                if release == "release":
                    self.assertEqual(controller.ask("pid")[0], "invalid", "a released host is refused")
        pid = controller.started("outlive")
        controller.expect("release", "ok")
        self.assertFalse(has_ended(self, pid))
        controller.expect("post %d 16 0 0" % pid, "ok")
        assert_ends(self, pid)

    def test_an_asynchronous_wait_leaves_the_caller_free_survives_its_cancellation_and_learns_of_a_close(self):
        controller = self.controller()
        controller.started()
        self.assertEqual(controller.ask("wait-async 0.3")[0], "timeout")
        self.assertEqual(controller.ask("wait 0")[0], "timeout", "the host runs on")
        word, text = controller.ask("close-async 5")
        self.assertEqual(word, "ok", text)
        status, took, ticks = (int(value) for value in text.split())
        self.assertEqual(status, 5)
        self.assertLess(took, CLOSE_SEEN_WITHIN_MS, "ms from the close's post")
        self.assertGreaterEqual(ticks, 2, "the caller's own work ran while it waited")
        controller.expect("wait-async 10", "ok 5")
        controller.expect("wait 0", "ok 5")

    def test_a_release_ends_an_asynchronous_wait_and_a_host_that_does_not_outlive(self):
        for flags in ((), ("outlive",)):
            with self.subTest(flags=flags):
                controller = self.controller()
                pid = controller.started(*flags)
                self.assertEqual(controller.ask("release-while-waiting")[0], "invalid")
                if flags:
                    self.assertFalse(has_ended(self, pid))
                    controller.expect("post %d 16 0 0" % pid, "ok")
                assert_ends(self, pid)


class LinuxBinding(Binding):
    """What each binding does with the host on Linux, where both are tested."""

    def test_the_pid_is_the_hosts(self):
        record = tempfile.NamedTemporaryFile(prefix="hook_record.", delete=False).name
        self.addCleanup(os.unlink, record)
        controller = self.controller(TESK_STAND_IN_RECORD=record)
        pid = controller.start(3)
        controller.expect("report 10", "ok 3")
        controller.expect("pid", "ok %d" % pid)
        controller.expect("close 0", "ok")
        controller.expect("wait 10", "ok 0")
        with open(record) as calls:
            self.assertEqual(calls.read().split()[2], str(pid))

    def test_time_runs_out_for_a_report_and_for_an_end(self):
        controller = self.controller()
        controller.start(30, path="/bin/sleep")  # writes nothing, ends in 30 s
        self.assertEqual(controller.ask("report 0.3")[0], "timeout")
        controller.started()
        self.assertEqual(controller.ask("wait 0.3")[0], "timeout")
        controller.expect("close 2", "ok")
        controller.expect("wait 10", "ok 2")

    def test_a_host_without_its_hook_library_is_gone_and_gives_the_loaders_status(self):
        with tempfile.TemporaryDirectory() as folder:
            alone = shutil.copy(HOST, folder)
            controller = self.controller()
            controller.start(42, path=alone)
            self.assertEqual(controller.ask("report 10")[0], "gone")
            self.assertEqual(controller.ask("close 1")[0], "gone")
            controller.expect("wait 10", "ok 127")

    def test_a_post_by_process_id_ends_another_host_and_finds_no_process_that_has_ended(self):
        other = Host(self, "5")
        self.assertEqual(other.read_line(), b"Adding hook for 5\n")
        controller = self.controller()
        controller.expect("post %d 1024 1 2" % other.pid(), "ok")  # WM_USER: dropped
        controller.expect("post %d 16 0x123456780000000b 0" % other.pid(), "ok")
        self.assertEqual(other.wait(), exit_status(11))
        self.assertEqual(controller.ask("post %d 16 0 0" % other.pid())[0], "gone")

    def test_a_failure_says_what_and_why(self):
        controller = self.controller()
        self.assertEqual(controller.ask("start /no/such/hook_host 1"),
                         ["failed", "cannot start /no/such/hook_host: cannot enter its folder: No such file or directory"])
        word, text = controller.ask("post %d 16 0 0" % os.getpid())
        self.assertEqual(word, "failed")
        self.assertTrue(text.startswith("cannot post to process %d: not a hook host" % os.getpid()), text)

    def test_an_asynchronous_wait_learns_of_an_end_nobody_asked_for(self):
        controller = self.controller()
        pid = controller.started()
        os.kill(pid, signal.SIGKILL)
        controller.expect("wait-async 10", "ok -9")

    def test_an_asynchronous_wait_is_told_once_a_tracer_lets_go_of_the_end_and_the_caller_runs_meanwhile(self):
        controller = self.controller()
        pid = controller.started()
        traced(self, pid, 2)
        word, text = controller.ask("close-async 6")
        self.assertEqual(word, "ok", text)
        status, took, ticks = (int(value) for value in text.split())
        self.assertEqual(status, 6)
        self.assertGreater(took, 1500, "told once the tracer has taken the end")
        self.assertGreater(ticks, took / 10 / 2, "the caller's own work ran while the tracer held the end")

    def test_hosts_waited_for_at_once_need_no_thread_each(self):
        controller = self.controller()
        word, text = controller.ask("watch-many %s 5" % HOST)
        self.assertEqual(word, "ok", text)
        *statuses, threads = (int(value) for value in text.split())
        self.assertEqual(statuses, [1, 2, 3, 4, 5])
        self.assertLessEqual(threads, 1, "at most the one that watches them all")
        controller.process.stdin.close()  # no thread that watched them holds up the exit
        self.assertEqual(controller.process.wait(5 * SLOW), 0)


@unittest.skipIf(WINDOWS, "the bindings are tested here")
class Python(LinuxBinding, TestCase):
    def controller(self, **environment):
        return BindingController(
            self, [sys.executable, os.path.join(SOURCE, "tests", "controller", "binding_controller.py")],
            PYTHONPATH=os.path.join(BINDINGS, "python"), HOOK_CONTROL_LIBRARY=os.path.join(CONTROL_BIN, LIBRARY),
            **environment)

    def test_more_hosts_awaited_at_once_than_an_executor_has_threads_need_none(self):
        word, text = self.controller().ask("watch-many %s 40" % HOST)
        self.assertEqual(word, "ok", text)
        self.assertEqual([int(value) for value in text.split()][:-1], list(range(1, 41)))

    def test_two_loops_await_one_host_at_once_and_both_learn_its_status(self):
        controller = self.controller()
        controller.started()
        controller.expect("wait-async-twice 4", "ok 4 4")

    def test_a_wait_left_in_a_closed_loop_holds_up_neither_the_end_nor_the_exit(self):
        controller = self.controller()
        controller.started()
        controller.expect("abandon-wait", "ok")
        controller.expect("close 3", "ok")  # its end is told to a loop that is closed
        controller.expect("wait 10", "ok 3")
        controller.start(1)
        controller.expect("abandon-wait", "ok")  # still waiting at the exit
        controller.process.stdin.close()
        self.assertEqual(controller.process.wait(5 * SLOW), 0)
        said = controller.process.stderr.read().decode()  # asyncio's own word on a task left pending, and no more
        self.assertEqual(said.count("Task was destroyed but it is pending!"), 2, said)
        self.assertNotIn("Exception", said)
        self.assertNotIn("Traceback", said)

    def test_hosts_collected_in_reference_cycles_while_others_are_awaited_and_released_hold_nothing_up(self):
        # The collector may run a Host's finalizer at any allocation, within the binding's own calls:
        # an answer within the controller's time is the proof that nothing there waited.
        self.controller().expect("collect-cycles %s 300" % HOST, "ok")

    def test_a_release_on_one_thread_while_another_awaits_the_host_ends_the_wait_and_nothing_else(self):
        self.controller().expect("release-racing-waits %s 200" % HOST, "ok 200")

    @unittest.skipIf(WINDOWS, "fork is POSIX's")
    def test_a_forked_child_that_exits_ends_nothing_of_its_parents_host(self):
        controller = self.controller()
        pid = controller.started()
        word, text = controller.ask("fork-release")
        self.assertEqual(word, "failed", "the child may not wait for its parent's host")
        self.assertIn("may only release it, which ends nothing", text)
        self.assertEqual(controller.ask("wait 0.3")[0], "timeout", "the host runs on")
        controller.expect("close 2", "ok")
        controller.expect("wait 10", "ok 2")

    def test_a_status_may_be_given_as_a_negative_32_bit_number_and_nothing_wider(self):
        controller = self.controller()
        self.assertEqual(controller.ask("start %s %d" % (HOST, 2 ** 31))[0], "invalid")
        controller.start(1)
        for status in (-2 ** 31 - 1, 2 ** 32):
            self.assertEqual(controller.ask("close %d" % status)[0], "invalid", status)
        self.assertEqual(controller.ask("wait -1")[0], "invalid")
        controller.expect("close -2", "ok")
        controller.expect("wait none", "ok 254")

    def imported(self, folder, **environment):
        """What `import hook_control` says in a fresh interpreter whose path starts with `folder`."""
        ours = {name: value for name, value in os.environ.items() if name != "HOOK_CONTROL_LIBRARY"}
        return subprocess.run([sys.executable, "-c", "import hook_control; print(hook_control._library._name)"],
                              env=dict(ours, PYTHONPATH=folder, **environment), cwd=tempfile.gettempdir(),
                              capture_output=True, text=True)

    def test_the_single_file_finds_the_library_beside_it_or_where_the_environment_names_it(self):
        with tempfile.TemporaryDirectory() as folder:
            # The package's module, copied as the one file hook_control.py.
            shutil.copy(os.path.join(BINDINGS, "python", "hook_control", "__init__.py"),
                        os.path.join(folder, "hook_control.py"))
            self.assertIn("cannot load the library: tried %s (no such file), then %s by the platform's search: %s" % (
                os.path.join(folder, LIBRARY), LIBRARY, LIBRARY), self.imported(folder).stderr,
                "both files tried are named, and the loader's reason")
            shutil.copy(os.path.join(CONTROL_BIN, LIBRARY), folder)
            self.assertEqual(self.imported(folder).stdout, os.path.join(folder, LIBRARY) + "\n")
            named = os.path.join(folder, "elsewhere.so")
            self.assertIn("cannot load the library: tried %s: " % named,
                          self.imported(folder, HOOK_CONTROL_LIBRARY=named).stderr)
            os.rename(os.path.join(folder, LIBRARY), named)
            self.assertEqual(self.imported(folder, HOOK_CONTROL_LIBRARY=named).stdout, named + "\n")


def build_wheel(test, library, platform, output):
    """Builds the wheel of `platform` carrying `library` into `output`, as the build does."""
    work = tempfile.mkdtemp(prefix="hook_control_wheel.")
    test.addCleanup(shutil.rmtree, work)
    result = subprocess.run([os.environ["CMAKE_COMMAND"], "-DPYTHON=" + sys.executable, "-DSOURCE=" + SOURCE,
                             "-DLIBRARY=" + library, "-DPLATFORM=" + platform,
                             "-DVERSION=" + os.environ["HOOK_HOST_VERSION"], "-DLICENSE=" + os.environ["HOOK_HOST_LICENSE"],
                             "-DSOURCE_DATE_EPOCH=" + os.environ["HOOK_HOST_SOURCE_DATE_EPOCH"], "-DWORK=" + work,
                             "-DOUTPUT=" + output, "-P", os.path.join(SOURCE, "cmake", "PythonWheel.cmake")],
                            capture_output=True, text=True)
    test.assertEqual(result.returncode, 0, result.stdout + result.stderr)
    return os.path.join(output, "hook_control-%s-py3-none-%s.whl" % (os.environ["HOOK_HOST_VERSION"], platform))


def check_wheel(test, wheel, platform, library):
    """A wheel holds the package, its module the binding's one file and `library` beside it, is tagged
    for `platform`, and twine finds nothing wrong with it."""
    name = os.path.basename(library)
    info = "hook_control-%s.dist-info/" % os.environ["HOOK_HOST_VERSION"]
    with zipfile.ZipFile(wheel) as files:
        test.assertEqual(sorted(files.namelist()), sorted(
            ["hook_control/__init__.py", "hook_control/" + name] +
            [info + n for n in ("METADATA", "RECORD", "WHEEL", "top_level.txt")]))
        with open(os.path.join(BINDINGS, "python", "hook_control", "__init__.py"), "rb") as module:
            test.assertEqual(files.read("hook_control/__init__.py"), module.read())
        with open(library, "rb") as carried:
            test.assertEqual(files.read("hook_control/" + name), carried.read())
        test.assertIn("\nTag: py3-none-%s\n" % platform, files.read(info + "WHEEL").decode())
        test.assertIn("\nRoot-Is-Purelib: false\n", files.read(info + "WHEEL").decode())
    result = subprocess.run(["twine", "check", "--strict", wheel], capture_output=True, text=True)
    test.assertEqual(result.returncode, 0, result.stdout + result.stderr)


WHEEL = os.path.join(os.environ["HOOK_HOST_BUILD"], "hook_control-%s-py3-none-linux_x86_64.whl" %
                     os.environ["HOOK_HOST_VERSION"])


@unittest.skipIf(WINDOWS, "the Linux wheel")
class Wheel(LinuxBinding, TestCase):
    """The Linux wheel, installed offline into a fresh virtual environment, whose Python runs the
    controller with no path or variable that names the binding or its library."""

    @classmethod
    def setUpClass(cls):
        cls.venv = tempfile.mkdtemp(prefix="hook_control_venv.")
        cls.python = os.path.join(cls.venv, "bin", "python")
        for command in ([sys.executable, "-m", "venv", cls.venv],
                        [cls.python, "-m", "pip", "install", "--no-index", "--no-cache-dir", WHEEL]):
            result = subprocess.run(command, capture_output=True, text=True, env=cls.environment())
            if result.returncode:
                shutil.rmtree(cls.venv)
                raise AssertionError("%s failed: %s%s" % (command, result.stdout, result.stderr))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.venv)

    @staticmethod
    def environment():
        return {name: value for name, value in os.environ.items()
                if name not in ("PYTHONPATH", "HOOK_CONTROL_LIBRARY", "LD_LIBRARY_PATH")}

    def controller(self, **environment):
        return BindingController(self, [self.python, os.path.join(SOURCE, "tests", "controller", "binding_controller.py")],
                                 base=self.environment(), **environment)

    def test_the_installed_package_loads_the_library_it_carries(self):
        result = subprocess.run([self.python, "-c", "import hook_control; print(hook_control._library._name)"],
                                env=self.environment(), cwd=tempfile.gettempdir(), capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith(self.venv), result.stdout)
        self.assertTrue(result.stdout.endswith("/site-packages/hook_control/" + LIBRARY + "\n"), result.stdout)

    def test_the_wheel_holds_the_binding_and_the_library_and_is_the_same_built_again_elsewhere(self):
        library = os.path.join(CONTROL_BIN, LIBRARY)
        check_wheel(self, WHEEL, "linux_x86_64", library)
        output = tempfile.mkdtemp(prefix="hook_control_wheels.")
        self.addCleanup(shutil.rmtree, output)
        self.assertTrue(filecmp.cmp(build_wheel(self, library, "linux_x86_64", output), WHEEL, shallow=False))


class CSharp:
    """What the C# binding keeps to, on any runtime: its Exited event and asynchronous wait, and what
    a .NET program expects of a process's object."""

    def test_the_end_is_told_by_properties_timeouts_and_tokens_as_dotnet_tells_a_process(self):
        controller = self.controller()
        controller.started()
        controller.expect("exited", "ok False")
        self.assertEqual(controller.ask("exit-code")[0], "invalid", "no status before the end")
        for cancelled in ("wait-async 0.3", "wait-async 0.3 token"):
            self.assertEqual(controller.ask(cancelled)[0], "timeout", cancelled)
        controller.expect("close -2", "ok")
        status = -2 if WINDOWS else 254
        controller.expect("wait-async 10", "ok %d" % status)
        controller.expect("exited", "ok True")
        controller.expect("exit-code", "ok %d" % status)

    def test_a_missing_host_gives_the_systems_code_and_a_disposed_one_is_named(self):
        folder = tempfile.mkdtemp(prefix="hook_control_missing.")
        self.addCleanup(shutil.rmtree, folder)
        controller = self.controller()
        self.assertEqual(controller.ask("start %s 1" % platform_path(os.path.join(folder, "hook_host.exe")))[0],
                         "failed")
        controller.expect("code", "ok 2")  # ERROR_FILE_NOT_FOUND, ENOENT
        controller.started()
        controller.expect("release", "ok")
        for call in ("pid", "report 1", "exited", "wait-async 1"):
            word, text = controller.ask(call)
            self.assertEqual(word, "invalid", call)
            self.assertTrue(text.startswith("ObjectDisposedException") and "Host" in text, text)

    def test_exited_is_raised_once_for_a_handler_added_before_the_end_and_once_for_one_added_after(self):
        controller = self.controller()
        controller.started()
        controller.expect("handler", "ok 1")
        controller.expect("handled 0.3", "ok")  # not while the host runs
        self.assertEqual(controller.ask("close-async 6")[0], "ok")
        controller.expect("handler", "ok 2")
        self.assertEqual(sorted(controller.ask("handled 0.5")[1].split()), ["1:6:pool", "2:6:pool"])

    def test_a_disposed_host_raises_no_exited(self):
        controller = self.controller()
        pid = controller.started()
        controller.expect("handler", "ok 1")
        controller.expect("release", "ok")
        assert_ends(self, pid)
        controller.expect("handled 0.3", "ok")

    def test_dispose_waits_for_a_handler_under_way_and_no_handler_is_called_once_it_has_returned(self):
        controller = self.controller()
        controller.started()
        controller.expect("handler slow", "ok 1")
        controller.expect("handler", "ok 2")
        controller.expect("close 5", "ok")
        controller.expect("release-while-handling", "ok 1:5:pool")
        controller.expect("handled 0.3", "ok 1:5:pool")
        # A handler may dispose its own host: that Dispose does not wait for it.
        controller.started()
        controller.expect("handler dispose", "ok 3")
        controller.expect("handler", "ok 4")
        controller.expect("close 6", "ok")
        controller.expect("handled 0.5", "ok 1:5:pool 3:6:pool")

    def test_a_continuation_of_the_asynchronous_wait_may_wait_for_exited(self):
        controller = self.controller()
        controller.started()
        controller.expect("await-exited 4", "ok 4")

    def test_exited_is_raised_before_the_awaited_end_lets_using_dispose_the_host(self):
        # A race that the await's continuation won most times: enough rounds that it shows.
        rounds = 10
        controller = self.controller()
        controller.expect("exited-before-using-ends %s %d" % (platform_path(HOST), rounds), "ok %d 0" % rounds)

    def test_every_handler_is_called_before_a_throwing_ones_exception_ends_the_process(self):
        controller = self.controller()
        controller.started()
        controller.expect("handler throw", "ok 1")
        controller.expect("handler", "ok 2")
        controller.expect("close 3", "ok")
        self.assertEqual(read_line(self, controller.process.stdout, 30).rstrip(),
                         b"unhandled InvalidOperationException 1:3:pool 2:3:pool")
        self.assertNotEqual(controller.process.wait(30 * SLOW), 0)


@unittest.skipIf(WINDOWS, "the bindings are tested here")
class DotNet(LinuxBinding, CSharp, TestCase):
    def controller(self, **environment):
        # Placed as an application places it: the program, and the library beside it under the name that
        # DllImport("hook_control") looks for.
        folder = tempfile.mkdtemp(prefix="hook_control_dotnet.")
        self.addCleanup(shutil.rmtree, folder)
        shutil.copy(os.path.join(CONTROL_BIN, "binding_controller.exe"), folder)
        shutil.copy(os.path.join(CONTROL_BIN, LIBRARY), folder)
        os.symlink(LIBRARY, os.path.join(folder, "libhook_control.so"))
        return BindingController(self, [os.environ["HOOK_HOST_MONO"], os.path.join(folder, "binding_controller.exe")],
                                 **environment)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
