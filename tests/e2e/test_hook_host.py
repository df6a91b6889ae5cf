"""End-to-end tests: the built host, stand-in hook library and close tool, run as a controller would.
The groups about the host run against either host, hook_host or hook_host32, as the build sets them."""
import os
import pwd
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

import images
from controller import (ARCHITECTURE, ARM64_BUILD, BIN, CONTROL_BIN, EXE, HOOK_LIBRARY, HOST, HOST32, HOST_NAME,
                        NEWLINE, OTHER_BIN, OTHER_HOOK_LIBRARY, POINTER_BYTES, WINDOWS, WM_CLOSE, WM_QUIT, WM_USER,
                        X64_BUILD, Host, close_tool, datagram, exit_status, queue_address, queue_name, report, signed32)
from processes import TestCase


class CommandLine(TestCase):
    def test_a_wrong_count_ends_at_once_with_minus_one_and_nothing_done(self):
        for args in ([], ["1", "2"], ["1", "2", "3"]):
            host = Host(self, *args)
            self.assertEqual(host.wait(), exit_status(-1), args)
            self.assertEqual(host.process.stdout.read(), b"", args)
            self.assertEqual(host.calls(), [], args)

    def test_numbers_are_read_reported_and_installed_at_the_pointers_width_with_sign(self):
        cases = [("42", 42), ("-7", -7), ("+15", 15), ("  42abc", 42), ("abc", 0), ("", 0),
                 ("2147483647", 2147483647), ("-2147483648", -2147483648),
                 # Saturated, the same on both platforms, where the C runtimes would differ.
                 ("99999999999", 2147483647), ("-99999999999", -2147483648)]
        for text, value in cases:
            with self.subTest(text=text):
                host = Host(self, text)
                self.assertEqual(host.read_line(), report(value))
                bits = 8 * POINTER_BYTES
                self.assertEqual(host.wait_for_call()[:2], (str(value), "%0*x" % (bits // 4, value & (2**bits - 1))))
                host.close(0)
                self.assertEqual(host.wait(), 0)
                self.assertEqual(len(host.calls()), 1, "the library is called once")
                self.assertEqual(host.process.stdout.read(), b"", "one line, nothing more")

    def test_a_report_line_nobody_reads_does_not_stop_the_host(self):
        host = Host(self, "8", stdout_closed=True)
        self.assertEqual(host.wait_for_call()[0], "8")
        host.close(6)
        self.assertEqual(host.wait(), 6)

    def test_wildcards_reach_the_host_as_typed(self):
        # In a folder of several files an expanded "*" would be more than one argument.
        host = Host(self, "*", cwd=BIN)
        self.assertEqual(host.read_line(), report(0))
        host.close(0)
        self.assertEqual(host.wait(), 0)

    @unittest.skipIf(WINDOWS, "on Windows the main thread's id is not the process id")
    def test_the_library_is_called_on_the_main_thread(self):
        host = Host(self, "3")
        _, _, pid, tid = host.wait_for_call()
        self.assertEqual((pid, tid), (str(host.process.pid),) * 2)
        host.close(0)
        self.assertEqual(host.wait(), 0)


class CloseStatus(TestCase):
    def test_the_close_message_decides_the_exit_status(self):
        for wparam, status in [(3, 3), (0, 0), (0xABCD00000005, 5), (0xFFFFFFFF, -1), (-1, -1)]:
            with self.subTest(wparam=wparam):
                host = Host(self, "42")
                host.read_line()
                host.close(wparam)
                self.assertEqual(host.wait(), exit_status(status))

    def test_a_linux_parent_sees_the_low_8_bits_and_under_wine_a_status_without_them_as_1(self):
        for wparam in (0x100, 0x80000000, 0xC0000000):
            with self.subTest(wparam=wparam):
                host = Host(self, "42")
                host.read_line()
                host.close(wparam)
                self.assertEqual(host.wait(), 1 if WINDOWS else 0)

    @unittest.skipUnless(WINDOWS, "a parent on this machine sees only 8 bits of any status")
    def test_a_windows_parent_sees_all_32_bits_of_the_status(self):
        host = Host(self, windows_parent=True)
        self.assertEqual(host.read_line(), b"status=-1" + NEWLINE)
        for wparam, status in [(0xFFFFFFFF, -1), (0x80000000, -2147483648), (0x7654321012345678, 0x12345678)]:
            with self.subTest(wparam=wparam):
                host = Host(self, "42", windows_parent=True)
                self.assertEqual(host.read_line(), report(42))
                host.close(wparam)
                self.assertEqual(host.read_line(), b"status=%d" % status + NEWLINE)
                host.wait()

    def test_messages_ahead_of_the_close_are_dropped_one_a_cycle(self):
        # Held inside the installation call, the host has every message queued before its first
        # poll: the five ahead take five cycles, the first close ends the sixth, the second is left.
        # Each post starts a program, which takes up to a second where qemu runs the ARM64 Wine.
        hold = 15000 if ARM64_BUILD else 6000 if WINDOWS else 1000
        host = Host(self, "42", hold_ms=hold)
        self.assertEqual(host.read_line(), report(42))
        called = time.monotonic()
        host.wait_for_call()
        for kind, wparam in [(WM_USER, 1), (WM_QUIT, 2), (0, 3), (WM_CLOSE + 1, 4), (0xFFFF, 5)]:
            host.post(kind, wparam, 7)
        host.close(9)
        host.close(10)
        posted = time.monotonic()
        self.assertEqual(host.wait(), 9)
        ended = time.monotonic()
        self.assertLess(posted - called, hold / 1000, "all was posted while the host was held")
        self.assertGreaterEqual(ended - called, hold / 1000 + 0.6 - 0.05)

    def test_a_close_posted_on_the_report_line_is_kept_while_the_library_holds_the_thread(self):
        # The line is out before the call (it is read while the call holds the thread), and the
        # queue exists before the line, so the close posted at once is neither refused nor lost.
        hold = 3000 if WINDOWS else 1000
        host = Host(self, "5", hold_ms=hold)
        self.assertEqual(host.read_line(), report(5))
        read = time.monotonic()
        host.close(4)
        self.assertLess(read - host.started, hold / 1000, "the line was written out before the call")
        self.assertEqual(host.wait(), 4)
        self.assertGreaterEqual(time.monotonic() - host.started, hold / 1000)


class Loader(TestCase):
    def test_without_its_hook_library_the_host_does_not_start(self):
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(HOST, folder)
            host = Host(self, "42", folder=folder, cwd=folder)
            # The Windows loader's status is STATUS_DLL_NOT_FOUND (0xC0000135); the dynamic linker's 127.
            self.assertEqual(host.wait(), exit_status(0xC0000135 if WINDOWS else 127))
            self.assertEqual(host.process.stdout.read(), b"")
            self.assertEqual(host.calls(), [])
            if not WINDOWS:
                self.assertIn(b"libTeskShellHook64.so", host.process.stderr.read())

    def test_with_a_hook_library_that_lacks_the_entry_the_host_does_not_start(self):
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(HOST, folder)
            shutil.copy(os.path.join(BIN, "without_entry", HOOK_LIBRARY), folder)
            host = Host(self, "42", folder=folder, cwd=folder, windows_parent=WINDOWS)
            status = host.wait()
            output = host.process.stdout.read()
            errors = host.process.stderr.read()
            if WINDOWS:
                # Windows refuses this start at load (STATUS_ENTRYPOINT_NOT_FOUND). Wine's loader binds
                # a stub instead: the host reports, and the call ends it with the stub's exception,
                # EXCEPTION_WINE_STUB, as a Windows parent sees it.
                self.assertTrue(output.startswith(report(42)), output)
                self.assertIn(b"unimplemented function %s.SetTeskShellHook" % HOOK_LIBRARY.encode(), output + errors)
                self.assertIn(b"status=%d" % signed32(0x80000100) + NEWLINE, output)
            else:
                # Bound at once: the dynamic linker refuses the start before any of the host's code runs.
                self.assertEqual((status, output), (127, b""))
                self.assertIn(b"undefined symbol: SetTeskShellHook", errors)

    @unittest.skipUnless(WINDOWS and not ARM64_BUILD, "one architecture here")
    def test_a_library_of_the_other_architecture_is_refused_before_any_of_its_code_runs(self):
        # The other architecture's stand-in, under this host's library's name: it would record its call.
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(HOST, folder)
            shutil.copy(os.path.join(OTHER_BIN, OTHER_HOOK_LIBRARY), os.path.join(folder, HOOK_LIBRARY))
            host = Host(self, "42", folder=folder, cwd=folder)
            # Windows gives STATUS_INVALID_IMAGE_FORMAT (0xC000007B); Wine passes over the library and
            # finds none, STATUS_DLL_NOT_FOUND (0xC0000135).
            self.assertEqual(host.wait(), exit_status(0xC0000135))
            self.assertEqual(host.process.stdout.read(), b"")
            self.assertEqual(host.calls(), [])


class CloseTool(TestCase):
    def assert_refused(self, result, status, words):
        self.assertEqual(result.returncode, status)
        message = result.stderr.decode()
        self.assertRegex(message, r"^(hook_close: |usage: hook_close )")
        self.assertIn(words, message)

    def test_usage_errors(self):
        self.assert_refused(close_tool(), 2, "usage: hook_close PID [STATUS]")
        self.assert_refused(close_tool("12", "3", "4"), 2, "usage:")
        self.assert_refused(close_tool("--post", "1", "2", "12"), 2, "usage:")
        self.assert_refused(close_tool("twelve"), 2, "PID 'twelve' is not a number")
        self.assert_refused(close_tool("0"), 2, "PID '0' is not a number")
        self.assert_refused(close_tool("12", "3x"), 2, "STATUS '3x' is not a number")
        self.assert_refused(close_tool("12", "0x1" + "0" * 16), 2, "STATUS")
        self.assert_refused(close_tool("--post", "-1", "0", "0", "12"), 2, "KIND '-1'")
        self.assertEqual(close_tool("--help").returncode, 0)

    def test_a_signed_number_is_refused_naming_the_range_that_is_taken(self):
        # STATUS, WPARAM and LPARAM are 64 bits of either sign: both ends are taken (and the post then
        # finds no process), one past either is refused.
        pid = 2147483647
        message = "'%s' is not a number from -9223372036854775808 to 18446744073709551615"
        for name, tool in (("STATUS", lambda number: close_tool(pid, number)),
                           ("WPARAM", lambda number: close_tool("--post", WM_USER, number, 0, pid)),
                           ("LPARAM", lambda number: close_tool("--post", WM_USER, 0, number, pid))):
            with self.subTest(name=name):
                for number in ("-9223372036854775808", "18446744073709551615"):
                    self.assert_refused(tool(number), 1, "no such process")
                for number in ("-9223372036854775809", "18446744073709551616"):
                    self.assert_refused(tool(number), 2, name + " " + message % number)

    def test_no_such_process(self):
        self.assert_refused(close_tool(2147483647), 1, "cannot post to process 2147483647: no such process")

    @unittest.skipIf(WINDOWS, "no process without a queue whose Windows id a test can learn")
    def test_a_process_that_is_not_a_host(self):
        self.assert_refused(close_tool(os.getpid()), 1, "not a hook host")


# The Windows programs of this build besides the host, which may be this build's or the other
# architecture's; what each says it is, in its version resource.
PROGRAMS = ["hook_close"] + (["hook_check"] if X64_BUILD else [])
DESCRIPTIONS = {"hook_close": "WM_CLOSE", "hook_host": "WM_CLOSE", "hook_host32": "The 32-bit hook host",
                "hook_host_arm64": "The ARM64 hook host", "hook_check": "hook library will start"}


def image(name, folder=CONTROL_BIN):
    return images.load(os.path.join(folder, name + EXE))


class Image(TestCase):
    """What the executables declare to the loader: what they bind to, and how they are to run."""

    @unittest.skipUnless(WINDOWS, "Windows images")
    def test_the_programs_are_stripped_console_programs_for_windows_6_0(self):
        # The host is this build's, or in a 32-bit build the 64-bit build's.
        programs = [(name, CONTROL_BIN, images.MACHINES[ARCHITECTURE]) for name in PROGRAMS] + [
            (HOST_NAME, BIN, images.MACHINES["x86" if HOST32 else "arm64" if ARM64_BUILD else "x64"])]
        for name, folder, machine in programs:
            with self.subTest(name=name):
                header, optional = image(name, folder).FILE_HEADER, image(name, folder).OPTIONAL_HEADER
                self.assertEqual((header.Machine, optional.Magic), machine)
                self.assertEqual(optional.Subsystem, 3)  # console
                self.assertEqual((optional.MajorSubsystemVersion, optional.MinorSubsystemVersion), (6, 0))
                self.assertEqual((header.PointerToSymbolTable, header.NumberOfSymbols), (0, 0))

    @unittest.skipUnless(WINDOWS, "Windows images")
    def test_the_programs_import_only_the_system_and_the_hook_library(self):
        # hook_control's output pipe takes ADVAPI32's random bits and security descriptor calls.
        tool = images.imports(image("hook_close"))
        self.assertEqual({name.lower() for name in tool}, {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"})
        self.assertEqual(set(tool["ADVAPI32.dll"]),
                         {"SystemFunction036", "OpenThreadToken", "OpenProcessToken", "GetTokenInformation",
                          "InitializeAcl", "AddAccessAllowedAce", "InitializeSecurityDescriptor",
                          "SetSecurityDescriptorDacl"})
        if X64_BUILD:
            # The checker reads images itself, from the file read into memory: no image service of the system's.
            checker = images.imports(image("hook_check"))
            self.assertEqual({name.lower() for name in checker},
                             {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"})
            self.assertIn("ReadFile", checker["KERNEL32.dll"])
        # Each host binds its own architecture's library by name, and nothing of the other's.
        imports = images.imports(image(HOST_NAME, BIN))
        self.assertEqual({name.lower() for name in imports},
                         {"kernel32.dll", "user32.dll", "msvcrt.dll", HOOK_LIBRARY.lower()})
        self.assertEqual(imports[HOOK_LIBRARY], ["SetTeskShellHook"])
        self.assertIn("PeekMessageW", imports["USER32.dll"])
        self.assertIn("Sleep", imports["KERNEL32.dll"])
        self.assertIn("printf", imports["msvcrt.dll"], "the C runtime's printf, not one linked in")

    @unittest.skipUnless(WINDOWS, "a Windows image of the host")
    def test_the_host_carries_one_manifest_as_resource_1(self):
        assert_one_manifest(self, image(HOST_NAME, BIN))

    @unittest.skipIf(WINDOWS, "an image of this machine")
    def test_the_host_binds_its_hook_library_from_beside_it_at_once(self):
        dynamic = subprocess.run(["readelf", "--dynamic", os.path.join(BIN, "hook_host")],
                                 capture_output=True, text=True, check=True).stdout
        self.assertIn("Shared library: [libTeskShellHook64.so]", dynamic)
        self.assertIn("Library runpath: [$ORIGIN]", dynamic)
        self.assertRegex(dynamic, r"FLAGS_1\)\s+Flags: NOW")
        symbols = subprocess.run(["readelf", "--dyn-syms", "--wide", os.path.join(BIN, "hook_host")],
                                 capture_output=True, text=True, check=True).stdout
        self.assertRegex(symbols, r"UND SetTeskShellHook\b")

    @unittest.skipUnless(WINDOWS, "Windows images")
    def test_the_programs_carry_the_project_version(self):
        for name, folder in [(name, CONTROL_BIN) for name in PROGRAMS] + [(HOST_NAME, BIN)]:
            with self.subTest(name=name):
                assert_version(self, image(name, folder), name)


def assert_one_manifest(test, host):
    manifests = [r for r in images.resources(host) if r[0] == images.RT_MANIFEST]
    test.assertEqual([(kind, name) for kind, name, _, _ in manifests], [(images.RT_MANIFEST, 1)])
    v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
    manifest = ElementTree.fromstring(manifests[0][3])
    level = manifest.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel")
    test.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})
    identities = manifest.findall(f"{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity")
    test.assertEqual([i.attrib for i in identities], [{
        "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
        "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}])


def assert_version(test, program, name):
    version = os.environ["HOOK_HOST_VERSION"]
    numbers = tuple(int(n) for n in (version + ".0.0.0").split(".")[:4])
    file_version, product_version, strings = images.version_info(program)
    test.assertEqual((file_version, product_version), (numbers, numbers))
    test.assertEqual((strings["FileVersion"], strings["ProductVersion"]), (version, version))
    test.assertEqual(strings["OriginalFilename"], name + EXE)
    test.assertIn(DESCRIPTIONS[name], strings["FileDescription"])


def close_datagram(status):
    return datagram(WM_CLOSE, status)


@unittest.skipIf(WINDOWS, "this machine's own queue")
class Queue(TestCase):
    @staticmethod
    def names():
        with open("/proc/net/unix") as table:
            return [line.split()[-1] for line in table]

    def test_the_queue_is_named_for_the_process_and_goes_with_it(self):
        host = Host(self, "1")
        host.read_line()
        name = "@" + queue_name(host.process.pid)
        self.assertIn(name, self.names())
        host.process.kill()
        host.wait()
        self.assertNotIn(name, self.names())

    def test_datagrams_of_any_other_size_are_dropped(self):
        # Every size up to well past a message's 24 bytes, made of closes that would end the host with
        # 99 if they were read as one: each is removed in a cycle of its own and dropped.
        host = Host(self, "1")
        host.read_line()
        sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sender.close)
        address = queue_address(host.process.pid)
        garbage = close_datagram(99) * 3000
        sizes = [size for size in range(65) if size != 24] + [100, 1000, 65000]
        for size in sizes:
            sender.sendto(garbage[:size], address)  # blocks while the queue is full
        self.assertIsNone(host.process.poll())
        sender.sendto(close_datagram(3), address)
        self.assertEqual(host.wait(), 3)
        self.assertGreaterEqual(time.monotonic() - host.started, (len(sizes) + 1) * 0.1)

    def test_a_full_queue_refuses_a_post_and_the_host_still_closes(self):
        # Held inside the installation call, the host does not poll: posts pile up until refused.
        host = Host(self, "1", hold_ms=2000)
        host.read_line()
        for _ in range(1000):
            result = close_tool("--post", WM_USER, 0, 0, host.process.pid)
            if result.returncode != 0:
                break
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"its message queue is full", result.stderr)
        # The controller tries again once the host has drained its queue; nothing was lost on the way.
        deadline = time.monotonic() + 10
        while (result := close_tool(host.process.pid, 5)).returncode != 0 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(host.wait(), 5)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to post as another user")
    def test_messages_from_another_user_are_dropped(self):
        host = Host(self, "1")
        host.read_line()
        nobody = pwd.getpwnam("nobody").pw_uid

        def as_nobody():
            os.setgid(nobody)
            os.setuid(nobody)

        # The close tool refuses up front, as the platform does (run from where nobody may run it)...
        folder = tempfile.mkdtemp(prefix="hook_close.")
        self.addCleanup(shutil.rmtree, folder)
        os.chmod(folder, 0o755)
        tool = shutil.copy(os.path.join(BIN, "hook_close"), folder)
        result = subprocess.run([tool, str(host.process.pid), "99"], capture_output=True, preexec_fn=as_nobody)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"access denied", result.stderr)
        # ...and what another user's process sends straight to the queue is dropped.
        child = os.fork()
        if child == 0:
            sent = False
            try:
                as_nobody()
                socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).sendto(close_datagram(99),
                                                                        queue_address(host.process.pid))
                sent = True
            finally:
                os._exit(0 if sent else 1)
        self.assertEqual(os.waitpid(child, 0)[1], 0)
        time.sleep(0.3)  # a few cycles: the datagram is removed by now
        self.assertIsNone(host.process.poll(), "another user's close was dropped")
        host.close(5)
        self.assertEqual(host.wait(), 5)

    def test_a_host_whose_queue_name_is_taken_ends_before_it_reports(self):
        # The child waits until its pid's name is bound elsewhere, then becomes the host.
        ready_read, ready_write = os.pipe()
        output_read, output_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(ready_write)
            os.read(ready_read, 1)
            os.dup2(output_write, 1)
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the abort is expected: no core file
            os.execv(os.path.join(BIN, "hook_host"), ["hook_host", "1"])
        os.close(ready_read)
        os.close(output_write)
        squatter = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(squatter.close)
        squatter.bind(queue_address(pid))
        os.close(ready_write)
        _, status = os.waitpid(pid, 0)
        self.assertTrue(os.WIFSIGNALED(status) and os.WTERMSIG(status) == 6, status)  # SIGABRT
        self.assertEqual(os.read(output_read, 100), b"")
        os.close(output_read)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
