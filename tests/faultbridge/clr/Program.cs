// The bridge's test host on a real CLR: runs every table of cases and
// prints one line per case ("ok", or "FAILED" with what differed), then a
// summary; exit status 0 only when none failed.
using System;
using System.Collections.Generic;
using System.Linq;

namespace Faultkit.Tests
{
    internal sealed class Case
    {
        public readonly string Name;
        public readonly Action Run;

        public Case(string name, Action run)
        {
            Name = name;
            Run = run;
        }
    }

    internal sealed class CaseFailed : Exception
    {
        public CaseFailed(string what) : base(what) { }
    }

    internal static class Program
    {
        private static int Main(string[] args)
        {
            var tables = new (string, IEnumerable<Case>)[] {
                ("native raise", NativeRaises.Cases()),
                ("record in memory", RecordsInMemory.Cases()),
                ("library", LibraryShape.Cases()),
            };
            int passed = 0, failed = 0;
            foreach ((string table, IEnumerable<Case> cases) in tables)
                foreach (Case test in cases)
                {
                    string name = table + ": " + test.Name;
                    try
                    {
                        test.Run();
                        Console.WriteLine("ok       " + name);
                        ++passed;
                    }
                    catch (Exception failure)
                    {
                        Console.WriteLine("FAILED   " + name + ": " + (failure is CaseFailed ? failure.Message : failure.ToString()));
                        ++failed;
                    }
                }
            Console.WriteLine($"{passed} passed, {failed} failed on {System.Runtime.InteropServices.RuntimeInformation.FrameworkDescription} ({System.Runtime.InteropServices.RuntimeInformation.ProcessArchitecture})");
            return failed == 0 ? 0 : 1;
        }
    }

    internal static class Expect
    {
        public static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new CaseFailed($"{what}: expected {Show(expected)}, got {Show(actual)}");
        }

        public static void True(bool condition, string what)
        {
            if (!condition)
                throw new CaseFailed(what);
        }

        /// <summary>What reached the caller of work: an exception, or null when it returned.</summary>
        public static Exception Thrown(Action work)
        {
            try
            {
                work();
                return null;
            }
            catch (Exception caught)
            {
                return caught;
            }
        }

        /// <summary>The caller received exactly an ApplicationException with this message and no inner exception.</summary>
        public static void Converted(Exception caught, string message)
        {
            Equal(typeof(ApplicationException), caught?.GetType(), "what reached the caller");
            Equal(message, caught.Message, "message");
            Equal(null, caught.InnerException, "inner exception");
        }

        private static string Show(object value)
        {
            if (value is string text)
                return "\"" + string.Concat(text.Select(c => c >= ' ' && c < 0x7F ? c.ToString() : $"\\u{(int)c:x4}")) + "\"";
            return value?.ToString() ?? "null";
        }
    }
}
