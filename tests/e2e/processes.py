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


class Process:
    def __init__(self, pid, words, environment):
        self.pid = pid
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
        try:
            with open("/proc/%s/stat" % pid, "rb") as stat:
                if stat.read().rsplit(b")", 1)[1].split()[0] in (b"Z", b"X"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as command:
                words = [word.decode(errors="replace") for word in command.read().split(b"\0") if word]
            with open("/proc/%s/environ" % pid, "rb") as environ:
                environment = dict(entry.decode(errors="replace").partition("=")[::2]
                                   for entry in environ.read().split(b"\0") if b"=" in entry)
        except (OSError, IndexError):
            continue  # it has ended, or is not ours to read
        found.append(Process(int(pid), words, environment))
    return found


def with_tag(tag):
    return [process for process in running() if process.environment.get(TAG) == tag]


def programs_in_prefix(prefix):
    """The processes of Wine prefix `prefix` but its server and services: programs of the build's, a
    test's own, or Wine's loader still starting one."""
    return [process for process in running() if process.environment.get("WINEPREFIX") == prefix and
            not process.name().startswith("wineserver") and process.name().lower() not in WINE_SERVICES]


def end(processes, within=10):
    """Kills `processes` and waits until each is gone or a zombie, which runs nothing."""
    for process in processes:
        try:
            os.kill(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + within
    pids = {process.pid for process in processes}
    while pids & {process.pid for process in running()} and time.monotonic() < deadline:
        time.sleep(0.05)


def end_tagged(tag):
    """Ends every process that carries `tag`: what a test started, and what those started."""
    end(with_tag(tag))


class TestCase(unittest.TestCase):
    """A test that ends, pass or fail, every process it started and every process those started: all
    carry its tag, from the environment it hands them."""

    def setUp(self):
        tag = uuid.uuid4().hex
        os.environ[TAG] = tag
        self.addCleanup(end_tagged, tag)  # the first cleanup, and so the last to run
