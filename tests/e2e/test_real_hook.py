"""End-to-end tests with a hook library that really hooks (example_hook/), under Wine: the host placed
beside it in a folder of its own, and programs of the tests' own (tests/real_hook) for the hook to act
on, all of one architecture (the 64-bit build's hook_host, or the 32-bit build's hook_host32). The hook
fires in another process while the host waits, is gone once the host has ended, and a low-level hook's
calls are answered at the host's polls.

What Wine does, measured here (where Windows differs, it is said):
- WH_SHELL and WH_CBT are called inside each process of the hook library's architecture that they
  concern, which loads the library for it. A process of the other architecture gets no call; Windows
  makes that call on the installing thread, the host's main thread, where it waits for a poll as a
  low-level hook's does. So the 32-bit host, beside the 32-bit library, is what reaches 32-bit
  processes.
- A WH_KEYBOARD_LL call is made on the host's main thread and waits for its next poll. Wine gives up on
  a call after 2 s (and after a few such skips the hook): a host that never polled would hold every
  SendInput for 2 s.
- A global hook outlives the host that installed it while calls keep coming (one every half second
  from its close on kept it for 7 s), and while some other Wine process lives (an idle controller of
  the tests kept it for as long as that lived; Wine's own desktop process does not): before it judges
  a hook gone, a test makes sure that no other program of ours runs in the prefix. With neither, it
  is gone at the first window made half a second after the host's end. Windows removes a thread's hooks when the thread
  ends.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from controller import (BIN, CONTROL_BIN, HOOK_LIBRARY, HOST, RUN, SLOW, X64_BIN, X64_BUILD, Host, close_tool,
                        exit_status, report, wait_for_calls)
import processes
from processes import TestCase
from test_control import Controller

EXAMPLE = os.path.join(BIN, "example_hook", HOOK_LIBRARY)
# The controllers that start the host, each killed in its turn: this build's, and in a 32-bit build the
# 64-bit build's as well.
CONTROLLERS = [CONTROL_BIN] + ([] if X64_BUILD else [X64_BIN])
# The example library's hook kinds, by its argument; and the codes of a window's making.
SHELL, CBT, KEYBOARD_LL = 1, 2, 3
HSHELL_WINDOWCREATED, HCBT_CREATEWND = 1, 3
PAUSE_MS = 100  # the host's pause after each poll
# What scheduling may add to a low-level hook's wait on a busy machine. Far below Wine's 2 s limit, so
# a host that does not poll is still caught.
SLACK_MS = 200
GONE_WITHIN = 5  # seconds for a hook to be gone once its host has ended


class Hooked:
    """A folder with the host beside the example library, and the library's record of calls there."""

    def __init__(self, test):
        self.test = test
        self.folder = tempfile.mkdtemp(prefix="hook_real.")
        test.addCleanup(shutil.rmtree, self.folder)
        self.host = shutil.copy(HOST, self.folder)
        shutil.copy(EXAMPLE, self.folder)

    def start(self, kind):
        """Starts the host with the hook `kind`; gives it, its process id and its main thread's id."""
        host = Host(self.test, str(kind), folder=self.folder)
        self.test.assertEqual(host.read_line(), report(kind))
        pid, tid = self.installed()
        return host, pid, tid

    def calls(self, pid=None):
        """The record: (pid, tid, what, value) a line, of process `pid` alone where given."""
        try:
            with open(os.path.join(self.folder, "hook_calls.txt")) as record:
                lines = [line.split() for line in record if line.endswith("\n")]
        except FileNotFoundError:
            return []
        calls = [(int(p), int(t), what, int(value)) for p, t, what, value in lines]
        return [call for call in calls if pid is None or call[0] == pid]

    def installed(self, timeout=10 * SLOW):
        """The host's ids from the line of its installation call, which follows its report."""
        calls = wait_for_calls(self.test, self.calls, timeout)
        self.test.assertEqual(calls[0][2], "SetTeskShellHook", calls)
        return calls[0][:2]

    def calls_from_a_window(self):
        """Makes and destroys a window in a process of its own; gives what the hook recorded there."""
        return [(what, code) for _, _, what, code in self.calls(make_window(self.test))]

    def assert_gone(self):
        """Wine keeps a hook while calls keep coming, and while another program lives in the prefix:
        the probes are a second apart, and no program of ours may run beside them."""
        others = processes.programs_in_prefix(os.environ["HOOK_HOST_WINE_PREFIX"])
        if others:
            self.test.fail("other programs of ours run in the prefix, and Wine keeps the ended host's hook while "
                           "they do: %s" % "; ".join(str(process) for process in others))
        deadline = time.monotonic() + GONE_WITHIN
        while True:
            time.sleep(1)
            calls = self.calls_from_a_window()
            if not calls:
                return
            if time.monotonic() > deadline:
                self.test.fail("the hook still fires %s s after its host ended: %s" % (GONE_WITHIN, calls))


def run(test, name, *args):
    """Runs one of the tests' programs to its end; gives its output. Its output goes to files, not
    pipes: a window made in a fresh Wine session starts Wine's desktop process, which would hold a
    pipe's writing end for as long as it lives."""
    with tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors:
        status = subprocess.run(RUN + [os.path.join(BIN, name + ".exe")] + [str(a) for a in args],
                                stdin=subprocess.DEVNULL, stdout=output, stderr=errors, timeout=30 * SLOW).returncode
        output.seek(0)
        errors.seek(0)
        test.assertEqual(status, 0, errors.read())
        return output.read().decode()


def make_window(test):
    """Runs make_window; gives its process id."""
    return int(run(test, "make_window").split()[0])


def assert_ended(test, pid, within=10 * SLOW):
    """Posts WM_NULL (which a host drops) until the close tool finds no such process. A process of
    Wine's that lives on would keep the ended host's hook: the tool ends with each post."""
    deadline = time.monotonic() + within
    while close_tool("--post", 0, 0, 0, pid).returncode == 0:
        if time.monotonic() > deadline:
            test.fail("process %d still runs after %s s" % (pid, within))
        time.sleep(0.1)


def close(test, host, pid, status):
    test.assertEqual(close_tool(pid, status).returncode, 0)
    test.assertEqual(host.wait(), exit_status(status))


class RealHook(TestCase):
    def test_a_global_hook_fires_in_another_process_while_the_host_waits(self):
        for kind, name, code in ((CBT, "WH_CBT", HCBT_CREATEWND), (SHELL, "WH_SHELL", HSHELL_WINDOWCREATED)):
            with self.subTest(hook=name):
                hooked = Hooked(self)
                host, pid, _ = hooked.start(kind)
                self.assertIn((name, code), hooked.calls_from_a_window())
                self.assertIsNone(host.process.poll(), "the host still waits")
                close(self, host, pid, 0)

    def test_after_the_close_the_hook_is_gone(self):
        hooked = Hooked(self)
        host, pid, _ = hooked.start(CBT)
        self.assertTrue(hooked.calls_from_a_window())
        close(self, host, pid, 3)
        hooked.assert_gone()

    def test_after_the_controller_is_killed_the_hook_is_gone(self):
        # hook_control ends its hosts with their controller, whichever architecture either is.
        for folder in CONTROLLERS:
            with self.subTest(controller=folder):
                hooked = Hooked(self)
                controller = Controller(self, folder=folder)
                pid = controller.start(CBT, path=hooked.host)
                controller.expect("report 10000", "ok %d" % CBT)
                hooked.installed()
                self.assertTrue(hooked.calls_from_a_window())
                controller.process.kill()
                controller.process.wait()
                assert_ended(self, pid)
                hooked.assert_gone()

    def test_a_low_level_hooks_calls_are_answered_at_the_polls(self):
        hooked = Hooked(self)
        host, pid, tid = hooked.start(KEYBOARD_LL)
        presses = 10
        waits = [float(line.split()[1]) for line in run(self, "send_keys", presses).splitlines()]
        self.assertEqual(len(waits), 2 * presses)

        # Each call was made on the host's main thread, and answered within about one pause.
        self.assertEqual(hooked.calls(), [(pid, tid, "SetTeskShellHook", KEYBOARD_LL)] +
                         [(pid, tid, "WH_KEYBOARD_LL", 0)] * 2 * presses)
        self.assertLess(max(waits), PAUSE_MS + SLACK_MS, waits)
        # Sent back to back, a call comes just after a poll answered the one before and waits nearly a
        # whole pause, unless it reaches the host while that poll still runs, which then answers it at
        # once too (measured under Wine: up to half of them on a loaded machine). A thread that answered
        # every call at once (a library's own, or a host that blocked in its wait instead of pausing)
        # would make none of them wait.
        waited = [wait for wait in waits if wait > PAUSE_MS / 2]
        self.assertGreaterEqual(len(waited), len(waits) // 4, waits)
        close(self, host, pid, 0)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
