// Cases that end the runtime's process, each run in a child process of its
// own: where CoreCLR differs from the .NET Framework 4.7.2, which no machine
// here runs, the case says so and asserts what CoreCLR does.
using System;
using System.Collections.Generic;
using System.Diagnostics;

namespace Faultkit.Tests
{
    internal static class ChildProcesses
    {
        private const string Reached = "reached the caller: ";

        private static readonly Dictionary<string, Action> Raises = new Dictionary<string, Action> {
            ["access-violation"] = Native.AccessViolation,
            ["breakpoint"] = () => Native.RaiseText(0x80000003, "breakpoint"),
        };

        public static IEnumerable<Case> Cases()
        {
            // The .NET Framework 4.7.2 lets an access violation reach the
            // caller's handlers because of HandleProcessCorruptedStateExceptions;
            // CoreCLR ignores that mark and ends the process.
            yield return new Case("an access violation in the callable ends the process on CoreCLR (the .NET Framework 4.7.2 passes it to the caller)",
                () => ExpectProcessEnded("access-violation", "0xC0000005"));
            // CoreCLR continues a breakpoint raised outside managed code; Wine
            // resumes it one byte early, as for an int3 instruction, and the
            // resumed code faults: the process ends, nothing is converted.
            yield return new Case("0x80000003 raised in the callable ends the process under Wine (CoreCLR continues the breakpoint)",
                () => ExpectProcessEnded("breakpoint", "0xC0000096"));
        }

        /// <summary>The child: one guarded call; it says what reached it, if anything did.</summary>
        public static int Run(string name)
        {
            Action raise = Raises[name];
            try
            {
                Faultbridge.CallUnmanagedFunction(() => raise());
                Console.WriteLine("returned");
            }
            catch (Exception caught)
            {
                Console.WriteLine(Reached + caught.GetType().FullName);
            }
            return 0;
        }

        private static void ExpectProcessEnded(string name, string runtimeReport)
        {
            var start = new ProcessStartInfo(Environment.ProcessPath, "--child " + name) {
                RedirectStandardOutput = true, RedirectStandardError = true, UseShellExecute = false,
            };
            using Process child = Process.Start(start);
            string output = child.StandardOutput.ReadToEnd() + child.StandardError.ReadToEnd();
            child.WaitForExit();
            Expect.True(!output.Contains(Reached) && !output.Contains("returned"), $"the child went on: {output.Trim()}");
            Expect.True(child.ExitCode != 0, "the child ended with status 0");
            Expect.True(output.Contains("Fatal error. " + runtimeReport), $"the runtime's report: {output.Trim()}");
        }
    }
}
