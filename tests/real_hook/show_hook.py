"""Shows the host at work under Wine, in the build's own prefix and with its settings (the runner the
tests use): the host beside the example hook library, started with a WH_CBT hook, says its report
line; a window made in another program fires the hook there; a close with status 7 ends the host,
whose status is told. Each step waits a bounded time, and a step that does not happen ends the show
with the reason.

    show_hook.py RUNNER FOLDER HOST HOOK_LIBRARY MAKE_WINDOW CLOSE_TOOL

FOLDER is made anew for the host and the library, whose record of calls, hook_calls.txt, lands
there. The programs' output goes to files, not pipes: a window made in a fresh Wine session starts
Wine's desktop process, which would hold a pipe's writing end for as long as it lives.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

CBT = 2  # the example library's hook kind for window events
CBT_CODES = {3: "HCBT_CREATEWND", 4: "HCBT_DESTROYWND", 5: "HCBT_ACTIVATE", 9: "HCBT_SETFOCUS"}
STATUS = 7
WITHIN = 60  # seconds for any step; the first run under Wine makes the prefix


class Failed(Exception):
    pass


def wait_for(what, found):
    """The first true value of `found()` within WITHIN seconds."""
    deadline = time.monotonic() + WITHIN
    while not (value := found()):
        if time.monotonic() > deadline:
            raise Failed("%s did not happen within %d s" % (what, WITHIN))
        time.sleep(0.1)
    return value


def lines(path):
    """The whole lines of a file, split into words; none while it is missing."""
    try:
        with open(path) as text:
            return [line.split() for line in text if line.endswith("\n")]
    except FileNotFoundError:
        return []


def run(runner, program, *args):
    """Runs a program to its end; gives its output's words."""
    with tempfile.TemporaryFile() as output:
        status = subprocess.run([runner, program] + [str(a) for a in args], stdin=subprocess.DEVNULL, stdout=output,
                                stderr=subprocess.STDOUT, timeout=WITHIN).returncode
        output.seek(0)
        said = output.read().decode(errors="replace")
    if status != 0:
        raise Failed("%s failed (status %d): %s" % (os.path.basename(program), status, said))
    return said.split()


def show(runner, folder, host, library, make_window, close_tool):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    host = shutil.copy(host, folder)
    shutil.copy(library, folder)
    record = os.path.join(folder, "hook_calls.txt")
    said = os.path.join(folder, "hook_host.out")

    print("%s and %s, placed in %s" % (os.path.basename(host), os.path.basename(library), folder))
    print("$ hook_host.exe %d" % CBT, flush=True)
    with open(said, "w") as output:
        started = subprocess.Popen([runner, host, str(CBT)], cwd=folder, stdin=subprocess.DEVNULL, stdout=output)
    try:
        print(" ".join(wait_for("the host's report line", lambda: lines(said) and lines(said)[0])), flush=True)
        pid = wait_for("the hook's installation", lambda: next(
            (int(words[0]) for words in lines(record) if words[2] == "SetTeskShellHook"), None))
        print("(its hook is installed, in process %d)" % pid)

        print("$ make_window.exe", flush=True)
        window_pid = int(run(runner, make_window)[0])
        print("(process %d made a window and destroyed it)" % window_pid)
        # Each kind of call once, in the order of the first: how often each comes is the system's affair.
        fired = []
        for words in lines(record):
            call = "%s %s" % (words[2], CBT_CODES.get(int(words[3]), words[3]))
            if int(words[0]) == window_pid and call not in fired:
                fired.append(call)
        if not fired:
            raise Failed("the hook did not fire in make_window.exe (process %d)" % window_pid)
        print("the hook fired in make_window.exe: " + ", ".join(fired))

        print("$ hook_close.exe %d %d" % (pid, STATUS), flush=True)
        run(runner, close_tool, pid, STATUS)
        status = started.wait(WITHIN)
        print("hook_host.exe ended with status %d" % status)
        if status != STATUS:
            raise Failed("the host ended with status %d, not %d" % (status, STATUS))
    finally:
        if started.poll() is None:
            started.kill()
            started.wait()


def main(runner, folder, host, library, make_window, close_tool):
    try:
        show(runner, folder, host, library, make_window, close_tool)
    except (Failed, subprocess.TimeoutExpired) as failure:
        print("show_hook: %s" % failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
