"""The hook host's protocol as queue_linux.h and close_message.h give it, for the Python tests and the
benchmark: the close message, and this machine's queue (its name and its 24-byte datagram)."""
import struct

WM_CLOSE = 0x0010


def queue_name(pid):
    """The name of the queue of process `pid`'s main thread, as /proc/net/unix shows it after its '@'."""
    return "hook_host.%d" % pid


def queue_address(pid):
    """The queue's address to bind or send to: the name in the abstract namespace."""
    return b"\0" + queue_name(pid).encode()


def datagram(kind, wparam=0, lparam=0):
    """One message: kind, a reserved zero, wParam and lParam, in host byte order."""
    return struct.pack("=IIQQ", kind, 0, wparam, lparam)
