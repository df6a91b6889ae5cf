"""End-to-end tests of hook_control: the test controller, built on it alone for this build (64-bit or
32-bit Windows under Wine, or this machine), starts and ends the host of a 64-bit build."""
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from controller import (ARM64_BUILD, BIN, CLOSE_SEEN_WITHIN_MS, CONTROL_BIN, EXE, HOOK_LIBRARY, HOST, RUN, SLOW, WINDOWS,
                        close_tool, platform_path, queue_address, queue_name, read_line, signed32)
import processes
from processes import TestCase

# Windows: 1 closes its output and runs on, 3 closes it and ends with 3, 2 reports its error mode
ODD_HOST = os.path.join(CONTROL_BIN, "odd_host" + EXE)
STATUS_DLL_NOT_FOUND = 0xC0000135
GONE_WITHIN = 2  # seconds for a host to end after its controller or its handle
# Windows keeps an ARM64 thread's TEB in x18, where a thread-local is found; Debian's arm64 Wine,
# whose own code is not built as Windows code, overwrites it in some calls (MultiByteToWideChar).
X18_LOST = ("in Debian's arm64 Wine, a start refused after MultiByteToWideChar has converted a path of some "
            "hundreds of characters writes its error text with x18 overwritten, and faults")


def status_seen(status):
    """What hook_host_wait gives for a host that ended with `status`: all 32 bits on Windows, the low 8 here."""
    return signed32(status) if WINDOWS else status & 0xFF


class Controller:
    """The test controller, asked one command a line; every answer is a line of words."""

    def __init__(self, test, in_job=False, cwd=CONTROL_BIN, inside=(), stderr=subprocess.PIPE, folder=CONTROL_BIN):
        self.test = test
        command = [os.path.join(folder, "test_controller" + EXE)]
        if in_job:
            command = [os.path.join(CONTROL_BIN, "in_job" + EXE), platform_path(command[0])]
        self.process = subprocess.Popen(list(inside) + RUN + command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=stderr, cwd=cwd)
        test.addCleanup(self.end)

    def ask(self, command, timeout=15 * SLOW):
        try:
            self.process.stdin.write((command if isinstance(command, bytes) else command.encode()) + b"\n")
            self.process.stdin.flush()
            line = read_line(self.test, self.process.stdout, timeout)
        except (self.test.failureException, BrokenPipeError) as failure:
            raise self.test.failureException("%s; %s" % (failure, self.how_it_ended())) from None
        return line.decode().rstrip("\r\n").split(" ", 1)

    def how_it_ended(self):
        """The controller's status and the start of what it said on standard error, if it has ended."""
        try:
            status = self.process.wait(2 * SLOW)
        except subprocess.TimeoutExpired:
            return "the controller runs on"
        said = b""
        if self.process.stderr and select.select([self.process.stderr], [], [], 1)[0]:
            said = os.read(self.process.stderr.fileno(), 4096)
        return "the controller ended with status %d, saying %r" % (status, said)

    def expect(self, command, answer):
        self.test.assertEqual(self.ask(command), answer.split(" ", 1), command)

    def timed(self, command):
        """The answer to `command`, and the seconds the controller took over it, without the round trip."""
        answer = self.ask("timed " + command)
        took = read_line(self.test, self.process.stdout, 15 * SLOW).decode().split()
        self.test.assertEqual(took[0], "took", took)
        return answer, int(took[1]) / 1000

    def start(self, *args, path=HOST):
        answer = self.ask(" ".join(["start", platform_path(path)] + [str(a) for a in args]))
        self.test.assertEqual(answer[0], "ok", answer)
        return int(answer[1])

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream:
                stream.close()


NOBODY = 65534
# Binds the queue name argv[1] (queue_name of a process), says so, and once its input ends says what
# it received.
SQUATTER = """import socket, sys
queue = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
queue.bind(b"\\0" + sys.argv[1].encode())
print("bound", flush=True)
sys.stdin.read()
queue.setblocking(False)
try:
    print(len(queue.recv(64)), "bytes")
except BlockingIOError:
    print("nothing")
"""


# Traces process argv[1] (PTRACE_SEIZE, which stops it for nothing but signals), says so, and once it
# has ended takes its end argv[2] seconds late, or sooner once its input ends: only then may its parent
# take its status.
TRACER = """import ctypes, os, select, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
pid = int(sys.argv[1])
if libc.ptrace(0x4206, pid, None, None) != 0:
    print("refused", os.strerror(ctypes.get_errno()), flush=True)
    sys.exit()
print("attached", flush=True)
while True:
    seen = os.waitid(os.P_PID, pid, os.WEXITED | os.WSTOPPED | os.WNOWAIT)
    if seen.si_code in (os.CLD_EXITED, os.CLD_KILLED, os.CLD_DUMPED):
        select.select([sys.stdin], [], [], float(sys.argv[2]))
        os.waitpid(pid, 0)
        break
    os.waitpid(pid, 0)
    libc.ptrace(7, pid, None, ctypes.c_void_p(seen.si_status))  # PTRACE_CONT with its signal
"""


def traced(test, pid, late):
    """A tracer of `pid` that takes its end `late` seconds after it, or once its stdin is closed; skips where
    tracing is refused."""
    tracer = subprocess.Popen([sys.executable, "-c", TRACER, str(pid), str(late)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE)
    test.addCleanup(tracer.wait)
    test.addCleanup(tracer.kill)  # its tracee, detached, goes on
    test.addCleanup(tracer.stdout.close)
    test.addCleanup(tracer.stdin.close)
    answer = read_line(test, tracer.stdout, 10).decode().rstrip("\n").split(" ", 1)
    if answer[0] != "attached":
        test.skipTest("no tracing here: %s" % " ".join(answer))
    return tracer


def has_ended(test, pid):
    """Asks a controller of its own: a post to a host that has ended finds no such process."""
    answer = Controller(test).ask("post %d 0 0 0" % pid)  # WM_NULL, which a host drops
    test.assertIn(answer[0], ("ok", "gone"), answer)
    return answer[0] == "gone"


def program(folder, name, text, mode=0o755):
    """A program of our own, a shell script (or, without its #! line, a file that is none)."""
    path = os.path.join(folder, name)
    with open(path, "w") as script:
        script.write(text)
    os.chmod(path, mode)
    return path


NOT_A_HOST = "failed process %d closed its standard output without a report line (it is not a hook host)"


def assert_reaped(test, pid, within=GONE_WITHIN):
    """Not even a zombie is left: its parent has taken its status."""
    deadline = time.monotonic() + within
    while os.path.exists("/proc/%d" % pid):
        if time.monotonic() > deadline:
            test.fail("process %d is left a zombie" % pid)
        time.sleep(0.05)


def assert_ends(test, pid, within=GONE_WITHIN * SLOW):
    deadline = time.monotonic() + within
    while not has_ended(test, pid):
        if time.monotonic() > deadline:
            test.fail("process %d still runs after %s s" % (pid, within))
        time.sleep(0.1)


class Protocol(TestCase):
    def test_start_report_close_and_the_status_read_back(self):
        # 259 is STILL_ACTIVE to a controller that polls GetExitCodeProcess; here, as 8 bits, 3.
        for status in [3, 0, -1, 0x80000000, 259]:
            with self.subTest(status=status):
                controller = Controller(self)
                controller.start(42)
                controller.expect("report 10000", "ok 42")
                controller.expect("report 0", "ok 42")  # read once, given again at once
                controller.expect("close %d" % status, "ok")
                controller.expect("wait 10000", "ok %d" % status_seen(status))
                controller.expect("wait 0", "ok %d" % status_seen(status))

    def test_a_close_asked_for_at_once_after_the_start_is_delivered(self):
        for number in (-7, 5):
            controller = Controller(self)
            controller.start(number)
            controller.expect("close 6", "ok")
            controller.expect("report 0", "ok %d" % number)
            controller.expect("wait 10000", "ok 6")

    def test_time_runs_out_while_the_host_waits_and_a_closed_host_is_gone(self):
        controller = Controller(self)
        controller.start(1)
        controller.expect("report 10000", "ok 1")
        controller.expect("wait 300", "timeout")
        controller.expect("close 2", "ok")
        controller.expect("wait 10000", "ok 2")
        controller.expect("close 3", "gone")

    def test_a_host_without_its_hook_library_is_gone_with_the_loaders_status(self):
        # The controller's own folder holds a hook library; the host runs in its own, and finds none.
        with tempfile.TemporaryDirectory() as folder:
            host = shutil.copy(HOST, folder)
            controller = Controller(self, cwd=BIN)
            controller.start(42, path=host)
            controller.expect("report 10000", "gone")
            controller.expect("close 1", "gone")
            controller.expect("wait 10000", "ok %d" % status_seen(STATUS_DLL_NOT_FOUND if WINDOWS else 127))

    def test_a_start_that_cannot_be_made_says_why(self):
        answer = Controller(self).ask("start %s 1" % platform_path(os.path.join(BIN, "no_such_host" + EXE)))
        self.assertEqual(answer[0], "failed")
        self.assertRegex(answer[1], r"^cannot start .*no_such_host.*: .*(File not found|No such file)")

    @unittest.skipIf(WINDOWS, "no program here prints a first line and takes a number")
    def test_a_program_that_is_not_a_host_is_refused_at_its_first_line(self):
        controller = Controller(self)
        controller.start(42, path="/bin/echo")
        answer = controller.ask("report 10000")
        self.assertEqual(answer[0], "failed")
        self.assertRegex(answer[1], r"^process \d+ is not a hook host: its first line is '42'$")

    def test_a_program_that_closes_its_output_without_a_line_is_no_host_once_its_second_is_over(self):
        # The same answers at the same moments on both platforms: no wait outlasts its time, and the
        # verdict, once reached, is given at once.
        with tempfile.TemporaryDirectory() as folder:
            runs_on, ends = (ODD_HOST, ODD_HOST) if WINDOWS else (
                program(folder, "runs_on", "#!/bin/sh\nexec >&-\nexec sleep 30\n"),
                program(folder, "ends", "#!/bin/sh\nexec >&-\nsleep 0.2\nexit 3\n"))
            controller = Controller(self)
            pid = controller.start(1, path=runs_on)
            for command, answer, within in (("report 100", "timeout", 1), ("report 10000", NOT_A_HOST % pid, 2 * SLOW),
                                            ("report 10000", NOT_A_HOST % pid, 0.5), ("close 1", NOT_A_HOST % pid, 0.5),
                                            ("wait 0", "timeout", 0.5)):
                started = time.monotonic()
                controller.expect(command, answer)
                self.assertLess(time.monotonic() - started, within, command)
            controller.start(3, path=ends)
            controller.expect("report 10000", "gone")
            controller.expect("wait 10000", "ok 3")

    @unittest.skipIf(WINDOWS, "a path that is not UTF-8 cannot name a Windows file")
    def test_a_path_that_is_not_utf8_is_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            host = os.path.join(folder.encode(), b"hook_host\xff")
            shutil.copy(HOST, host)
            for text in (b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82"):
                shutil.copy(HOST, os.path.join(folder.encode(), b"hook_host" + text))
                answer = Controller(self).ask(b"start " + os.path.join(folder.encode(), b"hook_host" + text) + b" 1")
                self.assertEqual(answer[0], "failed", text)
                self.assertRegex(answer[1], r"^cannot start .*hook_host(\\x[0-9A-F]{2})+: the path is not UTF-8$")
            shutil.copy(HOST, os.path.join(folder, "hook_host_\u00e9\u20ac\U0001f600"))
            Controller(self).start(1, path=os.path.join(folder, "hook_host_\u00e9\u20ac\U0001f600"))

    @unittest.skipIf(WINDOWS, "a host's queue and its end are one event there")
    def test_a_close_on_a_host_that_is_ending_is_gone(self):
        # The host's queue goes as it exits, a moment before its end can be seen.
        controller = Controller(self)
        for _ in range(20):
            controller.start(1)
            controller.expect("close-as-it-ends", "gone")

    @unittest.skipIf(WINDOWS, "a wait for any child is POSIX's")
    def test_a_status_taken_by_the_controllers_own_wait(self):
        controller = Controller(self)
        pid = controller.start(1)
        controller.expect("close 0", "ok")
        controller.expect("steal", "ok %d" % pid)
        for _ in range(2):
            answer = controller.ask("wait 10000")
            self.assertEqual(answer[0], "failed")
            self.assertIn("taken by a wait of the controller's own", answer[1])
        controller.expect("close 1", "gone")
        controller.expect("release", "ok")

    def test_error_texts_are_utf8_keep_their_reason_and_number_and_fill_their_inserts(self):
        controller = Controller(self)
        # Not UTF-8 (Latin-1 \xE9): each such byte is written as its value.
        controller.process.stdin.write(b"start " + platform_path(BIN).encode() + b"\\h\xf4te.exe 1\n")
        controller.process.stdin.flush()
        answer = read_line(self, controller.process.stdout, 15 * SLOW).decode("utf-8")
        self.assertRegex(answer, r"^failed .*h\\xF4te\.exe")
        if WINDOWS:
            # A file that is not a program: the system's text has an insert, filled.
            answer = controller.ask("start %s 1" % platform_path(os.path.join(BIN, "..", "CMakeCache.txt")))
            self.assertRegex(answer[1], r"^cannot start .*CMakeCache.txt: .*the program.* \(error 193\)$")
            self.assertNotIn("%1", answer[1])

    @unittest.skipUnless(WINDOWS, "a path's folder longer than a current folder may be is refused on Windows alone")
    @unittest.skipIf(ARM64_BUILD, X18_LOST)
    def test_a_path_far_longer_than_its_error_text_gives_its_start_way_to_the_reason(self):
        answer = Controller(self).ask("start %s 1" % platform_path(os.path.join(BIN, "x" * 600, "no_such_host" + EXE)))
        self.assertEqual(answer[0], "failed")
        self.assertRegex(answer[1], r"^cannot start \.\.\.x+.no_such_host.exe: its folder is \d+ characters long")
        self.assertLess(len(answer[1].encode()), 512)

    @unittest.skipUnless(WINDOWS, "a current folder of at most MAX_PATH characters is Windows'")
    @unittest.skipIf(ARM64_BUILD, X18_LOST)
    def test_a_folder_too_long_for_a_current_folder_is_refused_and_one_that_fits_runs(self):
        with tempfile.TemporaryDirectory() as top:
            controller = Controller(self)
            for length in (250, 258, 259, 260, 261, 280, 300):
                with self.subTest(length=length):
                    folder = top
                    while len(platform_path(folder)) + 1 < length:  # the folder and its trailing '\'
                        folder = os.path.join(folder, "f" * min(60, length - len(platform_path(folder)) - 2))
                    os.makedirs(folder, exist_ok=True)
                    self.assertEqual(len(platform_path(folder)) + 1, length)
                    host = shutil.copy(HOST, folder)
                    shutil.copy(os.path.join(BIN, HOOK_LIBRARY), folder)
                    answer = controller.ask("start %s 7" % platform_path(host))
                    if length < 260:
                        # Under Wine such a start may fail all the same; the controller answers on.
                        if answer[0] == "ok":
                            controller.expect("report 10000", "ok 7")
                        controller.expect("release", "ok")
                    else:
                        self.assertEqual(answer[0], "failed")
                        self.assertRegex(answer[1], r"^cannot start .*hook_host.exe: its folder is %d characters "
                                         r"long, longer than a process's current folder may be \(259\)$" % length)

    @unittest.skipUnless(WINDOWS, "the error mode is Windows'")
    def test_starts_from_several_threads_leave_the_error_mode_as_it_was(self):
        # Under Wine a child does not take its parent's error mode: what the hosts report is not
        # looked at (on Windows each reports SEM_FAILCRITICALERRORS, 1, with the rest of the mode).
        controller = Controller(self)
        for mode in (0, 0x8002, 0x8003):  # none; others but not the flag; the flag set already
            with self.subTest(mode=mode):
                controller.expect("error-mode %d" % mode, "ok %d" % mode)
                self.assertEqual(controller.ask("starts 3 8 %s 2" % platform_path(ODD_HOST))[0], "ok")
                controller.expect("error-mode", "ok %d" % mode)

    def test_starts_from_several_threads_at_once_all_succeed(self):
        self.assertEqual(Controller(self).ask("starts 4 5 %s 9" % platform_path(HOST)), ["ok", "9"])

    def test_release_ends_a_running_host(self):
        controller = Controller(self)
        pid = controller.start(1)
        controller.expect("report 10000", "ok 1")
        controller.expect("release", "ok")
        assert_ends(self, pid)

    def test_a_host_started_from_a_thread_that_then_ends_lives_on(self):
        controller = Controller(self)
        answer = controller.ask("start-in-thread %s 4" % platform_path(HOST))
        self.assertEqual(answer[0], "ok", answer)
        time.sleep(1)
        controller.expect("wait 0", "timeout")
        controller.expect("close 5", "ok")
        controller.expect("wait 10000", "ok 5")


class Posting(TestCase):
    """hook_host_post: the close tool's way, for hosts that another controller started."""

    def test_a_post_ends_another_controllers_host_and_finds_no_process_that_has_ended(self):
        owner, other = Controller(self), Controller(self)
        pid = owner.start(1, "outlive")
        owner.expect("report 10000", "ok 1")
        other.expect("post %d 1024 1 2" % pid, "ok")  # WM_USER: dropped
        other.expect("post %d 16 0x123456780000000b 0" % pid, "ok")  # a status in the low 32 bits
        owner.expect("wait 10000", "ok 11")
        other.expect("post %d 16 0 0" % pid, "gone")

    @unittest.skipIf(WINDOWS, "no process without a queue whose Windows id a test can learn")
    def test_a_live_process_that_is_not_a_host_is_refused(self):
        answer = Controller(self).ask("post %d 16 0 0" % os.getpid())
        self.assertEqual(answer[0], "failed")
        self.assertIn("not a hook host (its main thread has no message queue)", answer[1])


def hosts_started_with(number):
    """The running hosts (zombies aside) that were started with `number`, found by their command lines."""
    return [process for process in processes.running()
            if str(number) in " ".join(process.words).split() and "hook_host" in " ".join(process.words)]


class ControllerEnds(TestCase):
    def killed(self, *flags):
        controller = Controller(self)
        pid = controller.start(1, *flags)
        controller.expect("report 10000", "ok 1")
        controller.process.kill()
        controller.process.wait()
        return pid

    def test_a_host_ends_with_its_controller_killed_from_outside(self):
        assert_ends(self, self.killed())

    def test_controllers_killed_at_any_moment_of_a_start_leave_no_host(self):
        number = 1700000000 + os.getpid()  # this test's hosts
        lost = 0
        for run in range(100):
            controller = Controller(self)
            try:
                controller.expect("post 0 0 0 0", "gone")  # it runs
            except self.failureException:
                # Under Wine a program started just after another was killed now and then ends before
                # it runs; it started nothing, so it leaves nothing either way.
                if not WINDOWS:
                    raise
                controller.process.wait(timeout=10)  # it has ended, and did not hang
                lost += 1
                continue
            controller.process.stdin.write(b"start %s %d\n" % (platform_path(HOST).encode(), number))
            controller.process.stdin.flush()
            time.sleep(run * 0.0003)  # 0 to 30 ms into the start, a start's time under Wine
            controller.end()
        deadline = time.monotonic() + GONE_WITHIN * SLOW
        left = hosts_started_with(number)
        while left and time.monotonic() < deadline:
            time.sleep(0.1)
            left = hosts_started_with(number)
        processes.end(left)
        # Under Wine a start that its controller's death cuts short inside CreateProcessW now and then
        # leaves Wine's loader blocked for ever before it has mapped any of the host (see Wine): not a
        # host, but a process all the same, ended here.
        hosts = [str(process) for process in left if not (WINDOWS and process.started_by_wine_only())]
        self.assertEqual(hosts, [], "hosts left by killed controllers")
        self.assertLess(lost, 10, "controllers that never ran")

    def test_a_host_that_outlives_its_controller_lives_on_and_a_post_ends_it(self):
        pid = self.killed("outlive")
        time.sleep(1)
        self.assertFalse(has_ended(self, pid))
        Controller(self).expect("post %d 16 0 0" % pid, "ok")
        assert_ends(self, pid)

    def test_a_released_host_that_outlives_its_controller_leaves_nothing_once_it_ends(self):
        controller = Controller(self)
        pid = controller.start(1, "outlive")
        controller.expect("report 10000", "ok 1")
        controller.expect("release", "ok")
        time.sleep(0.5)
        self.assertFalse(has_ended(self, pid))
        controller.expect("post %d 16 0 0" % pid, "ok")
        # Here, a child nobody waits for would stay a zombie while the controller lives.
        assert_ends(self, pid)
        if not WINDOWS:
            self.assertFalse(os.path.exists("/proc/%d" % pid), "no zombie")

    @unittest.skipIf(WINDOWS, "POSIX threads")
    def test_a_controller_whose_main_thread_exits_ends_and_its_host_with_it(self):
        controller = Controller(self)
        pid = controller.start(1)
        controller.expect("report 10000", "ok 1")
        controller.expect("pthread-exit", "ok")
        self.assertEqual(controller.process.wait(timeout=5), 0)
        assert_ends(self, pid)

    @unittest.skipIf(WINDOWS, "fork is POSIX's")
    def test_a_forked_controller_starts_hosts_of_its_own(self):
        controller = Controller(self)
        controller.start(1)  # the library's thread runs, in the parent only
        controller.expect("fork-start %s 5" % HOST, "ok 5")
        controller.expect("close 2", "ok")
        controller.expect("wait 10000", "ok 2")

    @unittest.skipIf(WINDOWS, "fork is POSIX's")
    def test_a_forked_child_that_releases_the_host_ends_nothing_of_it(self):
        controller = Controller(self)
        pid = controller.start(1)
        controller.expect("report 10000", "ok 1")
        answer = controller.ask("fork-release")
        self.assertEqual(answer[0], "failed", "the child may not wait for its parent's host")
        self.assertRegex(answer[1], r"^hook_host_wait: host %d belongs to process \d+, which started it; process \d+ "
                         r"\(a fork of it\) may only release it, which ends nothing$" % pid)
        controller.expect("wait 300", "timeout")
        controller.expect("close 2", "ok")
        controller.expect("wait 10000", "ok 2")

    @unittest.skipIf(WINDOWS, "POSIX threads")
    def test_a_start_cancelled_midway_leaves_later_starts_working(self):
        controller = Controller(self)
        for ms in (1, 2, 5, 10, 20):
            controller.expect("cancel-start %s %d" % (HOST, ms), "ok")
            controller.start(1)

    @unittest.skipIf(WINDOWS, "zombies are POSIX's")
    @unittest.skipIf("sanitize" in os.environ.get("HOOK_HOST_CXX_FLAGS", ""), "a sanitizer needs memory to run")
    def test_a_released_host_that_outlives_leaves_no_zombie_when_no_thread_can_be_made(self):
        controller = Controller(self)
        pid = controller.start(1, "outlive")
        controller.expect("report 10000", "ok 1")
        controller.expect("memory-limit", "ok")
        controller.expect("release", "ok")
        Controller(self).expect("post %d 16 0 0" % pid, "ok")
        assert_ends(self, pid)
        assert_reaped(self, pid)

    @unittest.skipUnless(WINDOWS, "jobs are Windows'")
    def test_inside_a_job_the_controller_is_in(self):
        controller = Controller(self, in_job=True)
        controller.start(3)
        controller.expect("close 4", "ok")
        controller.expect("wait 10000", "ok 4")
        pid = controller.start(5)
        controller.expect("report 10000", "ok 5")
        controller.expect("release", "ok")
        assert_ends(self, pid)  # so it was in the job of its own


class Handles(TestCase):
    @unittest.skipIf(WINDOWS, "/proc is this machine's")
    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "a mount namespace of its own is root's")
    def test_a_controller_where_proc_is_not_mounted_starts_and_ends_hosts_and_says_why_it_cannot_close(self):
        # As in a chroot or a small container: a mount namespace of the controller's own, /proc covered.
        # The dynamic linker finds the host's $ORIGIN through /proc too: there, the hook library is
        # where the environment says.
        without_proc = ["unshare", "--mount", "env", "LD_LIBRARY_PATH=" + os.path.dirname(HOST),
                        "sh", "-c", 'mount -t tmpfs none /proc && exec "$@"', "-"]
        controller = Controller(self, inside=without_proc)
        pid = controller.start(1)
        controller.expect("report 10000", "ok 1")
        word, text = controller.ask("close 3")
        self.assertEqual(word, "failed")
        self.assertIn("/proc is not mounted", text)
        controller.expect("release", "ok")
        assert_ends(self, pid)
        controller.start(2)
        controller.expect("report 10000", "ok 2")

    @unittest.skipIf(WINDOWS, "descriptors are this machine's")
    def test_a_controller_without_a_standard_stream_starts_hosts_and_leaves_the_stream_free(self):
        # Whatever the library holds (its thread's descriptors, a host's pidfd and pipe) it keeps above
        # the standard ones, which the controller may have closed and open again later.
        for fd in (0, 1, 2):
            with self.subTest(fd=fd):
                controller = Controller(self)
                answer = controller.ask("start-with-free-fd %d %s 1" % (fd, os.path.join(BIN, "no_such_host")))
                self.assertRegex(" ".join(answer), r"^failed cannot start .*no_such_host: No such file or directory$")
                self.assertEqual(controller.ask("start-with-free-fd %d %s 5" % (fd, HOST))[0], "ok")
                controller.expect("report 10000", "ok 5")
                controller.expect("close 6", "ok")
                controller.expect("wait 10000", "ok 6")

    def test_nothing_of_the_controllers_is_handed_to_the_host(self):
        # A host that had the controller's output would keep it open: the controller's reader would
        # see no end until the host ended.
        controller = Controller(self)
        pid = controller.start(1, "outlive")
        controller.expect("report 10000", "ok 1")
        controller.process.stdin.close()
        self.assertEqual(controller.process.wait(timeout=10 * SLOW), 0)
        self.assertEqual(controller.process.stdout.read(), b"", "its output ended with it")
        self.assertFalse(has_ended(self, pid))
        Controller(self).expect("post %d 16 0 0" % pid, "ok")
        assert_ends(self, pid)

    @unittest.skipIf(WINDOWS, "a Wine child keeps its parent's Unix standard error, whatever its Windows one")
    def test_a_host_that_outlives_holds_none_of_the_controllers_pipes(self):
        # controller 2>&1 | cat: the reader sees the end when the controller ends, not when the host does.
        controller = Controller(self, stderr=subprocess.STDOUT)
        pid = controller.start(1, "outlive")
        controller.expect("report 10000", "ok 1")
        controller.process.stdin.close()
        self.assertEqual(controller.process.wait(timeout=10 * SLOW), 0)
        self.assertTrue(select.select([controller.process.stdout], [], [], 5 * SLOW)[0], "the output ended")
        self.assertEqual(controller.process.stdout.read(), b"")
        self.assertFalse(has_ended(self, pid))
        Controller(self).expect("post %d 16 0 0" % pid, "ok")
        assert_ends(self, pid)

    @unittest.skipIf(WINDOWS, "the Windows side's handles are tested there")
    def test_failed_starts_leave_no_descriptor_behind(self):
        with tempfile.TemporaryDirectory() as folder:
            failing = [folder, program(folder, "not_executable", "#!/bin/sh\n", mode=0o644),
                       program(folder, "no_interpreter_line", "echo 1\n"), os.path.join(folder, "missing")]
            controller = Controller(self)
            controller.expect("fd-limit 32", "ok")
            controller.ask("start %s 1" % failing[0])  # what the library keeps for all starts
            before = controller.ask("fds")
            for _ in range(10):
                for path in failing:
                    self.assertEqual(controller.ask("start %s 1" % path)[0], "failed", path)
            self.assertEqual(controller.ask("fds"), before)
            controller.start(1)

    @unittest.skipIf(WINDOWS, "descriptors are this machine's")
    # UndefinedBehaviorSanitizer's vptr check tests memory through a pipe of its own: without a free
    # descriptor it takes a sound object for a bad one.
    @unittest.skipIf("sanitize" in os.environ.get("HOOK_HOST_CXX_FLAGS", ""), "a sanitizer needs descriptors to run")
    def test_a_shortage_of_descriptors_neither_ends_running_hosts_nor_hangs_a_start(self):
        for free in range(4):
            with self.subTest(free=free):
                controller = Controller(self)
                controller.expect("fd-limit 64", "ok")
                controller.start(1)
                controller.expect("report 10000", "ok 1")
                controller.expect("hold-fds %d" % free, "ok")
                time.sleep(1.5)  # the library's thread looks every second whether it is the last one
                answer = controller.ask("starts 1 1 %s 2" % HOST)  # each started host is released at once
                if answer[0] != "ok":
                    self.assertRegex(" ".join(answer), r"^failed cannot start .*: Too many open files$")
                controller.expect("hold-fds", "ok")
                controller.expect("wait 0", "timeout")
                controller.expect("close 3", "ok")
                controller.expect("wait 10000", "ok 3")
                controller.start(4)
                controller.expect("report 10000", "ok 4")

    @unittest.skipIf(WINDOWS, "POSIX signals")
    def test_no_handler_of_the_controllers_runs_on_the_librarys_threads(self):
        Controller(self).expect("signals %s 30" % HOST, "ok 0")

    @unittest.skipIf(WINDOWS, "a thread's nice value is Linux's")
    def test_the_host_takes_the_asking_threads_affinity_and_nice_value(self):
        cpus = sorted(os.sched_getaffinity(0))
        nice = os.getpriority(os.PRIO_PROCESS, 0) + 3
        controller = Controller(self)
        first = controller.start(1)  # from the thread that makes the library's
        pid = int(controller.ask("start-scheduled %s 1 %d %d" % (HOST, nice, cpus[-1]))[1])
        self.assertEqual(os.sched_getaffinity(pid), {cpus[-1]})
        self.assertEqual(os.getpriority(os.PRIO_PROCESS, pid), nice)
        self.assertEqual(os.sched_getaffinity(first), set(cpus))

    @unittest.skipIf(WINDOWS, "Wine's loader says nothing on standard error")
    def test_what_the_loader_says_reaches_the_controllers_standard_error(self):
        with tempfile.TemporaryDirectory() as folder:
            controller = Controller(self)
            controller.start(1, path=shutil.copy(HOST, folder))
            controller.expect("wait 10000", "ok 127")
            controller.process.kill()
            controller.process.wait()
            self.assertIn(HOOK_LIBRARY.encode(), controller.process.stderr.read())

    @unittest.skipIf(WINDOWS, "Wine's processes keep a current folder of their own")
    def test_the_host_runs_in_its_own_folder(self):
        controller = Controller(self, cwd="/")
        pid = controller.start(1, path=os.path.relpath(HOST, "/"))
        controller.expect("report 10000", "ok 1")
        self.assertEqual(os.readlink("/proc/%d/cwd" % pid), BIN)


class Neighbours(TestCase):
    """Other processes, and children of the controller's own, that a host's pid or name may meet."""

    @unittest.skipIf(WINDOWS, "the names and pids of this machine's processes")
    def test_a_process_that_takes_an_ended_hosts_name_gets_no_close(self):
        for steal in (False, True):
            controller = Controller(self)
            pid = controller.start(1)
            controller.expect("close 0", "ok")
            controller.expect("steal" if steal else "wait 10000", "ok %d" % (pid if steal else 0))
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as neighbour:
                neighbour.bind(queue_address(pid))
                controller.expect("close 1", "gone")
                neighbour.setblocking(False)
                self.assertRaises(BlockingIOError, neighbour.recv, 64)

    @unittest.skipIf(WINDOWS, "the names and pids of this machine's processes")
    @unittest.skipIf(os.geteuid() != 0, "a process of another user is made by root")
    def test_a_process_of_another_user_that_binds_a_processs_queue_name_gets_nothing(self):
        with tempfile.TemporaryDirectory() as folder:
            # Reports as a host does, and has no queue.
            reporter = program(folder, "reports", '#!/bin/sh\necho "Adding hook for $1"\nexec sleep 30\n')
            ways = {"close": lambda controller, pid: controller.ask("close 5"),
                    "post": lambda controller, pid: Controller(self).ask("post %d 16 5 0" % pid),
                    "close tool": lambda controller, pid: close_tool(pid, 5),
                    "close tool's post": lambda controller, pid: close_tool("--post", 16, 5, 0, pid)}
            for way, post in ways.items():
                with self.subTest(way=way):
                    controller = Controller(self)
                    pid = controller.start(1, path=reporter)
                    controller.expect("report 10000", "ok 1")
                    squatter = subprocess.Popen([sys.executable, "-c", SQUATTER, queue_name(pid)], user=NOBODY,
                                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                    self.addCleanup(squatter.kill)
                    self.assertEqual(read_line(self, squatter.stdout, 10), b"bound\n")
                    answer = post(controller, pid)
                    if isinstance(answer, subprocess.CompletedProcess):
                        self.assertEqual(answer.returncode, 1, answer.stderr)
                        answer = [answer.stderr.decode()]
                    self.assertIn("cannot post to process %d: not a hook host (its message queue's name is bound by "
                                  "another process; nothing was sent)" % pid, " ".join(answer))
                    squatter.stdin.close()
                    self.assertEqual(squatter.stdout.read(), b"nothing\n")
                    squatter.wait()
                    squatter.stdout.close()

    @unittest.skipIf(WINDOWS, "the names and pids of this machine's processes")
    def test_a_later_child_with_an_ended_hosts_pid_is_not_waited_for(self):
        # A pid namespace of its own, where a pid can be chosen.
        inside = ["unshare", "--user", "--map-root-user", "--pid", "--fork", "--mount-proc"]
        if subprocess.run(inside + ["true"], capture_output=True).returncode != 0:
            self.skipTest("no namespaces here")
        controller = Controller(self, inside=inside)
        pid = controller.start(1)
        controller.expect("close 0", "ok")
        controller.expect("steal", "ok %d" % pid)
        self.assertEqual(controller.ask("wait 10000")[0], "failed")
        controller.expect("spawn-at %d 7" % pid, "ok %d" % pid)
        self.assertEqual(controller.ask("wait 10000")[0], "failed")
        controller.expect("release", "ok")
        controller.expect("steal", "ok %d" % pid)  # its status is still there for its parent

    @unittest.skipIf(WINDOWS, "the names and pids of this machine's processes")
    def test_a_start_does_not_wait_for_children_the_controller_forked(self):
        controller = Controller(self)
        controller.expect("forkers 1000", "ok")
        for _ in range(20):
            started = time.monotonic()
            controller.start(1)
            self.assertLess(time.monotonic() - started, 0.5)

    @unittest.skipUnless(WINDOWS, "the neighbour is a Windows program")
    def test_no_start_fails_for_what_another_process_names_or_opens(self):
        controller = Controller(self)
        self.assertEqual(controller.ask("error-mode")[0], "ok")  # running, so that the neighbour finds it
        neighbour = subprocess.Popen(RUN + [os.path.join(CONTROL_BIN, "neighbour" + EXE)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(neighbour.kill)
        self.assertEqual(read_line(self, neighbour.stdout, 15 * SLOW).split()[0], b"ready")
        for number in range(20):
            controller.start(number)
            controller.expect("report 10000", "ok %d" % number)
        self.assertEqual(controller.ask("starts 3 5 %s 8" % platform_path(HOST)), ["ok", "8"])
        neighbour.stdin.close()
        self.assertEqual(neighbour.wait(30 * SLOW), 0)
        neighbour.stdout.close()


class Waitable(TestCase):
    """hook_host_waitable, waited on as a controller's own loop waits: by poll here, and under Wine by
    MsgWaitForMultipleObjects beside the thread's messages."""

    def test_signalled_once_the_host_has_ended_within_a_close_and_the_status_is_there_at_once(self):
        for status in (7, 259):
            with self.subTest(status=status):
                controller = Controller(self)
                controller.start(1)
                controller.expect("report 10000", "ok 1")
                controller.expect("watch 300", "running")
                answer = controller.ask("close-watch %d" % status)
                self.assertEqual(answer[0], "ok", answer)
                seen, took = answer[1].split()
                self.assertEqual(int(seen), status_seen(status))
                self.assertLess(int(took), CLOSE_SEEN_WITHIN_MS, "ms from the close's post")
                controller.expect("watch 0", "ok %d" % status_seen(status))

    def test_signalled_for_a_host_that_ended_by_itself(self):
        with tempfile.TemporaryDirectory() as folder:
            for command in ("watch", "notify"):
                controller = Controller(self)
                controller.start(1, path=shutil.copy(HOST, folder))  # without its hook library
                controller.expect("%s 10000" % command, "ok %d" % status_seen(STATUS_DLL_NOT_FOUND if WINDOWS else 127))


class Watch(TestCase):
    """hook_host_watch: a callback from the system's pool under Wine, from the library's thread here."""

    def test_the_callback_comes_once_the_host_has_ended_and_its_status_is_there(self):
        controller = Controller(self)
        controller.start(1)
        controller.expect("report 10000", "ok 1")
        controller.expect("notify 300", "running")
        controller.expect("close 7", "ok")
        controller.expect("notify 10000", "ok 7")
        controller.expect("notify 10000", "ok 7")  # an ended host is told of at once

    def test_a_release_ends_the_watch_untold_and_a_host_that_outlives_runs_on(self):
        for flags in ((), ("outlive",)):
            with self.subTest(flags=flags):
                controller = Controller(self)
                pid = controller.start(1, *flags)
                controller.expect("report 10000", "ok 1")
                controller.expect("notify-release 500", "ok 0")
                if flags:
                    self.assertFalse(has_ended(self, pid))
                    Controller(self).expect("post %d 16 0 0" % pid, "ok")
                assert_ends(self, pid)

    def test_a_callback_that_releases_its_own_host_is_called_once(self):
        controller = Controller(self)
        pid = controller.start(1)
        controller.expect("report 10000", "ok 1")
        controller.expect("close-notify-release 4", "ok 1")
        assert_ends(self, pid)

    def test_callbacks_that_end_each_other_or_their_host_are_called_one_at_a_time(self):
        # Each waits a moment for the other: were both called at once, each would wait for the other.
        for mode in ("unwatch", "release"):
            with self.subTest(mode=mode):
                controller = Controller(self)
                pid = controller.start(1)
                controller.expect("report 10000", "ok 1")
                controller.expect("notify-each-other " + mode, "ok 1")
                assert_ends(self, pid)

    def test_two_unwatches_at_once_both_return_once_the_callback_has(self):
        controller = Controller(self)
        controller.start(1)
        controller.expect("report 10000", "ok 1")
        controller.expect("unwatch-twice", "ok yes yes")

    def test_many_hosts_are_watched_at_once(self):
        self.assertEqual(Controller(self).ask("notify-many 12 %s" % platform_path(HOST)),
                         ["ok", " ".join(str(place) for place in range(1, 13))])

    def test_two_waits_at_once_both_give_the_status(self):
        controller = Controller(self)
        for status in (5, 6, 7):
            controller.start(1)
            controller.expect("waits %d" % status, "ok %d ok %d" % (status, status))

    @unittest.skipIf(WINDOWS, "a tracer of this machine's")
    # LeakSanitizer stops the host's threads at its exit by tracing them, which a tracer's presence refuses.
    @unittest.skipIf("sanitize=address" in os.environ.get("HOOK_HOST_CXX_FLAGS", ""), "the host traces itself")
    def test_a_tracer_that_takes_the_end_late_holds_no_wait_past_its_time(self):
        controller = Controller(self)
        pid = controller.start(1)
        controller.expect("report 10000", "ok 1")
        # It holds the end until told to let go, however long a loaded machine takes over what comes first.
        tracer = traced(self, pid, 60)
        controller.expect("close 6", "ok")
        assert_ends(self, pid)
        for command, answer, least, most in (("wait 0", "timeout", 0, 0.5), ("wait 1000", "timeout", 0.9, 1.5),
                                             ("watch 0", "timeout", 0, 0.5)):  # signalled, its status not there
            seen, took = controller.timed(command)
            self.assertEqual(seen, [answer], command)
            self.assertTrue(least <= took < most * SLOW, "%s took %.3f s" % (command, took))
        controller.expect("notify 300", "running")  # not told while the tracer holds the end
        tracer.stdin.close()
        controller.expect("notify 10000", "ok 6")  # told once the tracer let go of the end
        controller.expect("wait 0", "ok 6")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
