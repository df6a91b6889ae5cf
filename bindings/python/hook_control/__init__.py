"""Starts, supervises and ends hook hosts from Python, through the hook_control shared library.

    import hook_control
    with hook_control.start("hook_host.exe", 42) as host:
        reported = host.wait_report(timeout=10.0)
        host.close(7)
        status = host.wait()

or, in an asyncio program, `status = await host.wait_async()`, which leaves the event loop free.

This is the package hook_control that its wheel installs, with the library inside it, and also a
single file to copy as hook_control.py beside the library. The library is hook_control.dll on Windows
(of the interpreter's architecture) and libhook_control.so.1 on Linux. It is loaded from this file's
folder by its absolute path; where it is not there, by the platform's own search (on Windows,
Python's: the application's folder, the system's, and the folders given to os.add_dll_directory; on
Linux, the dynamic linker's); the environment variable HOOK_CONTROL_LIBRARY names another file. Its
major version must be this module's. Timeouts are in seconds (None: no limit); the waits release the
GIL but cannot be interrupted by Ctrl-C until they return. The module keeps nothing but the library,
each Host's handle and the asynchronous waits under way; a Host's calls must not be made from several
threads at once, but for wait(), pid, wait_async() and release(), which may: a release() waits for
nothing, and takes effect in the library once the calls under way on other threads have returned. A
Host's collection waits for nothing either. A Host belongs to the process that
started it: in a forked child its release (and its collection) frees memory only, and its other calls
but pid raise Error.
"""
import asyncio
import atexit
import ctypes
import itertools
import math
import os
import sys
import threading

__all__ = ["Error", "Gone", "Host", "post", "start", "status_text"]

MAJOR = 1  # the version of hook_control.h that this module speaks

_OK, _TIMEOUT, _GONE, _FAILED = range(4)
_OUTLIVE_CONTROLLER = 0x1
_NO_LIMIT = 0xFFFFFFFF


class Error(Exception):
    """A call was refused or failed; the text says what and why."""


class Gone(Error):
    """The host has ended (or, for post, there is no such process). The text says how; `status` is the
    host's exit status where it could be read (None for post, or where it could not), and
    `status_text` what that status means where the loader or the system chose it (as status_text())."""

    def __init__(self, text, status=None):
        super().__init__(text)
        self.status = status
        self.status_text = "" if status is None else status_text(status)


_NAME = "hook_control.dll" if sys.platform == "win32" else "libhook_control.so.1"
# hook_host_ended, cdecl on every platform.
_ENDED = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


def _load():
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _NAME)
    path = os.environ.get("HOOK_CONTROL_LIBRARY") or (beside if os.path.exists(beside) else _NAME)
    try:
        library = ctypes.CDLL(path)
    except OSError as error:
        tried = "%s (no such file), then %s by the platform's search" % (beside, _NAME) if path == _NAME else path
        raise ImportError("hook_control: cannot load the library: tried %s: %s" % (tried, error)) from error
    handle, int32, uint32 = ctypes.c_void_p, ctypes.c_int32, ctypes.c_uint32
    for name, result, arguments in (
            ("hook_host_watch", ctypes.c_int, [handle, _ENDED, ctypes.c_void_p]),
            ("hook_host_unwatch", ctypes.c_int, [handle, _ENDED, ctypes.c_void_p]),
            ("hook_host_start", ctypes.c_int, [ctypes.c_char_p, int32, uint32, ctypes.POINTER(handle)]),
            ("hook_host_wait_report", ctypes.c_int, [handle, uint32, ctypes.POINTER(int32)]),
            ("hook_host_close", ctypes.c_int, [handle, uint32]),
            ("hook_host_wait", ctypes.c_int, [handle, uint32, ctypes.POINTER(int32)]),
            ("hook_host_process_id", uint32, [handle]),
            ("hook_host_waitable", ctypes.c_ssize_t, [handle]),
            ("hook_host_release", None, [handle]),
            ("hook_host_post", ctypes.c_int, [uint32, uint32, ctypes.c_uint64, ctypes.c_uint64]),
            ("hook_host_last_error", ctypes.c_char_p, []),
            ("hook_host_status_text", ctypes.c_char_p, [int32]),
            ("hook_control_version", uint32, [])):
        call = getattr(library, name)
        call.restype, call.argtypes = result, arguments
    version = library.hook_control_version()
    if version >> 16 != MAJOR:
        raise ImportError("hook_control: %s is version %d.%d.%d; this module needs %d.x" % (
            path, version >> 16, version >> 8 & 0xFF, version & 0xFF, MAJOR))
    return library


_library = _load()


# The asynchronous waits under way, by the number each hands hook_host_watch as its context: each its
# loop, its future and its Host. The one callback below looks its wait up here, so that a wait ended
# meanwhile, or by a release, is never touched from another thread. No lock guards it: each use is one
# operation on a dict with int keys, whole under the GIL, since a lock held while anything allocates
# would be waited for by a finalizer that the collector runs then, on the same thread.
_waits = {}
_wait_numbers = itertools.count(1)


@_ENDED
def _ended(number):
    """hook_host_watch's callback, on a thread of the library's (Linux) or of the system's pool
    (Windows): hands the end to the loop of the wait it belongs to. A loop that is closed takes
    nothing; the wait is ended by its Host's release, or at the interpreter's exit."""
    wait = _waits.get(number)
    if wait is not None:
        loop, future, _ = wait
        try:
            loop.call_soon_threadsafe(_settle, future, None)
        except RuntimeError:
            pass


def _settle(future, error):
    if not future.done():
        if error is None:
            future.set_result(None)
        else:
            future.set_exception(error)


def _forget_waits():
    """In a forked child: no callback tells it of its parent's waits."""
    _waits.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_waits)


@atexit.register
def _end_waits():
    """Ends every wait still under way before the interpreter goes, so that no callback comes while
    it ends (a loop closed without cancelling its tasks leaves them)."""
    while _waits:
        try:
            number, (_, _, host) = _waits.popitem()
        except KeyError:  # taken meanwhile by another thread
            break
        host._unwatch(number)


def _integer(value, low, high, what):
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s must be an integer, not %r" % (what, value))
    if not low <= value <= high:
        raise ValueError("%s must be from %d to %d, not %d" % (what, low, high, value))
    return value


def _milliseconds(timeout):
    if timeout is None:
        return _NO_LIMIT
    if timeout < 0:
        raise ValueError("a timeout must not be negative, not %r" % timeout)
    if timeout * 1000 > _NO_LIMIT - 1:
        raise ValueError("a timeout must be under %.3f s (None waits without limit), not %r" % (
            _NO_LIMIT / 1000, timeout))
    return math.ceil(timeout * 1000)  # rounded up, so that a wait is never shorter than asked


def _check(result, what, handle=None):
    """Raises what a result other than HOOK_HOST_OK means; the reason of a failure, or how the host
    `handle` is gone, is read at once, on the thread that made the call, where the library keeps it."""
    if result == _OK:
        return
    if result in (_FAILED, _GONE):
        why = _library.hook_host_last_error().decode("utf-8", "replace")
    if result == _FAILED:
        raise Error(why)
    if result == _GONE:
        status = ctypes.c_int32()
        # A gone host's status is there at once, where it can be read at all.
        if handle is None or _library.hook_host_wait(handle, 0, ctypes.byref(status)) != _OK:
            raise Gone("%s: %s" % (what, why))
        raise Gone("%s: %s" % (what, why), status.value)
    if result == _TIMEOUT:
        raise TimeoutError(what + ": the time ran out; the host still runs")
    raise Error("%s: unknown result %d" % (what, result))


class Host:
    """A started host. Leaving its `with` block, release(), or its collection frees it: a host started
    without outlive=True is then ended.

    Each library call on the handle is counted while it runs, so that a release() on another thread
    never frees the handle under it: the release takes effect at once for this object (later calls
    raise ValueError) and in the library once the last call under way has returned. A wait(None)
    under way on another thread holds the library's release, and so the host's end, back until it
    returns."""

    def __init__(self, handle):
        self._handle = handle
        # Over _calls and _released alone, and held for no allocation: a finalizer never waits for it.
        self._lock = threading.Lock()
        self._calls = 0  # library calls under way on the handle
        self._released = False
        self._waits_under_way = set()  # of its asynchronous waits under way, in _waits

    def _enter(self):
        """The handle, counted as in use until _leave(); ValueError once released."""
        with self._lock:
            live = not self._released
            if live:
                self._calls += 1
        if not live:
            raise ValueError("the host has been released")
        return self._handle

    def _leave(self):
        with self._lock:
            self._calls -= 1
            last = self._released and self._calls == 0
        if last:
            self._free()

    def _call(self, call, *arguments):
        """`call` of the library on the handle, with `arguments` after it."""
        handle = self._enter()
        try:
            return call(handle, *arguments)
        finally:
            self._leave()

    def _checked(self, what, call, *arguments):
        """`call` as _call makes it, its result checked while the handle is still in use, so that a gone
        host's status is read from a handle that no release frees meanwhile."""
        handle = self._enter()
        try:
            _check(call(handle, *arguments), what, handle)
        finally:
            self._leave()

    def _free(self):
        handle, self._handle = self._handle, None
        _library.hook_host_release(handle)  # which ends the watches of its waits

    def _unwatch(self, number):
        """Ends the watch of wait `number`, where the host is not released (a release ends it)."""
        try:
            self._call(_library.hook_host_unwatch, _ended, number)
        except ValueError:
            pass

    @property
    def pid(self):
        """The host's process id, as post() takes it."""
        return self._call(_library.hook_host_process_id)

    def wait_report(self, timeout=10.0):
        """The number of the host's report line, read within `timeout` seconds."""
        reported = ctypes.c_int32()
        self._checked("wait_report", _library.hook_host_wait_report, _milliseconds(timeout), ctypes.byref(reported))
        return reported.value

    def close(self, status):
        """Posts WM_CLOSE with `status` (0 to 2**32-1, or a negative 32-bit number), once the host has
        reported; it ends 100 to 200 ms later with that status."""
        status = _integer(status, -2 ** 31, 2 ** 32 - 1, "a status")
        self._checked("close", _library.hook_host_close, status & 0xFFFFFFFF)

    def wait(self, timeout=None):
        """The host's exit status, once it has ended within `timeout` seconds (on Windows all 32 bits
        as a signed number; on Linux its low 8 bits, or minus the signal's number)."""
        status = ctypes.c_int32()
        _check(self._call(_library.hook_host_wait, _milliseconds(timeout), ctypes.byref(status)), "wait")
        return status.value

    async def wait_async(self):
        """The host's exit status, as wait() gives it, once the host has ended, without holding the
        event loop: the library calls back from a thread of its own (Linux) or of the system's pool
        (Windows) when the host's status can be taken, and the loop is told with
        call_soon_threadsafe. No thread, descriptor or handle is held for it. Cancelling it (a time-out
        of asyncio.wait_for among others) ends the wait, never the host, and a later wait_async() or
        wait() works as before. Several may wait at once, from any loops. Its one call on the host,
        wait(0) once the end is told, is made on the loop's thread and never waits; a release()
        meanwhile, from any thread, ends it with ValueError, whether the host outlives or not."""
        loop = asyncio.get_running_loop()
        ended = loop.create_future()
        number = next(_wait_numbers)
        # Noted first, so that a release() from now on finds it and ends it.
        self._waits_under_way.add(number)
        _waits[number] = (loop, ended, self)
        try:
            if self._call(_library.hook_host_watch, _ended, number) != _OK:
                _waits.pop(number, None)
                _check(_FAILED, "wait_async")
            await ended
        finally:
            self._waits_under_way.discard(number)
            if _waits.pop(number, None) is not None:
                self._unwatch(number)
        return self.wait(0)

    def release(self):
        """Frees the host; one that still runs and was not started with outlive=True is ended. Its
        asynchronous waits end with ValueError. Any thread may call it at any time: calls under way
        on other threads finish first (see the class)."""
        with self._lock:
            first = not self._released
            self._released = True
            free = first and self._calls == 0
        if not first:
            return
        released = ValueError("the host has been released")
        for number in tuple(self._waits_under_way):
            wait = _waits.pop(number, None)
            if wait is not None:
                loop, future, _ = wait
                try:
                    loop.call_soon_threadsafe(_settle, future, released)
                except RuntimeError:  # its loop is closed
                    pass
        if free:
            self._free()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.release()

    def __del__(self):
        # The collector runs it only once nothing holds the Host: no call is under way on it, and no
        # asynchronous wait (_waits holds the Host of each). So it frees at once, and waits for no lock.
        if self._handle is not None:
            self._free()


def start(path, number, outlive=False):
    """Starts the host at `path` with `number` (a signed 32-bit number) and gives its Host. It runs in
    its own folder, with no console; unless `outlive`, it ends when this process ends or the Host is
    released."""
    path = os.fsdecode(path).encode("utf-8")
    if b"\0" in path:
        raise ValueError("a path must not hold a zero character")
    number = _integer(number, -2 ** 31, 2 ** 31 - 1, "a number")
    handle = ctypes.c_void_p()
    _check(_library.hook_host_start(path, number, _OUTLIVE_CONTROLLER if outlive else 0, ctypes.byref(handle)),
           "start")
    return Host(handle)


def post(pid, kind, wparam=0, lparam=0):
    """Posts message `kind` to the main thread of process `pid`, a host this process did not start.
    `wparam` and `lparam` are 64-bit, negative as two's complement; a 32-bit Windows library posts their
    low 32 bits."""
    pid = _integer(pid, 0, 2 ** 32 - 1, "a process id")
    kind = _integer(kind, 0, 2 ** 32 - 1, "a message kind")
    wparam, lparam = (_integer(value, -2 ** 63, 2 ** 64 - 1, what) & (2 ** 64 - 1)
                      for value, what in ((wparam, "wparam"), (lparam, "lparam")))
    _check(_library.hook_host_post(pid, kind, wparam, lparam), "post")


def status_text(status):
    """What a host's exit status, as wait() gives it, means when the loader or the system chose it: the
    host did not start, or it crashed. "" for any other status, which is the one a close chose."""
    status = _integer(status, -2 ** 31, 2 ** 31 - 1, "a status")
    return _library.hook_host_status_text(status).decode("utf-8", "replace")
