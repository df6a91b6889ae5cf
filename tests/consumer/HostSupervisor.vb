' The user's library of HostSupervisor.cs in Visual Basic.
Imports System
Imports System.Threading.Tasks
Imports HookControl

Namespace HostSupervision
    Public Module HostSupervisor
        ' Starts the host at path, waits for its report, ends it with 7 and gives its status.
        Public Async Function RunOnce(path As String) As Task(Of Integer)
            Using started As Host = Host.Start(path, 42)
                started.WaitReport(TimeSpan.FromSeconds(10))
                started.Close(7)
                Return Await started.WaitAsync(TimeSpan.FromSeconds(10))
            End Using
        End Function
    End Module
End Namespace
