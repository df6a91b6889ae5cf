// A controller for the end-to-end tests, built on the C# binding alone (HookControl.cs): it answers
// the commands of binding_controller.py, one line each, so that one test drives both bindings.
using System;
using System.Globalization;
using HookControl;

static class BindingController
{
    static Host host;

    static TimeSpan? Seconds(string word)
    {
        return word == "none" ? (TimeSpan?)null : TimeSpan.FromSeconds(double.Parse(word, CultureInfo.InvariantCulture));
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
            host.Close(uint.Parse(words[1]));
            return "ok";
        case "wait":
            return "ok " + host.Wait(Seconds(words[1]));
        case "pid":
            return "ok " + host.ProcessId;
        case "release":
            host.Dispose();
            return "ok";
        case "drop":
            host = null;
            GC.Collect();
            GC.WaitForPendingFinalizers();
            return "ok";
        case "text":
            return "ok " + Host.StatusText(int.Parse(words[1]));
        case "post":
            Host.Post((uint)Number(words[1]), (uint)Number(words[2]), Number(words[3]), Number(words[4]));
            return "ok";
        default:
            return "invalid no such command";
        }
    }

    static void Main()
    {
        string line;
        while ((line = Console.ReadLine()) != null) {
            string answer;
            try {
                answer = Answer(line.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries));
            } catch (TimeoutException error) {
                answer = "timeout " + error.Message;
            } catch (HookControlException error) {
                answer = (error is HostGoneException ? "gone " : "failed ") + error.Message;
            } catch (Exception error) when (error is ArgumentException || error is ObjectDisposedException ||
                                            error is FormatException || error is OverflowException) {
                answer = "invalid " + error.GetType().Name + ": " + error.Message;
            }
            Console.WriteLine(answer);
            Console.Out.Flush();
        }
    }
}
