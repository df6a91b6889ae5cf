"""End-to-end fault tests on both platforms: hosts side by side, and hosts ended from outside."""
import os
import signal
import sys
import tempfile
import time
import unittest

from controller import WINDOWS, Host, close_tool, exit_status, report
from processes import TestCase


class SideBySide(TestCase):
    def test_a_close_for_one_host_never_reaches_the_other(self):
        first, second = Host(self, "1"), Host(self, "2")
        self.assertEqual((first.read_line(), second.read_line()), (report(1), report(2)))
        first.close(3)
        self.assertEqual(first.wait(), exit_status(3))
        time.sleep(0.5)  # several of the other's cycles
        self.assertIsNone(second.process.poll(), "the other host goes on")
        second.close(4)
        self.assertEqual(second.wait(), exit_status(4))


class EndedFromOutside(TestCase):
    def started_in_an_empty_folder(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        host = Host(self, "42", cwd=folder.name)
        self.assertEqual(host.read_line(), report(42), "the line is out before anything can end the host")
        host.wait_for_call()
        return host, folder.name

    def assert_nothing_left(self, host, folder):
        self.assertEqual(host.process.stdout.read(), b"", "nothing after the line")
        self.assertEqual(len(host.calls()), 1)
        self.assertEqual(os.listdir(folder), [], "no file left behind")
        result = close_tool(host.pid(), 0)
        self.assertEqual(result.returncode, 1, "its queue went with it")
        self.assertIn(b"no such process", result.stderr)

    def test_killed_by_force_after_the_report_line(self):
        host, folder = self.started_in_an_empty_folder()
        host.process.kill()
        self.assertEqual(host.wait(), -signal.SIGKILL)
        self.assert_nothing_left(host, folder)

    def test_a_console_interrupt_ends_it_by_the_default_handling(self):
        # The host has no handler of its own: the interrupt ends it where it waits.
        host, folder = self.started_in_an_empty_folder()
        host.process.send_signal(signal.SIGINT)
        status = host.wait(timeout=5)
        # Here the process dies of the signal. Wine turns it into the console's Ctrl-C and ends the
        # process with 0; Windows' default handling gives STATUS_CONTROL_C_EXIT (0xC000013A).
        self.assertEqual(status, 0 if WINDOWS else -signal.SIGINT)
        self.assert_nothing_left(host, folder)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
