"""A controller for the end-to-end tests, built on the Python binding alone (the package hook_control,
found on sys.path): it takes one command a line on standard input and answers each with one line, as the C#
one (BindingController.cs) does, so that one test drives both bindings.

  start PATH NUMBER [outlive]   ok PID          report SECONDS|none     ok NUMBER
  close STATUS                  ok              wait SECONDS|none       ok STATUS
  pid                           ok PID          release                 ok
  drop                          ok (the host is let go of without release, and collected)
  post PID KIND WPARAM LPARAM   ok              text STATUS             ok TEXT

Any command may answer "timeout TEXT", "gone TEXT", "failed TEXT", or "invalid TEXT" for arguments
the binding refuses. A start releases the host before it.
"""
import gc
import sys

import hook_control


def seconds(word):
    return None if word == "none" else float(word)


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
            elif words[0] == "text":
                answer = "ok " + hook_control.status_text(int(words[1]))
            elif words[0] == "post":
                hook_control.post(*(int(word, 0) for word in words[1:5]))
                answer = "ok"
            else:
                answer = "invalid no such command"
        except TimeoutError as error:
            answer = "timeout %s" % error
        except hook_control.Error as error:
            answer = "%s %s" % ("gone" if isinstance(error, hook_control.Gone) else "failed", error)
        except (TypeError, ValueError) as error:
            answer = "invalid %s" % error
        print(answer, flush=True)


if __name__ == "__main__":
    main()
