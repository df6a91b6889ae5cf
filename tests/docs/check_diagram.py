"""Checks the close protocol's sequence diagram: the committed image is what its source gives (the
build made it anew, at the path given), and the times the source writes are the code's: the host's
pause, the window of its end after a close (one pause to two), and how long a close waits for the
report line."""
import os
import re
import sys

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DIAGRAM = os.path.join("docs", "close-protocol.msc")
IMAGE = os.path.join("docs", "close-protocol.svg")


def constant(path, pattern):
    """The number that `pattern` finds in the file `path` of the source tree."""
    with open(os.path.join(SOURCE, path), encoding="utf-8") as text:
        found = re.search(pattern, text.read())
    if not found:
        sys.exit("%s: no %r in it" % (path, pattern))
    return int(found.group(1))


def main(made):
    with open(made, "rb") as ours, open(os.path.join(SOURCE, IMAGE), "rb") as committed:
        if ours.read() != committed.read():
            sys.exit("%s is not what %s gives: copy %s over it" % (IMAGE, DIAGRAM, made))
    pause = constant("hook_host/close_wait.cpp", r"constexpr unsigned pause_ms = (\d+);")
    report = constant("hook_control/hook_control.h", r"#define HOOK_HOST_CLOSE_REPORT_MS (\d+)u")
    expected = {"then %d ms" % pause, "at most %d ms" % report, "%d-%d ms after" % (pause, 2 * pause)}
    with open(os.path.join(SOURCE, DIAGRAM), encoding="utf-8") as text:
        labels = " ".join(re.findall(r'label="((?:[^"\\]|\\.)*)"', text.read()))
    written = set(re.findall(r"(?:then|at most) \d+ ms|\d+-\d+ ms after", labels))
    if written != expected:
        sys.exit("%s writes the times %s; the code's are %s" % (DIAGRAM, sorted(written), sorted(expected)))
    print("%s is %s's, with the code's times" % (IMAGE, DIAGRAM))


if __name__ == "__main__":
    main(sys.argv[1])
