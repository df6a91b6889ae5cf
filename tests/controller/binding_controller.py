"""A controller for the end-to-end tests, built on the Python binding alone (the package hook_control,
found on sys.path): it takes one command a line on standard input and answers each with one line, as the C#
one (BindingController.cs) does, so that one test drives both bindings.

  start PATH NUMBER [outlive]   ok PID          report SECONDS|none     ok NUMBER
  close STATUS                  ok              wait SECONDS|none       ok STATUS
  pid                           ok PID          release                 ok
  drop                          ok (the host is let go of without release, and collected)
  post PID KIND WPARAM LPARAM   ok              text STATUS             ok TEXT

and the asynchronous wait's, each in an asyncio loop of its own:

  wait-async SECONDS            ok STATUS (or "timeout", the wait cancelled at its time-out)
  close-async STATUS            ok STATUS MS TICKS: closes, then waits asynchronously; MS from the
                                close's post to the status, TICKS how often the caller's own work ran
  release-while-waiting         what an asynchronous wait ends with when the host is released 0.1 s into it
  watch-many PATH COUNT         ok STATUS... THREADS: COUNT more hosts waited for at once, each closed
                                with its place (1, 2, ...); THREADS made while the waits were begun.
                                Meanwhile the loop's executor, of one thread, runs a call.

and, for the Python binding alone:

  wait-async-twice STATUS       ok STATUS STATUS: waits asynchronously from two threads' loops at once,
                                and closes the host with STATUS meanwhile
  abandon-wait                  ok: leaves a wait pending in a loop that is closed
  fork-release                  what the host's wait(0) gives in a forked child, which then exits the
                                ordinary way, its Host collected (the child answers)
  collect-cycles PATH ROUNDS    ok: ROUNDS times drops an application's object that holds a host in a
                                reference cycle, while another host is awaited briefly and released,
                                with the collector made to run at each allocation of those in turn
  release-racing-waits PATH ROUNDS
                                ok ROUNDS: ROUNDS hosts each awaited on a loop in another thread
                                while this one releases it, each wait ended with ValueError

Any command may answer "timeout TEXT", "gone TEXT", "failed TEXT", or "invalid TEXT" for arguments
the binding refuses. A start releases the host before it.
"""
import asyncio
import concurrent.futures
import gc
import os
import sys
import threading
import time

import hook_control


def seconds(word):
    return None if word == "none" else float(word)


def threads():
    return len(os.listdir("/proc/self/task"))


async def close_async(host, status):
    ticks = 0

    async def tick():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.01)
            ticks += 1

    ticker = asyncio.ensure_future(tick())
    try:
        posted = time.monotonic()
        host.close(status)
        ended = await host.wait_async()
        took = time.monotonic() - posted
    finally:
        ticker.cancel()
    return "ok %d %d %d" % (ended, took * 1000, ticks)


async def release_while_waiting(host):
    waiting = asyncio.ensure_future(host.wait_async())
    await asyncio.sleep(0.1)
    host.release()
    return "ok %d" % await asyncio.wait_for(waiting, 10)


async def watch_many(path, count):
    hosts = []
    loop = asyncio.get_running_loop()
    loop.set_default_executor(concurrent.futures.ThreadPoolExecutor(max_workers=1))
    try:
        for _ in range(count):
            hosts.append(hook_control.start(path, 1))
            hosts[-1].wait_report(10)
        before = threads()
        waits = [asyncio.ensure_future(host.wait_async()) for host in hosts]
        await asyncio.sleep(0.1)  # each is waiting
        made = threads() - before
        await asyncio.wait_for(loop.run_in_executor(None, time.sleep, 0), 5)  # the executor is free
        for place, host in enumerate(hosts, 1):
            host.close(place)
        statuses = await asyncio.wait_for(asyncio.gather(*waits), 10)
    finally:
        for host in hosts:
            host.release()
    return "ok %s %d" % (" ".join(map(str, statuses)), made)


def wait_async_twice(host, status):
    seen = []
    waiting = [threading.Thread(target=lambda: seen.append(asyncio.run(asyncio.wait_for(host.wait_async(), 10))))
               for _ in range(2)]
    for thread in waiting:
        thread.start()
    time.sleep(0.2)
    host.close(status)
    for thread in waiting:
        thread.join()
    return "ok " + " ".join(map(str, seen))


def abandon_wait(host):
    loop = asyncio.new_event_loop()
    loop.create_task(host.wait_async())
    loop.run_until_complete(asyncio.sleep(0.1))
    loop.close()
    return "ok"


def fork_release(host):
    child = os.fork()
    if child:
        os.waitpid(child, 0)
        return None
    try:
        answer = "ok %d" % host.wait(0)
    except hook_control.Error as error:
        answer = "failed %s" % error
    print(answer, flush=True)
    sys.exit()  # as a worker ends: the Host is collected on the way out


class Application:
    """An application's object whose callback refers to itself, as a bound method does: a reference
    cycle that only the collector frees, with the Host in it."""

    def __init__(self, path):
        self.host = hook_control.start(path, 1)
        self.on_end = self.ended

    def ended(self):
        pass


async def briefly_awaited(host):
    try:
        await asyncio.wait_for(host.wait_async(), 0.001)
    except asyncio.TimeoutError:
        pass


def collect_after(allocations):
    """Lets the collector run once `allocations` more objects that it tracks have been made."""
    gc.set_threshold(gc.get_count()[0] + allocations)
    gc.enable()


def collect_cycles(path, rounds):
    # With the collector held off, a dropped Application is left to the next collection, which comes
    # at each allocation of the next call in turn, round by round.
    thresholds = gc.get_threshold()
    try:
        for place in range(rounds):
            gc.disable()
            application = Application(path)
            with hook_control.start(path, 1) as host:
                application = None
                collect_after(1 + place % 12)
                asyncio.run(briefly_awaited(host))
                gc.disable()
                application = Application(path)
                application = None
                collect_after(1 + place % 12)
    finally:
        gc.set_threshold(*thresholds)
        gc.enable()
    return "ok"


def await_on_own_loop(host, outcome):
    try:
        outcome.append(asyncio.run(asyncio.wait_for(host.wait_async(), 10)))
    except ValueError:
        outcome.append("released")
    except Exception as error:  # anything else is the fault asked about
        outcome.append(error)


def release_racing_waits(path, rounds):
    for place in range(rounds):
        host = hook_control.start(path, 1)
        outcome = []
        waiting = threading.Thread(target=await_on_own_loop, args=(host, outcome))
        waiting.start()
        time.sleep(place % 7 / 10000)  # now before the watch, now after
        host.release()
        waiting.join()
        if outcome != ["released"]:
            return "failed round %d: the wait gave %r" % (place, outcome)
    return "ok %d" % rounds


def main():
    host = None
    for line in sys.stdin:
        words = line.split()
        try:
            if words[0] == "start":
                if host is not None:
                    host.release()
                host = hook_control.start(words[1], int(words[2]), outlive=words[3:] == ["outlive"])
                answer = "ok %d" % host.pid
            elif words[0] == "report":
                answer = "ok %d" % host.wait_report(seconds(words[1]))
            elif words[0] == "close":
                host.close(int(words[1]))
                answer = "ok"
            elif words[0] == "wait":
                answer = "ok %d" % host.wait(seconds(words[1]))
            elif words[0] == "pid":
                answer = "ok %d" % host.pid
            elif words[0] == "release":
                host.release()
                answer = "ok"
            elif words[0] == "drop":
                host = None
                gc.collect()
                answer = "ok"
            elif words[0] == "wait-async":
                answer = "ok %d" % asyncio.run(asyncio.wait_for(host.wait_async(), seconds(words[1])))
            elif words[0] == "close-async":
                answer = asyncio.run(close_async(host, int(words[1])))
            elif words[0] == "release-while-waiting":
                answer = asyncio.run(release_while_waiting(host))
            elif words[0] == "watch-many":
                answer = asyncio.run(watch_many(words[1], int(words[2])))
            elif words[0] == "wait-async-twice":
                answer = wait_async_twice(host, int(words[1]))
            elif words[0] == "abandon-wait":
                answer = abandon_wait(host)
            elif words[0] == "fork-release":
                answer = fork_release(host)
                if answer is None:  # the child answered
                    continue
            elif words[0] == "collect-cycles":
                answer = collect_cycles(words[1], int(words[2]))
            elif words[0] == "release-racing-waits":
                answer = release_racing_waits(words[1], int(words[2]))
            elif words[0] == "text":
                answer = "ok " + hook_control.status_text(int(words[1]))
            elif words[0] == "post":
                hook_control.post(*(int(word, 0) for word in words[1:5]))
                answer = "ok"
            else:
                answer = "invalid no such command"
        except (TimeoutError, asyncio.TimeoutError) as error:
            answer = "timeout %s" % error
        except hook_control.Error as error:
            answer = "%s %s" % ("gone" if isinstance(error, hook_control.Gone) else "failed", error)
        except (TypeError, ValueError) as error:
            answer = "invalid %s" % error
        print(answer, flush=True)


if __name__ == "__main__":
    main()
