#!/usr/bin/env python3
"""The hook host against the yardstick, the least C program of its design, side by side in one run.

On this machine: start-up (spawn to report line readable on a pipe), idle cost (CPU time per 100 ms
cycle, from /proc/<pid>/schedstat), peak resident memory, and close latency (WM_CLOSE posted at random
phases). Under Wine, the Windows executables: close latency and start-up as a Windows controller sees
them, and the executable's size and imports. And what hook_control adds to a start:
the time from the start to the report line read through it, against a plain start of the same host,
here (from a small controller and from one with 1 GiB touched, side by side), and under Wine from a
64-bit and from a 32-bit controller. And under Wine, the wait of a call sent to the program's main
thread: each program beside the example hook library, its low-level keyboard hook's calls made by
SendInput at random phases of the poll. And under Wine, the 32-bit host against the 32-bit yardstick:
start-up and close latency as a 32-bit Windows controller sees them, idle cost and peak memory of the
process that Wine runs each in, and the executable's size. Prints the figures; writes figures.csv,
figures_x86.csv, start_costs.csv, close_latencies.csv, hook_call_waits.csv and close_latencies.png
(gnuplot) to the results folder; with --only-x86, the 32-bit figures alone.
"""
import argparse
import csv
import math
import os
import platform
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "protocol"))
from hook_host_protocol import WM_CLOSE, datagram, queue_address  # noqa: E402 (after its path)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = ("hook_host", "yardstick")
CYCLE_MS = 100
SLACK_MS = 10  # what scheduling may add to a close's 100 to 200 ms
TARGETS = {"start-up": 1.3, "idle cost": 1.3, "peak memory": 1.3, "executable size": 1.5}
ADDED_HERE_MS, ADDED_UNDER_WINE = 1.0, 0.1  # what hook_control may add: ms here, a share of a start under Wine
# The 32-bit host and its yardstick, both bound to the 32-bit stand-in hook library; its goal is the one
# the 64-bit host has come to meet.
PROGRAMS_X86 = ("hook_host32", "yardstick")
TARGETS_X86 = {"start-up, Wine": 1.1, "idle cost, Wine": 1.1, "peak memory, Wine": 1.1, "executable size": 1.1}


def start(path):
    """Starts a program with the argument 1; returns it and the seconds until its line could be read."""
    started = time.perf_counter()
    process = subprocess.Popen([path, "1"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    line = b""
    while not line.endswith(b"\n"):
        byte = os.read(process.stdout.fileno(), 1)
        if not byte:
            sys.exit("bench: %s ended before its report line" % path)
        line += byte
    return process, time.perf_counter() - started


def post_close(process, status=0):
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
        sender.sendto(datagram(WM_CLOSE, status), queue_address(process.pid))


def end(process):
    """Waits for a program to end; returns its exit status."""
    status = process.wait()
    process.stdout.close()
    return status


def status_field(pid, field):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def start_up(paths, runs):
    """Median seconds from spawn to a readable report line, the programs taken in turn."""
    times = {name: [] for name in paths}
    for _ in range(runs):
        for name, path in paths.items():
            process, seconds = start(path)
            process.kill()
            end(process)
            times[name].append(seconds)
    return {name: statistics.median(values) for name, values in times.items()}


def cpu_and_cycles(pid):
    """CPU nanoseconds so far, and cycles so far: each cycle's pause is one voluntary switch."""
    with open("/proc/%d/schedstat" % pid) as schedstat:
        cpu_ns = int(schedstat.read().split()[0])
    return cpu_ns, status_field(pid, "voluntary_ctxt_switches")


def idle_cost_and_memory(paths, seconds):
    """CPU seconds per cycle over `seconds` of idling, and peak resident KiB, the programs side by side."""
    processes = {name: start(path)[0] for name, path in paths.items()}
    time.sleep(1)
    before = {name: cpu_and_cycles(process.pid) for name, process in processes.items()}
    time.sleep(seconds)
    after = {name: cpu_and_cycles(process.pid) for name, process in processes.items()}
    cost, memory = {}, {}
    for name, process in processes.items():
        cost[name] = (after[name][0] - before[name][0]) / 1e9 / (after[name][1] - before[name][1])
        # The high-water mark of the program's own image (what a parent's rusage would mix with its own).
        memory[name] = status_field(process.pid, "VmHWM")
        post_close(process)
        status = end(process)
        if status != 0:
            sys.exit("bench: %s ended with %d" % (name, status))
    return cost, memory


def close_latencies_here(paths, samples):
    """Seconds from posting WM_CLOSE at a random phase until the process has ended."""
    latencies = {name: [] for name in paths}
    for _ in range(samples):
        for name, path in paths.items():
            process, _ = start(path)
            time.sleep(random.uniform(0.2, 0.3))
            posted = time.perf_counter()
            post_close(process)
            end(process)
            latencies[name].append(time.perf_counter() - posted)
    return latencies


def under_wine(windows_bin, samples, programs=PROGRAMS):
    """Start-up and close latencies of the Windows executables, timed by a controller of the same build
    inside Wine."""
    run = os.path.join(os.path.dirname(windows_bin), "wine-run")
    startups, latencies = {}, {}
    for name in programs:
        output = subprocess.run([run, os.path.join(windows_bin, "bench_controller.exe"), str(samples),
                                 windows_path(os.path.join(windows_bin, name + ".exe"))],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, check=True).stdout
        rows = [line.split() for line in output.splitlines()]
        if len(rows) != samples or any(status != "0" for _, _, status in rows):
            sys.exit("bench: under Wine, %s did not close as asked: %r" % (name, output[-500:]))
        startups[name] = statistics.median(float(startup) / 1000 for startup, _, _ in rows)
        latencies[name] = [float(latency) / 1000 for _, latency, _ in rows]
    return startups, latencies


def task_cpu_ns(pid):
    """CPU nanoseconds so far of all the process's threads (under Wine a program has several)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as schedstat:
            total += int(schedstat.read().split()[0])
    return total


def idle_under_wine(windows_bin, seconds, programs):
    """CPU seconds per 100 ms cycle over `seconds` of idling, and peak resident KiB, of the Linux process
    that Wine runs each program in, the programs side by side; each is then closed by the build's close
    tool, given the Windows process id that the stand-in hook library records."""
    run = os.path.join(os.path.dirname(windows_bin), "wine-run")
    with tempfile.TemporaryDirectory(prefix="bench_idle.") as folder:
        processes, records = {}, {}
        for name in programs:
            records[name] = os.path.join(folder, name + ".record")
            environment = dict(os.environ, TESK_STAND_IN_RECORD=windows_path(records[name]))
            processes[name] = subprocess.Popen([run, os.path.join(windows_bin, name + ".exe"), "1"],
                                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=environment)
            if not processes[name].stdout.readline().startswith(b"Adding hook for 1"):
                sys.exit("bench: under Wine, %s ended before its report line" % name)
        time.sleep(2)
        before = {name: task_cpu_ns(process.pid) for name, process in processes.items()}
        time.sleep(seconds)
        after = {name: task_cpu_ns(process.pid) for name, process in processes.items()}
        cost, memory = {}, {}
        for name, process in processes.items():
            cost[name] = (after[name] - before[name]) / 1e9 / (seconds * 1000 / CYCLE_MS)
            memory[name] = status_field(process.pid, "VmHWM")
            with open(records[name]) as record:
                pid = record.readline().split()[2]
            subprocess.run([run, os.path.join(windows_bin, "hook_close.exe"), pid, "0"], check=True)
            if end(process) != 0:
                sys.exit("bench: under Wine, %s did not close as asked" % name)
    return cost, memory


def x86_figures(x86_bin, samples, idle_seconds):
    """The 32-bit host against the 32-bit yardstick under Wine; and every close latency, for the CSV."""
    startup, latencies = under_wine(x86_bin, samples, PROGRAMS_X86)
    idle, memory = idle_under_wine(x86_bin, idle_seconds, PROGRAMS_X86)
    figures = [("start-up, Wine", "ms", {n: v * 1000 for n, v in startup.items()}),
               ("idle cost, Wine", "us CPU per cycle", {n: v * 1e6 for n, v in idle.items()}),
               ("peak memory, Wine", "KiB resident", memory)]
    spreads = {name: spread(latencies[name]) for name in PROGRAMS_X86}
    for key in ("min", "median", "p99", "max"):
        figures.append(("close latency %s, Wine" % key, "ms", {n: s[key] for n, s in spreads.items()}))
    figures.append(("closes inside %d-%d ms, Wine" % (CYCLE_MS, 2 * CYCLE_MS + SLACK_MS), "share",
                    {n: s["inside"] for n, s in spreads.items()}))
    figures.append(("executable size", "bytes",
                    {n: os.path.getsize(os.path.join(x86_bin, n + ".exe")) for n in PROGRAMS_X86}))
    return figures, latencies


def runs_x86():
    """Whether this machine runs 32-bit programs: a kernel without IA32 emulation refuses Wine's 32-bit
    loader ("Exec format error"), and with it every 32-bit Windows program."""
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True).returncode == 0
    except OSError:
        return False


def print_figures(path, figures, programs, targets):
    """Prints the figures side by side, the ratio and its target, and writes them to `path`."""
    print("\n%-34s %-18s %12s %12s %7s  %s" % (("figure", "unit") + programs + ("ratio", "target")))
    with open(path, "w", newline="") as table:
        writer = csv.writer(table)
        writer.writerow(["figure", "unit", *programs, "ratio", "target"])
        for figure, unit, values in figures:
            ours, theirs = values[programs[0]], values[programs[1]]
            ratio = ours / theirs if theirs else float("nan")
            target = targets.get(figure)
            if figure.startswith(("closes inside", "hook calls inside")):
                verdict = "all of ours %s" % ("met" if ours == 1 else "MISSED")
            else:
                verdict = "" if target is None else "<= %g %s" % (target, "met" if ratio <= target else "MISSED")
            print("%-34s %-18s %12.4g %12.4g %7.3f  %s" % (figure, unit, ours, theirs, ratio, verdict))
            writer.writerow([figure, unit, "%.6g" % ours, "%.6g" % theirs, "%.4f" % ratio, target or ""])


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def start_costs(builds, runs):
    """Median ms from a start to the report line read, plainly and through hook_control, for each build's
    controller, each starting the host of its platform."""
    costs = {}
    for where, (run, controller, host, *memory) in builds.items():
        output = subprocess.run(run + [controller, str(runs), host] + memory, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, check=True).stdout
        rows = [tuple(float(value) for value in line.split()) for line in output.splitlines()]
        costs[where] = (statistics.median(plain for plain, _ in rows), statistics.median(ours for _, ours in rows))
    return costs


def hook_call_waits(windows_bin, presses):
    """Under Wine, ms that each SendInput waited for the program's main thread to answer its low-level
    keyboard hook: each program placed beside the example hook library (kind 3, WH_KEYBOARD_LL), the
    calls at random phases of its poll (tests/real_hook/send_keys.exe, up to a cycle between calls)."""
    run = [os.path.join(os.path.dirname(windows_bin), "wine-run")]
    waits = {}
    for name in PROGRAMS:
        with tempfile.TemporaryDirectory(prefix="bench_hook.") as folder:
            program = shutil.copy(os.path.join(windows_bin, name + ".exe"), folder)
            shutil.copy(os.path.join(windows_bin, "example_hook", "TeskShellHook64.dll"), folder)
            process = subprocess.Popen(run + [program, "3"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
            pid = installed(process, os.path.join(folder, "hook_calls.txt"))
            # Into a file: a fresh Wine session's desktop process, started from it, would hold a pipe.
            with tempfile.TemporaryFile() as output:
                subprocess.run(run + [os.path.join(windows_bin, "send_keys.exe"), str(presses), str(CYCLE_MS)],
                               stdin=subprocess.DEVNULL, stdout=output, check=True)
                output.seek(0)
                waits[name] = [float(line.split()[1]) / 1000 for line in output.read().decode().splitlines()]
            subprocess.run(run + [os.path.join(windows_bin, "hook_close.exe"), str(pid), "0"], check=True)
            if end(process) != 0:
                sys.exit("bench: %s did not close as asked" % name)
    return waits


def installed(process, record, timeout=30):
    """The Windows process id from the example library's line for its installation call."""
    line = b""
    while not line.endswith(b"\n"):
        byte = os.read(process.stdout.fileno(), 1)
        if not byte:
            sys.exit("bench: a program beside the example hook library ended before its report line")
        line += byte
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(record):
            with open(record) as calls:
                first = calls.readline().split()
            if first[2:3] == ["SetTeskShellHook"]:
                return int(first[0])
        time.sleep(0.01)
    sys.exit("bench: the example hook library was not called")


def hook_call_figures(waits):
    """The rows of figures.csv for the waits of the hook's calls: one pause (100 ms) at most, and
    10 ms of scheduling."""
    spreads = {name: spread(values, low_ms=0, high_ms=CYCLE_MS + SLACK_MS) for name, values in waits.items()}
    rows = [("hook call wait %s, Wine" % key, "ms", {n: s[key] for n, s in spreads.items()})
            for key in ("min", "median", "p99", "max")]
    rows.append(("hook calls inside 0-%d ms, Wine" % (CYCLE_MS + SLACK_MS), "share",
                 {n: s["inside"] for n, s in spreads.items()}))
    return rows


def write_hook_call_waits(results, waits):
    with open(os.path.join(results, "hook_call_waits.csv"), "w", newline="") as samples:
        writer = csv.writer(samples)
        writer.writerow(["program", "wait_ms"])
        for name in PROGRAMS:
            writer.writerows([name, "%.3f" % (value * 1000)] for value in waits[name])


def spread(latencies, low_ms=CYCLE_MS, high_ms=2 * CYCLE_MS + SLACK_MS):
    ordered = sorted(latencies)
    ms = [value * 1000 for value in ordered]
    inside = sum(low_ms <= value <= high_ms for value in ms) / len(ms)
    return {"min": ms[0], "median": statistics.median(ms), "p99": ms[math.ceil(0.99 * len(ms)) - 1],
            "max": ms[-1], "inside": inside}


def machine():
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "?")
    wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
    return "%s, %d cores, Linux %s, %s" % (model, os.cpu_count(), platform.release(), wine or "no Wine")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--linux", default=os.path.join(ROOT, "build", "linux", "bin"), help="this machine's build")
    parser.add_argument("--windows", default=os.path.join(ROOT, "build", "windows", "bin"), help="the Windows build")
    parser.add_argument("--windows-x86", default=os.path.join(ROOT, "build", "windows-x86", "bin"),
                        help="the 32-bit Windows build")
    parser.add_argument("--runs", type=int, default=30, help="start-ups of each program")
    parser.add_argument("--samples", type=int, default=100, help="closes of each program, here and under Wine")
    parser.add_argument("--idle-seconds", type=float, default=10)
    parser.add_argument("--presses", type=int, default=100, help="key presses sent to each program's hook")
    parser.add_argument("--results", default=os.path.join(ROOT, "bench", "results"))
    parser.add_argument("--only-x86", action="store_true", help="the 32-bit host against its yardstick alone")
    options = parser.parse_args()
    os.makedirs(options.results, exist_ok=True)
    x86_programs = [os.path.join(options.windows_x86, name) for name in (
        "hook_host32.exe", "yardstick.exe", "bench_controller.exe", "hook_close.exe", "TeskShellHook32.dll")]
    for path in x86_programs:
        if not os.path.exists(path):
            sys.exit("bench: %s is not built; bench/run builds the presets first" % path)
    x86 = runs_x86()
    if not x86:
        print("bench: this machine runs no 32-bit program; the 32-bit host is not measured", flush=True)
    if options.only_x86:
        if not x86:
            sys.exit("bench: nothing to measure")
        print("machine:", machine(), flush=True)
        print("the 32-bit host under Wine: %d closes, %g s idle..." % (options.samples, options.idle_seconds), flush=True)
        figures_x86, _ = x86_figures(options.windows_x86, options.samples, options.idle_seconds)
        print_figures(os.path.join(options.results, "figures_x86.csv"), figures_x86, PROGRAMS_X86, TARGETS_X86)
        return
    here = {name: os.path.join(options.linux, name) for name in PROGRAMS}
    exes = {name: os.path.join(options.windows, name + ".exe") for name in PROGRAMS}
    windows_host = windows_path(exes["hook_host"])
    controllers = {
        "here": ([], os.path.join(options.linux, "start_cost"), here["hook_host"]),
        "here, 1 GiB touched": ([], os.path.join(options.linux, "start_cost"), here["hook_host"], "1024"),
        "Wine, 64-bit controller": ([os.path.join(options.windows, "..", "wine-run")],
                                    os.path.join(options.windows, "start_cost.exe"), windows_host),
        "Wine, 32-bit controller": ([os.path.join(options.windows_x86, "..", "wine-run")],
                                    os.path.join(options.windows_x86, "start_cost.exe"), windows_host)}
    if not x86:
        del controllers["Wine, 32-bit controller"]
    for path in list(here.values()) + list(exes.values()) + [c for _, c, *_ in controllers.values()] + [
            os.path.join(options.windows, "example_hook", "TeskShellHook64.dll"),
            os.path.join(options.windows, "send_keys.exe")]:
        if not os.path.exists(path):
            sys.exit("bench: %s is not built; bench/run builds both presets first" % path)

    print("machine:", machine(), flush=True)
    print("timing start-ups...", flush=True)
    startup = start_up(here, options.runs)
    print("idling %g s..." % options.idle_seconds, flush=True)
    idle, memory = idle_cost_and_memory(here, options.idle_seconds)
    print("closing %d times each here..." % options.samples, flush=True)
    latencies_here = close_latencies_here(here, options.samples)
    print("closing %d times each under Wine..." % options.samples, flush=True)
    wine_startup, latencies_wine = under_wine(options.windows, options.samples)
    print("starting %d times each, plainly and through hook_control..." % options.runs, flush=True)
    costs = start_costs(controllers, options.runs)
    print("sending %d key presses to each program's hook under Wine..." % options.presses, flush=True)
    waits = hook_call_waits(options.windows, options.presses)
    figures_x86, latencies_x86 = [], {}
    if x86:
        print("the 32-bit host under Wine: %d closes, %g s idle..." % (options.samples, options.idle_seconds),
              flush=True)
        figures_x86, latencies_x86 = x86_figures(options.windows_x86, options.samples, options.idle_seconds)

    figures = [("start-up", "ms", {n: v * 1000 for n, v in startup.items()}),
               ("idle cost", "us CPU per cycle", {n: v * 1e6 for n, v in idle.items()}),
               ("peak memory", "KiB resident", memory)]
    for where, latencies in (("here", latencies_here), ("Wine", latencies_wine)):
        spreads = {name: spread(latencies[name]) for name in PROGRAMS}
        for key in ("min", "median", "p99", "max"):
            figures.append(("close latency %s, %s" % (key, where), "ms", {n: s[key] for n, s in spreads.items()}))
        figures.append(("closes inside %d-%d ms, %s" % (CYCLE_MS, 2 * CYCLE_MS + SLACK_MS, where), "share",
                        {n: s["inside"] for n, s in spreads.items()}))
    figures.extend(hook_call_figures(waits))
    figures.append(("start-up, Wine", "ms", {n: v * 1000 for n, v in wine_startup.items()}))
    figures.append(("executable size", "bytes", {n: os.path.getsize(p) for n, p in exes.items()}))
    imports = {name: pefile.PE(path).DIRECTORY_ENTRY_IMPORT for name, path in exes.items()}
    figures.append(("imported DLLs", "count", {n: len(i) for n, i in imports.items()}))
    figures.append(("imported functions", "count", {n: sum(len(dll.imports) for dll in i) for n, i in imports.items()}))

    print_figures(os.path.join(options.results, "figures.csv"), figures, PROGRAMS, TARGETS)
    if x86:
        print_figures(os.path.join(options.results, "figures_x86.csv"), figures_x86, PROGRAMS_X86, TARGETS_X86)

    print("\n%-34s %-18s %12s %12s %7s  %s" % ("start to report line", "unit", "plain", "hook_control", "added",
                                                "target"))
    with open(os.path.join(options.results, "start_costs.csv"), "w", newline="") as table:
        writer = csv.writer(table)
        writer.writerow(["where", "unit", "plain", "hook_control", "added"])
        for where, (plain, ours) in costs.items():
            added = ours - plain
            limit = ADDED_HERE_MS if where.startswith("here") else ADDED_UNDER_WINE * plain
            print("%-34s %-18s %12.4g %12.4g %7.3f  <= %.3g %s" % (where, "ms", plain, ours, added, limit,
                                                                 "met" if added <= limit else "MISSED"))
            writer.writerow([where, "ms", "%.4f" % plain, "%.4f" % ours, "%.4f" % added])

    write_hook_call_waits(options.results, waits)
    data = os.path.join(options.results, "close_latencies.csv")
    with open(data, "w", newline="") as samples:
        writer = csv.writer(samples)
        writer.writerow(["where", "program", "latency_ms"])
        for where, latencies in (("here", latencies_here), ("Wine", latencies_wine), ("Wine, 32-bit", latencies_x86)):
            for name in latencies:
                writer.writerows([where, name, "%.3f" % (value * 1000)] for value in latencies[name])
    plot(data, os.path.join(options.results, "close_latencies.png"))


def plot(data, image):
    script = """
set terminal pngcairo noenhanced size 900,420 font ",10"
set output '%(image)s'
set datafile separator ','
set multiplot layout 1,2 title 'Close latency: WM_CLOSE posted at a random phase until the process ended'
set xrange [80:240]
set yrange [0:*]
set xlabel 'ms'
set ylabel 'closes per 5 ms'
set style fill transparent solid 0.45 noborder
set object 1 rect from 100, graph 0 to %(edge)d, graph 1 behind fillcolor rgb '#eeeeee' fillstyle solid noborder
bin(x) = 5 * floor(x / 5) + 2.5
do for [where in 'here Wine'] {
  set title where eq 'here' ? 'this machine' : 'Windows executables under Wine'
  plot '%(data)s' every ::1 using (bin($3)):(strcol(1) eq where && strcol(2) eq 'hook_host' ? 1 : 0) \\
         smooth frequency with boxes title 'hook_host', \\
       '' every ::1 using (bin($3)):(strcol(1) eq where && strcol(2) eq 'yardstick' ? 1 : 0) \\
         smooth frequency with boxes title 'yardstick'
}
unset multiplot
""" % {"image": image, "data": data, "edge": 2 * CYCLE_MS + SLACK_MS}
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    except FileNotFoundError:
        sys.exit("bench: gnuplot is not installed (apt-get install gnuplot-nox); the CSVs are written")


if __name__ == "__main__":
    main()
