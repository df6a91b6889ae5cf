"""What the end-to-end tests do as a controller: start hosts, read their report, post to them.

Set by the build: HOOK_HOST_NAME, the host the tests run (hook_host, or on Windows the 32-bit
hook_host32 or an ARM64 build's hook_host_arm64); HOOK_HOST_X64_BIN and HOOK_HOST_X86_BIN, the folders with each host and its stand-in hook
library (a 64-bit build's, and on Windows a 32-bit build's); HOOK_HOST_ARM64_BIN, the folder with the
ARM64 host that the 64-bit Windows build makes for its release (empty elsewhere); HOOK_CONTROL_BIN and
HOOK_CONTROL_BITS, the folder with this build's controller side (the close tool, the test controller)
and its pointer width; HOOK_HOST_RUN, the command that runs this build's programs where they are not
native (Wine for the Windows builds), else empty; HOOK_HOST_RUNS_X86, ON where 32-bit Windows programs
can run (a kernel without IA32 emulation runs none).
"""
import os
import select
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "protocol"))
from hook_host_protocol import WM_CLOSE, datagram, queue_address, queue_name  # noqa: E402 (after its path)

X64_BIN, X86_BIN = os.environ["HOOK_HOST_X64_BIN"], os.environ["HOOK_HOST_X86_BIN"]
ARM64_BIN = os.environ.get("HOOK_HOST_ARM64_BIN", "")
CONTROL_BIN = os.environ["HOOK_CONTROL_BIN"]
# An ARM64 build's host is hook_host_arm64, and its Wine runs ARM64 programs only.
ARM64_BUILD = os.path.exists(os.path.join(CONTROL_BIN, "hook_host_arm64.exe"))
# Only the x64 build has hook_check and the release.
X64_BUILD = os.environ["HOOK_CONTROL_BITS"] == "64" and not ARM64_BUILD
ARCHITECTURE = "arm64" if ARM64_BUILD else "x64" if X64_BUILD else "x86"  # this build's
RUN = [os.environ["HOOK_HOST_RUN"]] if os.environ.get("HOOK_HOST_RUN") else []
RUNS_X86 = os.environ.get("HOOK_HOST_RUNS_X86") == "ON"
HOST_NAME = os.environ["HOOK_HOST_NAME"]
HOST32 = HOST_NAME == "hook_host32"
BIN, OTHER_BIN = (X86_BIN, X64_BIN) if HOST32 else (X64_BIN, X86_BIN)
WINDOWS = os.path.exists(os.path.join(CONTROL_BIN, "hook_close.exe"))
EXE = ".exe" if WINDOWS else ""
NEWLINE = b"\r\n" if WINDOWS else b"\n"  # the Windows C runtime writes standard output in text mode


def hook_library(x86):
    """The file name of the hook library that the host of either architecture binds to."""
    if not WINDOWS:
        return "libTeskShellHook64.so"
    return "TeskShellHook32.dll" if x86 else "TeskShellHookARM64.dll" if ARM64_BUILD else "TeskShellHook64.dll"


HOOK_LIBRARY = hook_library(HOST32)
OTHER_HOOK_LIBRARY = hook_library(not HOST32)  # on Windows, the other architecture's
HOST = os.path.join(BIN, HOST_NAME + EXE)
POINTER_BYTES = 4 if HOST32 else 8  # the width of the host's argument
SLOW = 4 if WINDOWS else 1  # each program started under Wine costs a good part of a second
# Milliseconds from a close's post until a controller's own loop learns of the host's end: the host
# ends within 200 ms of it, and the rest is for a loaded machine.
CLOSE_SEEN_WITHIN_MS = 450

WM_QUIT, WM_USER = 0x12, 0x400


def platform_path(path):
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


def exit_status(status):
    """What a Linux parent sees of a 32-bit exit status: its low 8 bits; under Wine, 1 for a status
    whose low 8 bits are zero but which is not zero."""
    low = status & 0xFF
    return 1 if WINDOWS and low == 0 and status & 0xFFFFFFFF else low


def signed32(value):
    """A 32-bit status as a Windows parent reads it."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def report(value):
    return b"Adding hook for %d" % value + NEWLINE


def close_tool(*args, folder=CONTROL_BIN):
    return subprocess.run(RUN + [os.path.join(folder, "hook_close" + EXE)] + [str(a) for a in args],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=30 * SLOW)


def wait_for_calls(test, calls, timeout):
    """What `calls()` gives once it gives anything: the hook library's record of its calls."""
    deadline = time.monotonic() + timeout
    while not calls():
        if time.monotonic() > deadline:
            test.fail("the hook library was not called within %s s" % timeout)
        time.sleep(0.01)
    return calls()


def read_line(test, stream, timeout):
    """The next line of `stream`, as soon as it can be read, byte by byte so that nothing is held back."""
    line = b""
    deadline = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            test.fail("no line within %s s; so far %r" % (timeout, line))
        byte = os.read(stream.fileno(), 1)
        if not byte:
            test.fail("the output ended after %r" % line)
        line += byte
    return line


class Host:
    """One hook host, started with `args`, its stand-in library recording into a file of its own."""

    def __init__(self, test, *args, hold_ms=None, folder=BIN, cwd=None, windows_parent=False,
                 stdout_closed=False, name=HOST_NAME):
        self.test = test
        self.folder = folder
        self.record = tempfile.NamedTemporaryFile(prefix="hook_record.", delete=False).name
        os.unlink(self.record)
        env = dict(os.environ, TESK_STAND_IN_RECORD=platform_path(self.record))
        if hold_ms is not None:
            env["TESK_STAND_IN_HOLD_MS"] = str(hold_ms)
        command = [os.path.join(folder, name + EXE)] + list(args)
        if windows_parent:
            # cmd waits for the host and prints the whole 32-bit status it got, as a line of its own.
            command = ["cmd", "/v:on", "/c", " ".join([platform_path(command[0])] + command[1:]) +
                       " & echo status=!errorlevel!"]
        # A pipe whose reading end is closed before the host starts: its report cannot be written.
        stdout = subprocess.PIPE
        if stdout_closed:
            unread, stdout = os.pipe()
            os.close(unread)
        self.started = time.monotonic()
        self.process = subprocess.Popen(RUN + command, stdin=subprocess.DEVNULL, stdout=stdout,
                                        stderr=subprocess.PIPE, env=env, cwd=cwd)
        if stdout_closed:
            os.close(stdout)
        test.addCleanup(self.end)

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if stream:
                stream.close()
        if os.path.exists(self.record):
            os.unlink(self.record)

    def read_line(self, timeout=10 * SLOW):
        """The report line, as soon as it can be read from the pipe."""
        return read_line(self.test, self.process.stdout, timeout)

    def calls(self):
        """The stand-in's record: one (value, value as hex at the host's pointer width, pid, tid) a call."""
        if not os.path.exists(self.record):
            return []
        with open(self.record) as record:
            return [tuple(line.split()) for line in record if line.endswith("\n")]

    def wait_for_call(self, timeout=10 * SLOW):
        return wait_for_calls(self.test, self.calls, timeout)[0]

    def pid(self):
        """The process id in the platform's own terms, as the stand-in saw it."""
        return int(self.wait_for_call()[2])

    def close(self, status):
        """Posts WM_CLOSE with wParam `status` through the close tool."""
        self.expect_posted(close_tool(self.pid(), status, folder=self.folder))

    def post(self, kind, wparam, lparam):
        self.expect_posted(close_tool("--post", kind, wparam, lparam, self.pid(), folder=self.folder))

    def expect_posted(self, result):
        self.test.assertEqual(result.returncode, 0, result.stderr)

    def wait(self, timeout=10 * SLOW):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.test.fail("the host did not end within %s s" % timeout)
