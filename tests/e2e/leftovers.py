"""The last test of a Windows build: once every other test has ended, no program of the build's (a
host, a controller, a test's own program, or Wine's loader still starting one) may run in its Wine
prefix. Each one found is named, then ended, and the test fails. Wine's server and services are not
counted: `wineserver -k` would end them all alike and hide the leak.

    leftovers.py PREFIX
"""
import sys

import processes


def main(prefix):
    left = processes.programs_in_prefix(prefix)
    for process in left:
        print("still running in %s: %s" % (prefix, process))
    processes.end(left)
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
