"""Runs the examples of one page of the docs, from the page's own text, as a reader would run them
(as doctests run the examples of a docstring).

The rules, for whoever writes a page:
- A fenced block with an info string is an example, and its language says how it runs. A block
  without one is a synopsis or an output, shown only.
- An HTML comment on the line before a block, `<!-- example KEY=VALUE ... -->`, says more:
    file=NAME     the block is the file NAME in the page's folder, for the examples after it; written,
                  not run
    on=WHERE      the builds it runs in, of linux, windows (x86-64) and windows-x86, comma-separated;
                  commands and programs default to linux, files to every build
    preset=NAME   it runs in the source tree, in the build folder of preset NAME only (build/NAME)
    args=WORDS    the program's arguments, as shell words (~ is the page's folder)
    output        the block is what the example before it writes on standard output; a line `...`
                  stands for any number of lines
    not-run=WHY   shown only, and the test says so with WHY: commands that install packages, need
                  root or a certificate, or run every test (this one among them), and what only a
                  platform this machine lacks builds (a .NET project on Windows)
- Languages: sh (commands as a user types them, run by /bin/sh, which must end with status 0),
  python (run by the tests' Python), csharp (compiled by mcs with the C# binding, run by mono); c, cpp
  and cmake blocks are files (file=NAME).
- A page's examples run in order, in one folder of their own that is also HOME, as one user's session
  would: each command block runs in a shell of its own started in that folder, from the environment
  the blocks before it exported (a page's one set-up line, `export PATH=/usr/lib/wine:$PATH ...`),
  which begins as the test's own, PATH unchanged and no WINE* variable. ~/hook_host holds this build
  installed by `cmake --install`: for Linux the whole install, with the stand-in hook library beside
  the host in bin; for Windows the release's files alone, the ZIP's layout, with its try/ folder (a
  32-bit Windows build, which ships no 64-bit host, gets its 64-bit build's host and stand-in there).
  ~/.wine-hook-host, the prefix the pages name, is the build's Wine prefix, made already as a user's
  is after its first run.
- Python and C# examples run on Linux only: this machine has neither for Windows. Python imports the
  binding's package from bindings/python; both find ~/hook_host/lib's library through
  LD_LIBRARY_PATH.
- A version of ours that a page writes, in a file name of the release (hook_host-1.2.3-win64.zip,
  hook_control-1.2.3-...whl, HookControl.1.2.3.nupkg) or in a package reference (Version="1.2.3",
  -Version 1.2.3 after HookControl), must be the build's, the project's version: a page that names
  another fails, shown or run.

Set by the build: HOOK_HOST_BUILD, the build folder; HOOK_HOST_PLATFORM, linux, windows or
windows-x86; HOOK_HOST_BIN, the folder with the host and its stand-in hook library; HOOK_HOST_RUN,
the build's wine-run (Windows); HOOK_HOST_VERSION, the project's version; CMAKE_COMMAND; HOOK_HOST_MCS
and HOOK_HOST_MONO (Linux).
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.environ["HOOK_HOST_BUILD"]
PLATFORM = os.environ["HOOK_HOST_PLATFORM"]
PLATFORMS = ("linux", "windows", "windows-x86")
KEYS = ("file", "on", "preset", "args", "output", "not-run")
RUNNERS = ("sh", "python", "csharp")
FILES = ("c", "cpp", "cmake")
TIMEOUT = 300  # seconds an example may take; a build of the whole tree takes the most
FENCE = re.compile(r"^(```+|~~~+)\s*([^\s`]*)")
MARKER = re.compile(r"^<!--\s*example\b(.*?)-->\s*$")
OUR_VERSION = re.compile(r'(?:hook_host-|hook_control-|HookControl\.|HookControl" Version="|HookControl -Version )'
                         r'(\d+\.\d+\.\d+)')


class Block:
    def __init__(self, page, line, language, text, marker):
        self.where = "%s:%d" % (os.path.relpath(page, SOURCE), line)
        self.language = language
        self.text = text
        self.keys = marker

    def fail(self, why):
        sys.exit("%s: %s" % (self.where, why))


def blocks(page):
    """The page's fenced blocks in order, each with its marker's keys ({} without one)."""
    with open(page, encoding="utf-8") as text:
        lines = text.read().split("\n")
    found = []
    number = 0
    while number < len(lines):
        fence = FENCE.match(lines[number])
        if not fence:
            number += 1
            continue
        start = number
        marker = MARKER.match(lines[start - 1]) if start else None
        number += 1
        while number < len(lines) and not lines[number].startswith(fence.group(1)):
            number += 1
        block = Block(page, start + 1, fence.group(2), "\n".join(lines[start + 1:number]) + "\n", {})
        if marker:
            for word in shlex.split(marker.group(1)):
                key, _, value = word.partition("=")
                if key not in KEYS:
                    block.fail("unknown key %r in the example's marker (known: %s)" % (key, ", ".join(KEYS)))
                block.keys[key] = value
        found.append(block)
        number += 1
    return found


def check_versions(page):
    """Fails the page where it writes a version of ours that is not the build's."""
    with open(page, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            for written in OUR_VERSION.findall(line):
                if written != os.environ["HOOK_HOST_VERSION"]:
                    sys.exit("%s:%d: version %s is written, and the build's is %s" % (
                        os.path.relpath(page, SOURCE), number, written, os.environ["HOOK_HOST_VERSION"]))


def check(block):
    """What the block is: 'file', 'run', 'output' or 'shown', by the rules above; a block the rules
    cannot place fails the page, so that no example escapes its test."""
    if "not-run" in block.keys:
        if not block.keys["not-run"]:
            block.fail("not-run needs its reason: not-run=\"...\"")
        return "shown"
    if "output" in block.keys:
        return "output"
    if "file" in block.keys:
        return "file"
    if not block.language:
        if block.keys:
            block.fail("a block without a language is shown only: it takes no marker but output")
        return "shown"
    if block.language in FILES:
        block.fail("a %s block is a file: name it (file=NAME), or say why it is not run (not-run=...)" %
                   block.language)
    if block.language not in RUNNERS:
        block.fail("no way to run a %r block (%s run; %s are files): mark it not-run=WHY" %
                   (block.language, ", ".join(RUNNERS), ", ".join(FILES)))
    return "run"


def runs_here(block, kind):
    """Whether the block is for this build: its platforms, or its preset's build folder."""
    if "preset" in block.keys:
        return os.path.realpath(BUILD) == os.path.realpath(os.path.join(SOURCE, "build", block.keys["preset"]))
    where = block.keys.get("on", ",".join(PLATFORMS) if kind == "file" else "linux").split(",")
    for name in where:
        if name not in PLATFORMS:
            block.fail("unknown platform %r (known: %s)" % (name, ", ".join(PLATFORMS)))
    return PLATFORM in where


def run(command, **options):
    """Runs `command`, which must succeed; what it wrote on standard output. An example that runs out
    of time is ended with whatever it started (a host left waiting), which would outlive the test."""
    with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          start_new_session=True, **options) as process:
        try:
            output, errors = process.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            raise
    result = subprocess.CompletedProcess(command, process.returncode, output, errors)
    if result.returncode != 0:
        raise RuntimeError("%s ended with %d\n--- output:\n%s\n--- errors:\n%s" % (
            shlex.join(command), result.returncode, result.stdout.decode(errors="replace")[-4000:],
            result.stderr.decode(errors="replace")[-4000:]))
    return result.stdout.decode(errors="replace")


# The Wine prefix that the pages' set-up line names, in HOME.
WINE_PREFIX = ".wine-hook-host"


def install(home):
    """~/hook_host as the rules say, and for Windows ~/.wine-hook-host with its server started."""
    prefix = os.path.join(home, "hook_host")
    host_bin = os.environ["HOOK_HOST_BIN"]
    if PLATFORM == "linux":
        run([os.environ["CMAKE_COMMAND"], "--install", BUILD, "--prefix", prefix])
        shutil.copy(os.path.join(host_bin, "libTeskShellHook64.so"), os.path.join(prefix, "bin"))
        return
    run([os.environ["CMAKE_COMMAND"], "--install", BUILD, "--prefix", prefix, "--component", "programs"])
    if PLATFORM == "windows-x86":
        os.makedirs(os.path.join(prefix, "try"), exist_ok=True)
        for name in ("TeskShellHook64.dll", "hook_host.exe"):
            shutil.copy(os.path.join(host_bin, name), os.path.join(prefix, "try"))
    os.symlink(os.path.join(BUILD, "wine"), os.path.join(home, WINE_PREFIX))
    run([os.environ["HOOK_HOST_RUN"], "--make-prefix"])


def environment(home):
    """The environment a page's first block starts from: the test's own, less Wine's settings."""
    return dict({name: value for name, value in os.environ.items() if not name.startswith("WINE")}, HOME=home,
                PYTHONPATH=os.path.join(SOURCE, "bindings", "python"),
                LD_LIBRARY_PATH=os.path.join(home, "hook_host", "lib"))


def exported(path):
    """The environment that `env -0` wrote to `path`."""
    with open(path, "rb") as text:
        return dict(entry.decode().split("=", 1) for entry in text.read().split(b"\0") if b"=" in entry)


def execute(block, home, session):
    """Runs one example in the environment `session`; what it wrote on standard output. A command
    block's exports are kept in `session` for the blocks after it."""
    arguments = [home + word[1:] if word.startswith("~") else word for word in shlex.split(block.keys.get("args", ""))]
    options = dict(cwd=home, env=session)
    if block.language == "sh":
        if "preset" in block.keys:
            options["cwd"] = SOURCE
        left = os.path.join(home, ".example.env")
        # What the block exported, written as its shell ends, whatever its status.
        output = run(["/bin/sh", "-c", "trap 'env -0 >\"$0\"' EXIT\n" + block.text, left], **options)
        session.clear()
        session.update(exported(left))
        return output
    if block.language == "python":
        script = os.path.join(home, ".example.py")
        with open(script, "w") as text:
            text.write(block.text)
        return run([sys.executable, script] + arguments, **options)
    program = os.path.join(home, ".example.exe")
    source = os.path.join(home, ".example.cs")
    with open(source, "w") as text:
        text.write(block.text)
    run([os.environ["HOOK_HOST_MCS"], "-langversion:7", "-warn:4", "-warnaserror", "-nologo", "-out:" + program,
         source, os.path.join(SOURCE, "bindings", "dotnet", "HookControl.cs")], **options)
    return run([os.environ["HOOK_HOST_MONO"], program] + arguments, **options)


def matches(expected, output):
    """Whether `output`'s lines are `expected`'s, where a line `...` stands for any number of lines."""
    def match(want, got):
        if not want:
            return not got
        if want[0] == "...":
            return any(match(want[1:], got[start:]) for start in range(len(got) + 1))
        return bool(got) and got[0] == want[0] and match(want[1:], got[1:])
    return match(expected.rstrip("\n").split("\n"), output.replace("\r\n", "\n").rstrip("\n").split("\n"))


def main(page):
    check_versions(page)
    home = tempfile.mkdtemp(prefix="hook_host_docs.")
    try:
        installed = False
        session = environment(home)
        output = None  # what the block before wrote, where it was an example that ran
        for block in blocks(page):
            kind = check(block)
            before, output = output, None
            if kind == "shown":
                if "not-run" in block.keys:
                    print("%s: not run: %s" % (block.where, block.keys["not-run"]))
                continue
            if kind == "output":
                if before is None:
                    print("%s: the output of an example that did not run here" % block.where)
                    continue
                if not matches(block.text, before):
                    block.fail("the example before printed otherwise:\n%s" % before)
                print("%s: output as shown" % block.where)
                continue
            if not runs_here(block, kind):
                print("%s: for %s, not this build" % (block.where, block.keys.get("preset") or block.keys.get(
                    "on", "every build" if kind == "file" else "linux")))
                continue
            if kind == "file":
                path = os.path.join(home, block.keys["file"])
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as text:
                    text.write(block.text)
                print("%s: written as %s" % (block.where, block.keys["file"]))
                continue
            if not installed:
                install(home)
                installed = True
            try:
                output = execute(block, home, session)
            except (RuntimeError, subprocess.TimeoutExpired) as error:
                block.fail("the %s example failed: %s" % (block.language, error))
            print("%s: ran (%s)" % (block.where, block.language))
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1])
