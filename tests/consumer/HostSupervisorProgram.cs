// A program of a .NET user's that runs a host through their library (HostSupervisor.cs) built for
// .NET Standard 2.0: it runs with the package's assembly for its own framework, which the library's
// calls must find. It prints the host's exit status.
using System;
using System.Threading;
using HostSupervision;

static class HostSupervisorProgram
{
    static void Main(string[] arguments)
    {
        Console.WriteLine(HostSupervisor.RunOnce(arguments[0], TimeSpan.FromMilliseconds(500), CancellationToken.None).Result);
    }
}
