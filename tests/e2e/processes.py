"""The processes the tests leave, found from /proc: every program a test starts carries the test's tag
in its environment (TAG), which its children take, under Wine as here, so that the test's cleanup
ends the hosts a controller or cmd started as well as the programs it started itself. Under Wine each
Windows process is a Linux process too, with WINEPREFIX in its environment and its Windows command
line as its own (Wine rewrites it once the process starts).

What Wine does, measured here: a process created inside a job whose last handle is closed while Wine
still starts it (its creator killed inside CreateProcessW) is taken off the prefix's process list,
but its Linux process stays for ever, blocked in Wine's start-up with its loader's command line,
before it has mapped any of the program.
"""
import os
import signal
import time
import unittest
import uuid

TAG = "HOOK_HOST_TEST_TAG"
# Wine's own services, which start with a prefix's server and end with it.
WINE_SERVICES = {"services.exe", "explorer.exe", "winedevice.exe", "plugplay.exe", "svchost.exe", "rpcss.exe",
                 "conhost.exe"}


def stat_of(pid):
    """The fields of process `pid`'s stat file after its name, from its state on; None where it is gone."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as stat:
            return stat.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None


def start_time(pid):
    """When process `pid` started, which tells it from a later process of the same pid."""
    fields = stat_of(pid)
    return fields[19] if fields else None


class Process:
    def __init__(self, pid, words, environment):
        self.pid = pid
        self.started = start_time(pid)
        # Under qemu-user (an ARM64 build's Wine) a process's command line is the emulator's, the
        # program's path, then its own, which Wine's rewriting does not reach: Wine's loader, then the
        # Windows program's command line.
        if words and "qemu" in os.path.basename(os.path.dirname(words[0])) + os.path.basename(words[0]):
            words = words[2:]
            if len(words) > 1 and os.path.basename(words[0]) == "wine64":
                words = words[1:]
        self.words = words  # its command line
        self.environment = environment

    def name(self):
        """Its program's file name, Windows' or Linux's."""
        first = self.words[0].replace("\\", "/") if self.words else ""
        return os.path.basename(first.split(" ")[0]) if first else ""

    def started_by_wine_only(self):
        """Whether it still has the command line of Wine's loader, which a Windows program's process
        has only while Wine starts it: one left so for seconds never became a Windows process."""
        return bool(self.words) and os.path.basename(self.words[0]).startswith("wine")

    def __str__(self):
        return "%d %s" % (self.pid, " ".join(self.words))


def running():
    """Every process that runs (zombies aside) and that we may read."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        fields = stat_of(int(pid))
        if not fields or fields[0] in (b"Z", b"X"):
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as command:
                words = [word.decode(errors="replace") for word in command.read().split(b"\0") if word]
            with open("/proc/%s/environ" % pid, "rb") as environ:
                environment = dict(entry.decode(errors="replace").partition("=")[::2]
                                   for entry in environ.read().split(b"\0") if b"=" in entry)
        except OSError:
            continue  # it has ended, or is not ours to read
        found.append(Process(int(pid), words, environment))
    return found


def wines_own(process):
    """Whether it is a Wine prefix's server or one of its services, which belong to no test."""
    return process.name().startswith("wineserver") or process.name().lower() in WINE_SERVICES


def with_tag(tag):
    return [process for process in running() if process.environment.get(TAG) == tag and not wines_own(process)]


def programs_in_prefix(prefix):
    """The processes of Wine prefix `prefix` but its server and services: programs of the build's, a
    test's own, or Wine's loader still starting one."""
    return [process for process in running() if process.environment.get("WINEPREFIX") == prefix and
            not wines_own(process)]


def end(processes, within=10):
    """Kills `processes`, each through a pidfd taken while it is still the process listed (its pid may
    be another's once it is gone), and waits until each is gone or a zombie, which runs nothing. The
    ones still running after `within` seconds."""
    for process in processes:
        try:
            pidfd = os.pidfd_open(process.pid)
        except ProcessLookupError:
            continue
        try:
            if start_time(process.pid) == process.started:
                signal.pidfd_send_signal(pidfd, signal.SIGKILL)
        except ProcessLookupError:
            pass
        finally:
            os.close(pidfd)
    deadline = time.monotonic() + within
    pids = {process.pid for process in processes}
    while pids & {process.pid for process in running()} and time.monotonic() < deadline:
        time.sleep(0.05)
    return [process for process in running() if process.pid in pids]


def end_tagged(tag):
    """Ends every process that carries `tag`: what a test started, and what those started, some of which
    may start others while they are ended; fails if any lives on."""
    for _ in range(5):
        left = with_tag(tag)
        if not left:
            return
        end(left)
    raise AssertionError("processes of the test's still run: %s" % "; ".join(str(process) for process in left))


class TestCase(unittest.TestCase):
    """A test that ends, pass or fail, every process it started and every process those started: all
    carry its tag, from the environment it hands them."""

    def setUp(self):
        tag = uuid.uuid4().hex
        os.environ[TAG] = tag
        self.addCleanup(end_tagged, tag)  # the first cleanup, and so the last to run
