// A controller for the end-to-end tests, built on the C# binding alone (HookControl.cs), on Mono and
// on .NET for Windows: it answers the commands of binding_controller.py, one line each, so that one
// test drives both bindings; and for the Exited event:
//
//   exited                        ok True|False: whether the host has ended (HasExited)
//   exit-code                     ok STATUS: its ExitCode
//   code                          ok CODE: the NativeErrorCode of the last failure
//   identity                      ok NAME;FILE;PRODUCT: the binding's assembly's name and versions
//   wait-async SECONDS [token]    the asynchronous wait within SECONDS, or with a token cancelled then
//   handler [slow|throw|dispose]  ok NUMBER: adds a handler of Exited, numbered from 1, that records
//                                 its call (a slow one half a second late; one that throws, first;
//                                 one that disposes the host, after that)
//   handled SECONDS               ok NUMBER:STATUS:THREAD...: after SECONDS, every call of the handlers
//                                 so far, THREAD "pool" for a thread-pool thread
//   release-while-handling        ok NUMBER:STATUS:THREAD...: once a handler has begun, disposes the
//                                 host, and tells the calls recorded by then
//   await-exited STATUS           ok STATUS: closes the host, and awaits its end in a continuation that
//                                 then waits for Exited (5 s at most)
//   exited-before-using-ends PATH ROUNDS
//                                 ok TOLD LATE: ROUNDS times, a user's program: starts PATH, subscribes
//                                 Exited, closes the host, awaits its end and disposes it; TOLD handlers
//                                 called by the last Dispose's return, LATE in the 0.3 s after
//
// An asynchronous wait cancelled by its token answers "timeout". An exception that nothing handles is
// told as a line "unhandled TYPE NUMBER:STATUS:THREAD..." before the runtime ends the controller.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using HookControl;

static class BindingController
{
    static Host host;
    static int handlers;
    static readonly List<string> handled = new List<string>();
    static readonly ManualResetEventSlim handling = new ManualResetEventSlim();

    static int lastCode; // of the last HookControlException

    static TimeSpan Seconds(string word)
    {
        return word == "none" ? Timeout.InfiniteTimeSpan : TimeSpan.FromSeconds(double.Parse(word, CultureInfo.InvariantCulture));
    }

    // A status as a 32-bit number, given as signed or unsigned.
    static int Status(string word)
    {
        return word.StartsWith("-") ? int.Parse(word) : unchecked((int)uint.Parse(word));
    }

    static ulong Number(string word)
    {
        return word.StartsWith("0x") ? ulong.Parse(word.Substring(2), NumberStyles.HexNumber) : ulong.Parse(word);
    }

    // Starts a host that only the field refers to, from a frame of its own, so that a collection after
    // "drop" finds no other reference to it.
    static string Start(string[] words)
    {
        host = Host.Start(words[1], int.Parse(words[2]), outliveController: words.Length == 4 && words[3] == "outlive");
        return "ok " + host.ProcessId;
    }

    static int Threads()
    {
        return Directory.GetDirectories("/proc/self/task").Length;
    }

    // Within the timeout, or until a token is cancelled after it.
    static string WaitAsync(TimeSpan timeout, bool token)
    {
        if (!token)
            return "ok " + host.WaitAsync(timeout).GetAwaiter().GetResult();
        using (var cancellation = new CancellationTokenSource(timeout))
            return "ok " + host.WaitAsync(cancellation.Token).GetAwaiter().GetResult();
    }

    static string CloseAsync(int status)
    {
        var clock = Stopwatch.StartNew();
        host.Close(status);
        var waiting = host.WaitAsync();
        var took = waiting.ContinueWith(_ => clock.ElapsedMilliseconds, TaskContinuationOptions.ExecuteSynchronously);
        var ticks = 0;
        while (!took.Wait(10))
            ticks++;
        return string.Format("ok {0} {1} {2}", waiting.GetAwaiter().GetResult(), took.Result, ticks);
    }

    static string ReleaseWhileWaiting()
    {
        var waiting = host.WaitAsync();
        Thread.Sleep(100);
        host.Dispose();
        return "ok " + waiting.GetAwaiter().GetResult();
    }

    static string WatchMany(string path, int count)
    {
        var hosts = new List<Host>();
        try {
            for (var i = 0; i < count; i++) {
                hosts.Add(Host.Start(path, 1));
                hosts[i].WaitReport(TimeSpan.FromSeconds(10));
            }
            var before = Threads();
            var waits = hosts.Select(started => started.WaitAsync()).ToArray();
            var made = Threads() - before;
            for (var i = 0; i < count; i++)
                hosts[i].Close(i + 1);
            return "ok " + string.Join(" ", Task.WhenAll(waits).GetAwaiter().GetResult()) + " " + made;
        } finally {
            foreach (var started in hosts)
                started.Dispose();
        }
    }

    static string AddHandler(string kind)
    {
        var number = ++handlers;
        host.Exited += (sender, exited) => {
            handling.Set();
            if (kind == "slow")
                Thread.Sleep(500);
            if (kind == "dispose")
                ((Host)sender).Dispose();
            lock (handled)
                handled.Add(string.Format("{0}:{1}:{2}", number, exited.ExitStatus,
                                          Thread.CurrentThread.IsThreadPoolThread ? "pool" : "other"));
            if (kind == "throw")
                throw new InvalidOperationException("handler " + number + " threw");
        };
        return "ok " + number;
    }

    // The binding's assembly: its full name, file version and product version.
    static string Identity()
    {
        var assembly = typeof(Host).Assembly;
        var version = FileVersionInfo.GetVersionInfo(assembly.Location);
        return string.Format("ok {0};{1};{2}", assembly.FullName, version.FileVersion, version.ProductVersion);
    }

    static string Handled()
    {
        lock (handled)
            return string.Join(" ", handled);
    }

    static string ReleaseWhileHandling()
    {
        if (!handling.Wait(TimeSpan.FromSeconds(10)))
            return "timeout no handler began";
        host.Dispose();
        return "ok " + Handled();
    }

    static string AwaitExited(int status)
    {
        var told = new ManualResetEventSlim();
        host.Exited += (sender, exited) => told.Set();
        host.Close(status);
        return Task.Run(async () => {
            var ended = await host.WaitAsync();
            return told.Wait(TimeSpan.FromSeconds(5)) ? "ok " + ended : "timeout Exited not raised within 5 s";
        }).GetAwaiter().GetResult();
    }

    // A user's program, ROUNDS times over: subscribes Exited, closes the host, awaits its end, and lets
    // `using` dispose it. How many handlers had been called once each Dispose returned, and how many
    // were called later.
    static async Task<string> ExitedBeforeUsingEnds(string path, int rounds)
    {
        var raised = 0;
        var told = 0;
        for (var round = 1; round <= rounds; round++) {
            using (var started = Host.Start(path, 1)) {
                started.Exited += (sender, exited) => Interlocked.Increment(ref raised);
                started.WaitReport(TimeSpan.FromSeconds(10));
                started.Close(round);
                await started.WaitAsync();
            }
            told = Volatile.Read(ref raised);
        }
        await Task.Delay(300);
        return string.Format("ok {0} {1}", told, Volatile.Read(ref raised) - told);
    }

    static string Answer(string[] words)
    {
        switch (words[0]) {
        case "start":
            if (host != null)
                host.Dispose();
            return Start(words);
        case "report":
            return "ok " + host.WaitReport(Seconds(words[1]));
        case "close":
            host.Close(Status(words[1]));
            return "ok";
        case "wait":
            return "ok " + host.Wait(Seconds(words[1]));
        case "pid":
            return "ok " + host.ProcessId;
        case "exited":
            return "ok " + host.HasExited;
        case "exit-code":
            return "ok " + host.ExitCode;
        case "code":
            return "ok " + lastCode;
        case "identity":
            return Identity();
        case "release":
            host.Dispose();
            return "ok";
        case "drop":
            host = null;
            GC.Collect();
            GC.WaitForPendingFinalizers();
            return "ok";
        case "wait-async":
            return WaitAsync(Seconds(words[1]), words.Length == 3 && words[2] == "token");
        case "close-async":
            return CloseAsync(Status(words[1]));
        case "release-while-waiting":
            return ReleaseWhileWaiting();
        case "watch-many":
            return WatchMany(words[1], int.Parse(words[2]));
        case "handler":
            return AddHandler(words.Length == 2 ? words[1] : "");
        case "handled":
            Thread.Sleep(Seconds(words[1]));
            return "ok " + Handled();
        case "release-while-handling":
            return ReleaseWhileHandling();
        case "await-exited":
            return AwaitExited(Status(words[1]));
        case "exited-before-using-ends":
            return ExitedBeforeUsingEnds(words[1], int.Parse(words[2])).GetAwaiter().GetResult();
        case "text":
            return "ok " + Host.StatusText(int.Parse(words[1]));
        case "post":
            Host.Post((int)Number(words[1]), (uint)Number(words[2]), Number(words[3]), Number(words[4]));
            return "ok";
        default:
            return "invalid no such command";
        }
    }

    static void Main()
    {
        AppDomain.CurrentDomain.UnhandledException += (sender, unhandled) => {
            Console.WriteLine("unhandled {0} {1}", unhandled.ExceptionObject.GetType().Name, Handled());
            Console.Out.Flush();
        };
        string line;
        while ((line = Console.ReadLine()) != null) {
            string answer;
            try {
                answer = Answer(line.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries));
            } catch (TimeoutException error) {
                answer = "timeout " + error.Message;
            } catch (OperationCanceledException error) {
                answer = "timeout " + error.Message;
            } catch (HookControlException error) {
                lastCode = error.NativeErrorCode;
                answer = (error is HostGoneException ? "gone " : "failed ") + error.Message;
            } catch (Exception error) when (error is ArgumentException || error is ObjectDisposedException ||
                                            error is InvalidOperationException || error is FormatException ||
                                            error is OverflowException) {
                answer = "invalid " + error.GetType().Name + ": " + error.Message;
            }
            Console.WriteLine(answer.Replace('\n', ' ')); // a message of more lines, as one
            Console.Out.Flush();
        }
    }
}
