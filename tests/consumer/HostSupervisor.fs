// The user's library of HostSupervisor.cs in F#, which passes a plain TimeSpan and leaves out the
// optional arguments of the binding's calls.
namespace HostSupervision

open System
open HookControl

module HostSupervisor =
    /// Starts the host at `path`, waits for its report, ends it with 7 and gives its status.
    let runOnce (path: string) : int =
        use host = Host.Start(path, 42)
        host.WaitReport(TimeSpan.FromSeconds 10.0) |> ignore
        host.Close 7
        if host.HasExited then host.ExitCode else host.Wait(TimeSpan.FromSeconds 10.0)

    /// The host's status once it has ended, within 10 s, awaited from an F# workflow.
    let waitAsync (host: Host) : Async<int> =
        host.WaitAsync(TimeSpan.FromSeconds 10.0) |> Async.AwaitTask
