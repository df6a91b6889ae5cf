"""End-to-end tests of hook_control: the test controller, built on it alone for this build (64-bit or
32-bit Windows under Wine, or this machine), starts and ends the host of a 64-bit build."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from controller import (BIN, CONTROL_BIN, EXE, HOOK_LIBRARY, RUN, SLOW, WINDOWS, platform_path, read_line,
                        signed32)

HOST = os.path.join(BIN, "hook_host" + EXE)
ODD_HOST = os.path.join(CONTROL_BIN, "odd_host" + EXE)  # Windows: 1 closes its output, 2 reports its error mode
STATUS_DLL_NOT_FOUND = 0xC0000135
GONE_WITHIN = 2  # seconds for a host to end after its controller or its handle


def status_seen(status):
    """What hook_host_wait gives for a host that ended with `status`: all 32 bits on Windows, the low 8 here."""
    return signed32(status) if WINDOWS else status & 0xFF


class Controller:
    """The test controller, asked one command a line; every answer is a line of words."""

    def __init__(self, test, in_job=False, cwd=CONTROL_BIN):
        self.test = test
        command = [os.path.join(CONTROL_BIN, "test_controller" + EXE)]
        if in_job:
            command = [os.path.join(CONTROL_BIN, "in_job" + EXE), platform_path(command[0])]
        self.process = subprocess.Popen(RUN + command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, cwd=cwd)
        test.addCleanup(self.end)

    def ask(self, command, timeout=15 * SLOW):
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        return read_line(self.test, self.process.stdout, timeout).decode().rstrip("\r\n").split(" ", 1)

    def expect(self, command, answer):
        self.test.assertEqual(self.ask(command), answer.split(" ", 1), command)

    def start(self, *args, path=HOST):
        answer = self.ask(" ".join(["start", platform_path(path)] + [str(a) for a in args]))
        self.test.assertEqual(answer[0], "ok", answer)
        return int(answer[1])

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


def has_ended(test, pid):
    """Asks a controller of its own: a post to a host that has ended finds no such process."""
    answer = Controller(test).ask("post %d 0 0 0" % pid)  # WM_NULL, which a host drops
    test.assertIn(answer[0], ("ok", "gone"), answer)
    return answer[0] == "gone"


def assert_ends(test, pid, within=GONE_WITHIN * SLOW):
    deadline = time.monotonic() + within
    while not has_ended(test, pid):
        if time.monotonic() > deadline:
            test.fail("process %d still runs after %s s" % (pid, within))
        time.sleep(0.1)


class Protocol(unittest.TestCase):
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

    @unittest.skipUnless(WINDOWS, "the program that closes its output is a Windows one")
    def test_a_program_that_closes_its_output_and_runs_on_is_no_host_and_one_that_ended_is_gone(self):
        controller = Controller(self)
        pid = controller.start(1, path=ODD_HOST)
        not_a_host = ["failed", "process %d closed its standard output without a report line (it is not a hook host)"
                      % pid]
        self.assertEqual(controller.ask("report 10000"), not_a_host)
        self.assertEqual(controller.ask("close 3"), not_a_host, "nothing posted")
        controller.expect("wait 0", "timeout")

    def test_error_texts_are_utf8_keep_their_reason_and_number_and_fill_their_inserts(self):
        controller = Controller(self)
        # Not UTF-8 (Latin-1 \xE9): each such byte is written as its value.
        controller.process.stdin.write(b"start " + platform_path(BIN).encode() + b"\\h\xf4te.exe 1\n")
        controller.process.stdin.flush()
        answer = read_line(self, controller.process.stdout, 15 * SLOW).decode("utf-8")
        self.assertRegex(answer, r"^failed .*h\\xF4te\.exe")
        if WINDOWS:
            # A path far longer than the text: its start gives way to the reason.
            answer = controller.ask("start %s 1" % platform_path(os.path.join(BIN, "x" * 600, "no_such_host" + EXE)))
            self.assertEqual(answer[0], "failed")
            self.assertRegex(answer[1], r"^cannot start \.\.\.x+.no_such_host.exe: its folder is \d+ characters long")
            self.assertLess(len(answer[1].encode()), 512)
            # A file that is not a program: the system's text has an insert, filled.
            answer = controller.ask("start %s 1" % platform_path(os.path.join(BIN, "..", "CMakeCache.txt")))
            self.assertRegex(answer[1], r"^cannot start .*CMakeCache.txt: .*the program.* \(error 193\)$")
            self.assertNotIn("%1", answer[1])

    @unittest.skipUnless(WINDOWS, "a current folder of at most MAX_PATH characters is Windows'")
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


class Posting(unittest.TestCase):
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
        self.assertIn("not a hook host (it has no message queue)", answer[1])


class ControllerEnds(unittest.TestCase):
    def killed(self, *flags):
        controller = Controller(self)
        pid = controller.start(1, *flags)
        controller.expect("report 10000", "ok 1")
        controller.process.kill()
        controller.process.wait()
        return pid

    def test_a_host_ends_with_its_controller_killed_from_outside(self):
        assert_ends(self, self.killed())

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


class Handles(unittest.TestCase):
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


@unittest.skipUnless(WINDOWS, "the neighbour is a Windows program")
class Neighbours(unittest.TestCase):
    """Another process of the same user, set against the controller's names."""

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


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
