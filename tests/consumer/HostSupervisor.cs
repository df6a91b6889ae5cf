// A library of a .NET user's that drives hosts through the NuGet package, written with the habits of
// System.Diagnostics.Process (C# 8): `await using`, an int process id and status, a timeout or a token
// for the asynchronous wait, HasExited and ExitCode, and the system's code of a failed start. The tests
// build it, strong-named, for each target framework they try; for .NET Standard 2.0, which has no
// IAsyncDisposable, with a plain `using`.
using System;
using System.Threading;
using System.Threading.Tasks;
using HookControl;

namespace HostSupervision
{
    public static class HostSupervisor
    {
        // Starts the host at `path`, lets it run until `cancellation` or `timeout`, then ends it with 7.
        public static async Task<int> RunOnce(string path, TimeSpan timeout, CancellationToken cancellation)
        {
            try {
#if NETSTANDARD2_0
                using var host = Host.Start(path, 42);
#else
                await using var host = Host.Start(path, 42);
#endif
                int id = host.ProcessId;
                host.WaitReport(TimeSpan.FromSeconds(10));
                try {
                    return await host.WaitAsync(timeout, cancellation);
                } catch (Exception ended) when (ended is TimeoutException || ended is OperationCanceledException) {
                    host.Close(7);
                    return host.HasExited ? host.ExitCode : await host.WaitAsync();
                }
            } catch (HookControlException failure) when (failure.NativeErrorCode == 2) {
                throw new InvalidOperationException(path + " is not there", failure);
            }
        }
    }
}
