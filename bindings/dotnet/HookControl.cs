// Starts, supervises and ends hook hosts from .NET, through the hook_control shared library: on Windows
// hook_control.dll of the process's architecture, placed beside the program (the NuGet package places
// it); on Linux libhook_control.so where the loader finds it. C# 7, for .NET Framework 4.5 and later,
// .NET Core 3.0 and later, .NET 5 and later (it needs no more than .NET Standard 2.1), and Mono. Host is
// IAsyncDisposable where the framework has it (.NET Standard 2.1, .NET Core 3.0 and later).
//
//     using (var host = Host.Start("hook_host.exe", 42)) {
//         int reported = host.WaitReport(TimeSpan.FromSeconds(10));
//         host.Close(7);
//         int status = host.Wait();
//     }
//
// or, without a thread of its own that waits, `int status = await host.WaitAsync(cancellation)` and
// the event Host.Exited, raised before that await returns.
//
// Nothing is kept but each Host's handle, freed when the Host is disposed or collected, and while a
// Host is watched for its end what watches it. A Host's calls may be made from any thread, one at a
// time. Start, Post and StatusText check that the library's major version is this file's.
using System;
using System.Collections.Generic;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Microsoft.Win32.SafeHandles;

namespace HookControl
{
    /// <summary>A call was refused or failed; the message says what and why, and NativeErrorCode the
    /// system's code of why, as Win32Exception's does.</summary>
    [Serializable]
    public class HookControlException : Exception
    {
        private const string CodeName = "NativeErrorCode";

        /// <summary>A failure with no message of its own and no system's code.</summary>
        public HookControlException() { }

        /// <summary>A failure that <paramref name="message"/> tells, with no system's code.</summary>
        public HookControlException(string message) : base(message) { }

        /// <summary>A failure that <paramref name="message"/> tells, caused by <paramref name="innerException"/>.</summary>
        public HookControlException(string message, Exception innerException) : base(message, innerException) { }

        /// <summary>A failure that <paramref name="message"/> tells, for the system's reason
        /// <paramref name="nativeErrorCode"/>.</summary>
        public HookControlException(string message, int nativeErrorCode) : base(message)
        {
            NativeErrorCode = nativeErrorCode;
        }

        /// <summary>Reads one back that was serialized.</summary>
        protected HookControlException(SerializationInfo info, StreamingContext context) : base(info, context)
        {
            NativeErrorCode = info.GetInt32(CodeName);
        }

        /// <summary>The system's code of why the call failed, as Win32Exception.NativeErrorCode gives it:
        /// GetLastError's on Windows, errno on Linux (2 on both for a host that is not there); 0 where the
        /// reason is not the system's (a refused argument, an ended host).</summary>
        public int NativeErrorCode { get; private set; }

        /// <summary>Serializes the exception with its NativeErrorCode.</summary>
        public override void GetObjectData(SerializationInfo info, StreamingContext context)
        {
            base.GetObjectData(info, context);
            info.AddValue(CodeName, NativeErrorCode);
        }
    }

    /// <summary>The host has ended (or, for Post, there is no such process).</summary>
    [Serializable]
    public class HostGoneException : HookControlException
    {
        /// <summary>An end with no message of its own.</summary>
        public HostGoneException() { }

        /// <summary>An end that <paramref name="message"/> tells.</summary>
        public HostGoneException(string message) : base(message) { }

        /// <summary>An end that <paramref name="message"/> tells, found through <paramref name="innerException"/>.</summary>
        public HostGoneException(string message, Exception innerException) : base(message, innerException) { }

        /// <summary>Reads one back that was serialized.</summary>
        protected HostGoneException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>What Host.Exited tells: the host has ended, with this exit status.</summary>
    public sealed class HostExitedEventArgs : EventArgs
    {
        private readonly int status;
        private readonly HookControlException failure;

        internal HostExitedEventArgs(int status, HookControlException failure)
        {
            this.status = status;
            this.failure = failure;
        }

        /// <summary>The host's exit status, as Wait gives it. Throws HookControlException where it
        /// could not be read (on Linux, where a wait of the program's own for any child took
        /// it).</summary>
        public int ExitStatus
        {
            get
            {
                if (failure != null)
                    throw new HookControlException(failure.Message, failure.NativeErrorCode);
                return status;
            }
        }
    }

    /// <summary>A started hook host. Disposing it (or its collection) frees it: a host started
    /// without outliveController is then ended.</summary>
    /// <remarks>Its end can be learnt without a thread of the caller's that waits, through WaitAsync
    /// and the Exited event. The first of them starts a watch that lasts until the host ends or the
    /// Host is disposed, and keeps the Host from being collected meanwhile. On Windows the watch is a
    /// wait of the thread pool's (ThreadPool.RegisterWaitForSingleObject) on the host's process
    /// handle, as .NET's Process waits for its exit; elsewhere one thread of this binding's, made at
    /// the first watch and kept for the process's life, polls a copy of every watched host's pidfd
    /// beside an eventfd that wakes it when the set changes, as libuv watches its children from one
    /// loop. Once the host has ended, a thread-pool thread reads its status with one call of
    /// hook_host_wait with no wait at all. That call never overlaps a caller's: every call on the
    /// Host takes a shared turn of one lock, which the status's read takes alone; callers' calls do
    /// not wait for each other, and the read waits only for calls made as the host ended, each of
    /// which then returns at once.</remarks>
    public sealed class Host : IDisposable
#if NETSTANDARD2_1 || NETCOREAPP3_0 || NETCOREAPP3_1 || NET5_0_OR_GREATER
                             , IAsyncDisposable
#endif
    {
        /// <summary>The major version of hook_control.h that this file speaks.</summary>
        public const int Major = 1;

        private const uint OutliveController = 0x1;
        private const uint NoLimit = uint.MaxValue;
        private const int TracerPauseMs = 50; // between looks at an end that a tracer still holds
        private static readonly UTF8Encoding Utf8 = new UTF8Encoding(false, true);

        private static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;

        private readonly HostHandle handle;
        // Shared by every call on the host, taken alone by the watch's read of its status.
        private readonly ReaderWriterLockSlim turns = new ReaderWriterLockSlim();
        // Guards what follows: the watch, and what is known of the end.
        private readonly object gate = new object();
        private readonly TaskCompletionSource<int> end = new TaskCompletionSource<int>();
        private EventHandler<HostExitedEventArgs> exited; // the handlers not yet called
        private HostExitedEventArgs exit;                 // once the end is known
        private bool watching;
        private bool disposed;
        private int raising; // calls of Exited's handlers under way, which Dispose waits for
        private RegisteredWaitHandle registration; // Windows: the pool's wait, until it has fired

        // The Host whose Exited handler this thread calls, if any: a handler may dispose its own Host.
        [ThreadStatic] private static Host raisingHere;

        private Host(HostHandle handle)
        {
            this.handle = handle;
        }

        /// <summary>Starts the host at <paramref name="path"/> with <paramref name="number"/>. It runs
        /// in its own folder, with no console; unless <paramref name="outliveController"/>, it ends
        /// when this process ends or the Host is disposed.</summary>
        public static Host Start(string path, int number, bool outliveController = false)
        {
            CheckVersion();
            HostHandle handle;
            var result = Native.hook_host_start(Text(path), number, outliveController ? OutliveController : 0u,
                                                out handle);
            if (result != Result.Ok)
                handle.Dispose();
            Check(result, "Start");
            return new Host(handle);
        }

        /// <summary>The host's process id, as Post takes it.</summary>
        public int ProcessId
        {
            get { return unchecked((int)InTurn(() => Native.hook_host_process_id(handle))); }
        }

        /// <summary>The number of the host's report line, read without a time limit.</summary>
        public int WaitReport()
        {
            return WaitReport(Timeout.InfiniteTimeSpan);
        }

        /// <summary>The number of the host's report line, read within <paramref name="timeout"/>
        /// (Timeout.InfiniteTimeSpan: no limit); TimeoutException once it has run out.</summary>
        public int WaitReport(TimeSpan timeout)
        {
            int reported = 0;
            var milliseconds = Milliseconds(timeout);
            Check(InTurn(() => Native.hook_host_wait_report(handle, milliseconds, out reported)), "WaitReport");
            return reported;
        }

        /// <summary>Posts WM_CLOSE with <paramref name="status"/>, once the host has reported; it ends
        /// 100 to 200 ms later with that status. All 32 bits are posted: a negative status is one of
        /// 0x80000000 and above, as Wait gives it back on Windows.</summary>
        public void Close(int status)
        {
            Check(InTurn(() => Native.hook_host_close(handle, unchecked((uint)status))), "Close");
        }

        /// <summary>The host's exit status, once it has ended, waited for without a time limit.</summary>
        public int Wait()
        {
            return Wait(Timeout.InfiniteTimeSpan);
        }

        /// <summary>The host's exit status, once it has ended within <paramref name="timeout"/>
        /// (Timeout.InfiniteTimeSpan: no limit; TimeoutException once it has run out): on Windows all 32
        /// bits, read as signed, elsewhere the low 8 bits or minus the signal's number.</summary>
        public int Wait(TimeSpan timeout)
        {
            int status = 0;
            var milliseconds = Milliseconds(timeout);
            Check(InTurn(() => Native.hook_host_wait(handle, milliseconds, out status)), "Wait");
            return status;
        }

        /// <summary>Whether the host has ended, asked at once with no wait. On Linux, false while a
        /// tracer still holds its end, as for Wait.</summary>
        public bool HasExited
        {
            get
            {
                int status;
                return Ended(out status);
            }
        }

        /// <summary>The host's exit status, as Wait gives it, once it has ended; before that,
        /// InvalidOperationException, as Process.ExitCode throws.</summary>
        public int ExitCode
        {
            get
            {
                int status;
                if (!Ended(out status))
                    throw new InvalidOperationException("the host has not ended; HasExited tells when it has");
                return status;
            }
        }

        /// <summary>The host's exit status, as Wait gives it, once the host has ended, with no thread
        /// of the caller's waiting. A cancelled <paramref name="cancellation"/> ends this wait with
        /// OperationCanceledException, never the host, and leaves the watch to later waits. The task
        /// fails with HookControlException where the status could not be read, and with
        /// ObjectDisposedException where the Host is disposed first. It completes after every handler
        /// of Exited added before the end has returned (so a handler must not wait for it), on a
        /// thread-pool thread of its own, where its continuations run: never inside Dispose or the
        /// token's Cancel. Throws ObjectDisposedException at once on a disposed Host whose end was not
        /// known before, and HookControlException where the watch cannot be made (no descriptor
        /// left).</summary>
        public Task<int> WaitAsync(CancellationToken cancellation = default(CancellationToken))
        {
            return WaitAsync(Timeout.InfiniteTimeSpan, cancellation);
        }

        /// <summary>As WaitAsync(CancellationToken), within <paramref name="timeout"/>
        /// (Timeout.InfiniteTimeSpan: no limit): once it has run out, the task fails with
        /// TimeoutException, and the host runs on.</summary>
        public Task<int> WaitAsync(TimeSpan timeout, CancellationToken cancellation = default(CancellationToken))
        {
            Milliseconds(timeout);
            lock (gate)
                if (exit == null)
                    Watch();
            return Interruptible(end.Task, timeout, cancellation);
        }

        /// <summary>Raised once, on a thread-pool thread, when the host has ended, with its exit
        /// status: for each handler, whether it was added before or after the end (one added after it
        /// is called at once, on a thread-pool thread). The handlers added before the end are called
        /// before WaitAsync's task completes, so a program that awaits it and then disposes the Host
        /// has had every such call. Not raised for an end that Dispose brought about, or seen after
        /// it, and never once Dispose has returned. Every handler is called even where an earlier one
        /// throws; then the exception is thrown again on that thread, where, unhandled, it ends the
        /// process as one from a handler of Process.Exited does (which skips the later handlers).
        /// Adding a handler starts the watch (see the remarks of Host), and throws as WaitAsync does
        /// on a disposed Host or where the watch cannot be made.</summary>
        public event EventHandler<HostExitedEventArgs> Exited
        {
            add
            {
                HostExitedEventArgs known;
                lock (gate) {
                    known = exit;
                    if (known == null) {
                        Watch();
                        exited += value;
                    }
                }
                if (known != null && value != null)
                    ThreadPool.QueueUserWorkItem(_ => Rethrow(Raise(value, known)));
            }
            remove
            {
                lock (gate)
                    exited -= value;
            }
        }

        /// <summary>Frees the host; one that still runs and was not started to outlive its controller
        /// is ended. Ends the watch first, if there is one: a pending WaitAsync fails with
        /// ObjectDisposedException, and Exited is not raised from then on. Waits for a handler of
        /// Exited that runs on another thread to return, unless that handler is disposing the Host
        /// too (so a handler must not wait for the thread that disposes its Host), and on Windows
        /// for a status's read that has begun, which takes no time.</summary>
        public void Dispose()
        {
            RegisteredWaitHandle registered;
            bool watched;
            lock (gate) {
                watched = watching && exit == null && !disposed;
                disposed = true;
                exited = null;
                registered = registration;
                registration = null;
                // A handler's call under way on another thread ends first. One on this thread, which
                // disposes its own Host, is not waited for, here or by a Dispose elsewhere.
                var own = raisingHere == this ? 1 : 0;
                raising -= own;
                while (raising > 0)
                    Monitor.Wait(gate);
                raising += own;
            }
            // The pool's wait must be gone before the library closes the handle it waits on.
            if (registered != null)
                using (var unregistered = new ManualResetEvent(false))
                    if (registered.Unregister(unregistered))
                        unregistered.WaitOne();
            if (watched && !Windows)
                PidfdWatch.Remove(this);
            if (watched)
                Complete(ended => ended.TrySetException(Disposed()));
            handle.Dispose();
        }
#if NETSTANDARD2_1 || NETCOREAPP3_0 || NETCOREAPP3_1 || NET5_0_OR_GREATER

        /// <summary>Dispose, for `await using`: it is done when this returns, as Dispose waits for no
        /// more than a handler of Exited under way.</summary>
        public ValueTask DisposeAsync()
        {
            Dispose();
            return default(ValueTask);
        }
#endif

        /// <summary>Posts message <paramref name="kind"/> to the main thread of process
        /// <paramref name="processId"/>, a host this process did not start. A 32-bit library posts the
        /// low 32 bits of <paramref name="wParam"/> and <paramref name="lParam"/>.</summary>
        public static void Post(int processId, uint kind, ulong wParam = 0, ulong lParam = 0)
        {
            CheckVersion();
            Check(Native.hook_host_post(unchecked((uint)processId), kind, wParam, lParam), "Post");
        }

        /// <summary>What a host's exit status, as Wait gives it, means when the loader or the system chose
        /// it: the host did not start, or it crashed. "" for any other status, which is the one a close
        /// chose. Any thread, at any time.</summary>
        public static string StatusText(int status)
        {
            CheckVersion();
            return Utf8Text(Native.hook_host_status_text(status));
        }

        // Under gate: starts the watch, once. A disposed Host is not watched.
        private void Watch()
        {
            if (disposed)
                throw Disposed();
            if (watching)
                return;
            var waitable = Native.hook_host_waitable(handle);
            if (Windows)
                registration = ThreadPool.RegisterWaitForSingleObject(new ProcessHandle(waitable),
                                                                      (host, timedOut) => ((Host)host).HasEnded(),
                                                                      this, Timeout.Infinite, true);
            else
                PidfdWatch.Add(this, waitable);
            watching = true;
        }

        // On a thread-pool thread, once the host's waitable is signalled: reads its status, and tells
        // those who wait for it, unless the Host was disposed first.
        private void HasEnded()
        {
            lock (gate) {
                if (registration != null)
                    registration.Unregister(null);
                registration = null;
            }
            int status = 0;
            HookControlException failure = null;
            turns.EnterWriteLock();
            try {
                Check(Native.hook_host_wait(handle, 0, out status), "Wait");
            } catch (ObjectDisposedException) {
                return;
            } catch (TimeoutException) {
                // Linux: a host's pidfd is signalled before a tracer (a debugger, strace) has taken
                // its end, and its status can be taken only after that: look again a moment later.
                Task.Delay(TracerPauseMs).ContinueWith(_ => HasEnded());
                return;
            } catch (HookControlException error) {
                failure = error;
            } finally {
                turns.ExitWriteLock();
            }
            EventHandler<HostExitedEventArgs> handlers;
            HostExitedEventArgs args;
            lock (gate) {
                if (disposed)
                    return;
                exit = args = new HostExitedEventArgs(status, failure);
                handlers = exited;
                exited = null;
            }
            // The handlers first: a program that awaits the end and then disposes the Host has had
            // their calls, as Process.WaitForExitAsync completes only after Exited's earlier handlers.
            var failures = handlers == null ? null : Raise(handlers, args);
            if (failure == null)
                Complete(ended => ended.TrySetResult(status));
            else
                Complete(ended => ended.TrySetException(failure));
            Rethrow(failures);
        }

        // Completes the end's task on a thread-pool thread of its own, where the continuations then
        // run inline, away from the thread that completes it. TaskCreationOptions.
        // RunContinuationsAsynchronously would say the same, but .NET Framework 4.5 lacks it.
        private void Complete(Action<TaskCompletionSource<int>> completion)
        {
            ThreadPool.QueueUserWorkItem(_ => completion(end));
        }

        // On a thread-pool thread: calls each of `handlers` in turn until the Host is disposed, which
        // waits for a call under way. Every one is called even where one throws; what they threw.
        private List<Exception> Raise(EventHandler<HostExitedEventArgs> handlers, HostExitedEventArgs args)
        {
            var failures = new List<Exception>();
            foreach (EventHandler<HostExitedEventArgs> handler in handlers.GetInvocationList()) {
                lock (gate) {
                    if (disposed)
                        break;
                    raising++;
                }
                raisingHere = this;
                try {
                    handler(this, args);
                } catch (Exception failure) {
                    failures.Add(failure);
                } finally {
                    raisingHere = null;
                    lock (gate) {
                        raising--;
                        Monitor.PulseAll(gate);
                    }
                }
            }
            return failures;
        }

        // Throws what handlers of Exited threw, unhandled, on the thread that called them.
        private static void Rethrow(List<Exception> failures)
        {
            if (failures == null || failures.Count == 0)
                return;
            if (failures.Count == 1)
                ExceptionDispatchInfo.Capture(failures[0]).Throw();
            throw new AggregateException("handlers of Host.Exited threw", failures);
        }

        // The task of `ended`, or OperationCanceledException once `cancellation` is cancelled first, or
        // TimeoutException once `timeout` has run out.
        private static async Task<int> Interruptible(Task<int> ended, TimeSpan timeout, CancellationToken cancellation)
        {
            if (!ended.IsCompleted && (cancellation.CanBeCanceled || timeout != Timeout.InfiniteTimeSpan)) {
                var interrupted = new TaskCompletionSource<Exception>();
                // Set on a thread-pool thread, so that the continuations do not run inside Cancel.
                Action<Exception> interrupt = why => ThreadPool.QueueUserWorkItem(_ => interrupted.TrySetResult(why));
                using (cancellation.Register(() => interrupt(new OperationCanceledException(cancellation))))
                using (new Timer(_ => interrupt(new TimeoutException("WaitAsync: the time ran out; the host still runs")),
                                 null, timeout, Timeout.InfiniteTimeSpan))
                    if (await Task.WhenAny(ended, interrupted.Task).ConfigureAwait(false) != ended)
                        throw await interrupted.Task.ConfigureAwait(false);
            }
            return await ended.ConfigureAwait(false);
        }

        // Makes a call of the caller's on the host in a turn shared with every other such call, never
        // beside the watch's read of the status. On a disposed Host, ObjectDisposedException names it.
        private T InTurn<T>(Func<T> call)
        {
            turns.EnterReadLock();
            try {
                return call();
            } catch (ObjectDisposedException) when (handle.IsClosed) {
                throw Disposed();
            } finally {
                turns.ExitReadLock();
            }
        }

        // Whether the host has ended, asked with no wait; its status if so.
        private bool Ended(out int status)
        {
            int known = 0;
            var result = InTurn(() => Native.hook_host_wait(handle, 0, out known));
            status = known;
            if (result == Result.Timeout)
                return false;
            Check(result, "Wait");
            return true;
        }

        private static ObjectDisposedException Disposed()
        {
            return new ObjectDisposedException(nameof(Host));
        }

        private static void CheckVersion()
        {
            var version = Native.hook_control_version();
            if (version >> 16 != Major)
                throw new HookControlException(string.Format("hook_control is version {0}.{1}.{2}; this needs {3}.x",
                                                             version >> 16, version >> 8 & 0xFF, version & 0xFF,
                                                             Major));
        }

        private static byte[] Text(string path)
        {
            if (path == null)
                throw new ArgumentNullException("path");
            if (path.IndexOf('\0') >= 0)
                throw new ArgumentException("a path must not hold a zero character", "path");
            return Utf8.GetBytes(path + "\0");
        }

        private static uint Milliseconds(TimeSpan timeout)
        {
            if (timeout == Timeout.InfiniteTimeSpan)
                return NoLimit;
            var ticks = timeout.Ticks;
            // Rounded up, so that a wait is never shorter than asked.
            if (ticks < 0 || (ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond >= NoLimit)
                throw new ArgumentOutOfRangeException("timeout", timeout, "a timeout is from zero to under 49.7 days; " +
                                                      "Timeout.InfiniteTimeSpan waits without limit");
            return (uint)((ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond);
        }

        // The reason of a failure is read at once, on the thread that made the call, where the library
        // keeps it, and the system's code as the runtime kept it after the call (SetLastError).
        private static void Check(Result result, string call)
        {
            switch (result) {
            case Result.Ok:
                return;
            case Result.Timeout:
                throw new TimeoutException(call + ": the time ran out; the host still runs");
            case Result.Gone:
                throw new HostGoneException(call == "Post" ? "Post: no such process" : call + ": the host has ended");
            case Result.Failed:
                var code = Marshal.GetLastWin32Error();
                throw new HookControlException(Utf8Text(Native.hook_host_last_error()), code);
            default:
                throw new HookControlException(call + ": unknown result " + (int)result);
            }
        }

        // A text of the library's, a zero-terminated UTF-8 string that it keeps.
        private static string Utf8Text(IntPtr text)
        {
            var length = 0;
            while (Marshal.ReadByte(text, length) != 0)
                length++;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        private enum Result
        {
            Ok = 0,
            Timeout = 1,
            Gone = 2,
            Failed = 3
        }

        // The library's handle of one host, released by hook_host_release once, however the Host ends.
        private sealed class HostHandle : SafeHandle
        {
            private HostHandle() : base(IntPtr.Zero, true) { }

            public override bool IsInvalid
            {
                get { return handle == IntPtr.Zero; }
            }

            protected override bool ReleaseHandle()
            {
                Native.hook_host_release(handle);
                return true;
            }
        }

        // The host's process handle as a WaitHandle, for the thread pool's wait; the library's own,
        // which this never closes.
        private sealed class ProcessHandle : WaitHandle
        {
            public ProcessHandle(IntPtr process)
            {
                SafeWaitHandle = new SafeWaitHandle(process, false);
            }
        }

        // The one thread that watches every watched Host's pidfd in this process (not on Windows).
        // It polls a copy of each, which it closes itself once it polls it no more, so that a Host
        // disposed meanwhile waits for nothing; and an eventfd, which wakes it when the set changes.
        private static class PidfdWatch
        {
            private const int FdCloexec = 0x80000;  // EFD_CLOEXEC, O_CLOEXEC
            private const int DupFdCloexec = 1030;  // F_DUPFD_CLOEXEC
            private const short PollIn = 1;
            private const int Interrupted = 4;      // EINTR

            private static readonly object Gate = new object();
            private static readonly Dictionary<Host, int> Watched = new Dictionary<Host, int>(); // each Host's copy
            private static readonly List<int> Unwatched = new List<int>(); // copies to close before the next poll
            private static int wake = -1;

            internal static void Add(Host host, IntPtr pidfd)
            {
                lock (Gate) {
                    if (wake < 0) {
                        var made = Libc.eventfd(0, FdCloexec);
                        if (made < 0)
                            throw Failure("cannot make the watch's eventfd");
                        new Thread(Run) { IsBackground = true, Name = "hook_control watch" }.Start();
                        wake = made;
                    }
                    var copy = Libc.fcntl(pidfd.ToInt32(), DupFdCloexec, 0);
                    if (copy < 0)
                        throw Failure("cannot watch the host");
                    Watched.Add(host, copy);
                    Wake();
                }
            }

            internal static void Remove(Host host)
            {
                lock (Gate) {
                    int copy;
                    if (Watched.TryGetValue(host, out copy)) {
                        Watched.Remove(host);
                        Unwatched.Add(copy);
                        Wake();
                    }
                }
            }

            // Under Gate.
            private static void Wake()
            {
                ulong one = 1;
                Libc.write(wake, ref one, (UIntPtr)8);
            }

            private static HookControlException Failure(string what)
            {
                return new HookControlException(what + ": error " + Marshal.GetLastWin32Error());
            }

            private static void Run()
            {
                for (;;) {
                    Host[] hosts;
                    Libc.PollFd[] polled;
                    lock (Gate) {
                        foreach (var copy in Unwatched)
                            Libc.close(copy);
                        Unwatched.Clear();
                        hosts = new Host[Watched.Count];
                        polled = new Libc.PollFd[Watched.Count + 1];
                        polled[0] = new Libc.PollFd { Fd = wake, Events = PollIn };
                        var index = 0;
                        foreach (var watched in Watched) {
                            hosts[index] = watched.Key;
                            polled[++index] = new Libc.PollFd { Fd = watched.Value, Events = PollIn };
                        }
                    }
                    if (Libc.poll(polled, (UIntPtr)polled.Length, -1) < 0) {
                        // Interrupted, or short of memory for a moment: the set is polled again.
                        if (Marshal.GetLastWin32Error() != Interrupted)
                            Thread.Sleep(100);
                        continue;
                    }
                    if (polled[0].Revents != 0) {
                        ulong count;
                        Libc.read(wake, out count, (UIntPtr)8);
                    }
                    for (var index = 0; index < hosts.Length; index++) {
                        if (polled[index + 1].Revents == 0)
                            continue;
                        lock (Gate) {
                            if (!Watched.Remove(hosts[index]))
                                continue; // disposed meanwhile
                            Unwatched.Add(polled[index + 1].Fd);
                        }
                        ThreadPool.QueueUserWorkItem(host => ((Host)host).HasEnded(), hosts[index]);
                    }
                }
            }
        }

        // The C library's calls that the watch makes, on Linux.
        private static class Libc
        {
            private const string Library = "libc";

            [StructLayout(LayoutKind.Sequential)]
            internal struct PollFd
            {
                public int Fd;
                public short Events;
                public short Revents;
            }

            [DllImport(Library, SetLastError = true)]
            internal static extern int eventfd(uint initial, int flags);

            // Declared with the one int argument of F_DUPFD_CLOEXEC, which is how it is called.
            [DllImport(Library, SetLastError = true)]
            internal static extern int fcntl(int fd, int command, int argument);

            [DllImport(Library, SetLastError = true)]
            internal static extern int poll([In, Out] PollFd[] fds, UIntPtr count, int timeoutMs);

            [DllImport(Library, SetLastError = true)]
            internal static extern IntPtr read(int fd, out ulong value, UIntPtr size);

            [DllImport(Library, SetLastError = true)]
            internal static extern IntPtr write(int fd, ref ulong value, UIntPtr size);

            [DllImport(Library, SetLastError = true)]
            internal static extern int close(int fd);
        }

        // The calls of hook_control.h: cdecl, by their plain names; texts as UTF-8 bytes. Those that may
        // fail keep the system's code that a failure leaves, for Marshal.GetLastWin32Error.
        private static class Native
        {
            private const string Library = "hook_control";

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
            internal static extern Result hook_host_start(byte[] path, int number, uint flags, out HostHandle host);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
            internal static extern Result hook_host_wait_report(HostHandle host, uint timeoutMs, out int reported);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
            internal static extern Result hook_host_close(HostHandle host, uint status);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
            internal static extern Result hook_host_wait(HostHandle host, uint timeoutMs, out int status);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern uint hook_host_process_id(HostHandle host);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern IntPtr hook_host_waitable(HostHandle host);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern void hook_host_release(IntPtr host);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, SetLastError = true)]
            internal static extern Result hook_host_post(uint processId, uint kind, ulong wParam, ulong lParam);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern IntPtr hook_host_last_error();

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern IntPtr hook_host_status_text(int status);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern uint hook_control_version();
        }
    }
}
