// Starts, supervises and ends hook hosts from .NET, through the hook_control shared library: on Windows
// hook_control.dll of the process's architecture, placed beside the program (the NuGet package places
// it); on Linux libhook_control.so where the loader finds it. C# 7, for .NET Framework 4.7.2 and .NET 6 or later.
//
//     using (var host = Host.Start("hook_host.exe", 42)) {
//         int reported = host.WaitReport(TimeSpan.FromSeconds(10));
//         host.Close(7);
//         int status = host.Wait(null);
//     }
//
// Nothing is kept but each Host's handle, freed when the Host is disposed or collected. A Host's calls
// may be made from any thread, one at a time. Start, Post and StatusText check that the library's
// major version is this file's.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace HookControl
{
    /// <summary>A call was refused or failed; the message says what and why.</summary>
    public class HookControlException : Exception
    {
        public HookControlException(string message) : base(message) { }
    }

    /// <summary>The host has ended (or, for Post, there is no such process).</summary>
    public class HostGoneException : HookControlException
    {
        public HostGoneException(string message) : base(message) { }
    }

    /// <summary>A started hook host. Disposing it (or its collection) frees it: a host started
    /// without outliveController is then ended.</summary>
    public sealed class Host : IDisposable
    {
        /// <summary>The major version of hook_control.h that this file speaks.</summary>
        public const int Major = 1;

        private const uint OutliveController = 0x1;
        private const uint NoLimit = uint.MaxValue;
        private static readonly UTF8Encoding Utf8 = new UTF8Encoding(false, true);

        private readonly HostHandle handle;

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
        public uint ProcessId
        {
            get { return Native.hook_host_process_id(handle); }
        }

        /// <summary>The number of the host's report line, read within <paramref name="timeout"/>
        /// (null: no limit).</summary>
        public int WaitReport(TimeSpan? timeout)
        {
            int reported;
            Check(Native.hook_host_wait_report(handle, Milliseconds(timeout), out reported), "WaitReport");
            return reported;
        }

        /// <summary>Posts WM_CLOSE with <paramref name="status"/>, once the host has reported; it ends
        /// 100 to 200 ms later with that status.</summary>
        public void Close(uint status)
        {
            Check(Native.hook_host_close(handle, status), "Close");
        }

        /// <summary>The host's exit status, once it has ended within <paramref name="timeout"/> (null:
        /// no limit): on Windows all 32 bits, elsewhere the low 8 bits or minus the signal's number.</summary>
        public int Wait(TimeSpan? timeout)
        {
            int status;
            Check(Native.hook_host_wait(handle, Milliseconds(timeout), out status), "Wait");
            return status;
        }

        /// <summary>Frees the host; one that still runs and was not started to outlive its controller
        /// is ended.</summary>
        public void Dispose()
        {
            handle.Dispose();
        }

        /// <summary>Posts message <paramref name="kind"/> to the main thread of process
        /// <paramref name="processId"/>, a host this process did not start. A 32-bit library posts the
        /// low 32 bits of <paramref name="wParam"/> and <paramref name="lParam"/>.</summary>
        public static void Post(uint processId, uint kind, ulong wParam = 0, ulong lParam = 0)
        {
            CheckVersion();
            Check(Native.hook_host_post(processId, kind, wParam, lParam), "Post");
        }

        /// <summary>What a host's exit status, as Wait gives it, means when the loader or the system chose
        /// it: the host did not start, or it crashed. "" for any other status, which is the one a close
        /// chose. Any thread, at any time.</summary>
        public static string StatusText(int status)
        {
            CheckVersion();
            return Utf8Text(Native.hook_host_status_text(status));
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

        private static uint Milliseconds(TimeSpan? timeout)
        {
            if (timeout == null)
                return NoLimit;
            var ticks = timeout.Value.Ticks;
            // Rounded up, so that a wait is never shorter than asked.
            if (ticks < 0 || (ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond >= NoLimit)
                throw new ArgumentOutOfRangeException("timeout", timeout,
                                                      "a timeout is from zero to under 49.7 days; null waits without limit");
            return (uint)((ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond);
        }

        // The reason of a failure is read at once, on the thread that made the call, where the library
        // keeps it.
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
                throw new HookControlException(Utf8Text(Native.hook_host_last_error()));
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

        // The calls of hook_control.h: cdecl, by their plain names; texts as UTF-8 bytes.
        private static class Native
        {
            private const string Library = "hook_control";

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern Result hook_host_start(byte[] path, int number, uint flags, out HostHandle host);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern Result hook_host_wait_report(HostHandle host, uint timeoutMs, out int reported);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern Result hook_host_close(HostHandle host, uint status);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern Result hook_host_wait(HostHandle host, uint timeoutMs, out int status);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern uint hook_host_process_id(HostHandle host);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            internal static extern void hook_host_release(IntPtr host);

            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
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
