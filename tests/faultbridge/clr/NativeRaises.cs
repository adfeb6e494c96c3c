// Structured exceptions raised by native code (fault_raiser.dll) through
// the public CallUnmanagedFunction, on the runtime's own exception
// pointers. The raiser wipes its record's parameter words when the runtime
// unwinds past it, so every converted text here was copied before the
// unwind.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;

namespace Faultkit.Tests
{
    internal static class Native
    {
        private const string Raiser = "fault_raiser.dll";

        [DllImport(Raiser)] public static extern void ReturnNormally();
        [DllImport(Raiser)] public static extern void ReportFailure(string text);
        [DllImport(Raiser)] public static extern void RaiseText(uint code, string text);
        [DllImport(Raiser)] public static extern void RaiseWords(uint code, uint[] words);

        /// <summary>What the raiser's unwind leaves in the parameter words.</summary>
        public static readonly string Wiped = new string('W', 59);

        /// <summary>8-bit text as native code reads it: the bytes up to the first zero, in the ANSI code page.</summary>
        public static string AnsiText(byte[] bytes)
        {
            IntPtr buffer = Marshal.AllocHGlobal(bytes.Length + 1);
            try
            {
                Marshal.Copy(bytes, 0, buffer, bytes.Length);
                Marshal.WriteByte(buffer, bytes.Length, 0);
                return Marshal.PtrToStringAnsi(buffer);
            }
            finally
            {
                Marshal.FreeHGlobal(buffer);
            }
        }
    }

    internal static class NativeRaises
    {
        // 59 distinct characters: a fault in the word or byte order shows.
        private static readonly string FiftyNine = new string(Enumerable.Range('!', 59).Select(c => (char)c).ToArray());
        private static readonly string Sixty = FiftyNine + "]";

        public static IEnumerable<Case> Cases()
        {
            yield return new Case("a callable that returns: nothing is thrown", () =>
            {
                int runs = 0;
                Expect.Equal(null, Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => { Native.ReturnNormally(); ++runs; })), "thrown");
                Expect.Equal(1, runs, "runs of the callable");
            });
            foreach ((string name, Action raise, string message) in new (string, Action, string)[] {
                ("0xE0000001 with abc, raised by the native helper", () => Native.ReportFailure("abc"), "abc"),
                ("59 distinct characters fill the 15 words, zero byte last", () => Native.RaiseText(0xE0000001, FiftyNine), FiftyNine),
                ("the empty text", () => Native.RaiseText(0xE0000001, ""), ""),
                ("0xE0000000, the lowest application code", () => Native.RaiseText(0xE0000000, "lowest"), "lowest"),
                ("0xFFFFFFFF, the highest", () => Native.RaiseText(0xFFFFFFFF, "highest"), "highest"),
                ("60 bytes without a zero byte: cut where the words end", () => Native.RaiseWords(0xE0000001, Words(Sixty)), Sixty),
            })
                yield return new Case(name + ": converted", () =>
                    Expect.Converted(Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => raise())), message));

            // Another code passes untouched: what reaches the caller is what
            // the same raise gives without the bridge, the raising frame in
            // its stack trace (a new exception would start at the bridge).
            foreach ((uint code, Type reported) in new[] {
                (0xDFFFFFFFu, typeof(SEHException)), (0xC0000094u /* integer division by zero */, typeof(DivideByZeroException)) })
                yield return new Case($"0x{code:X8} reaches the caller as the runtime reports it ({reported.Name}), as without the bridge", () =>
                {
                    Exception direct = Expect.Thrown(() => Native.RaiseText(code, "not ours"));
                    Exception caught = Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => Native.RaiseText(code, "not ours")));
                    Expect.Equal(reported, direct?.GetType(), "what the raise gives without the bridge");
                    Expect.Equal(reported, caught?.GetType(), "what reached the caller");
                    Expect.Equal(direct.HResult, caught.HResult, "HResult");
                    Expect.Equal(null, caught.InnerException, "inner exception");
                    Expect.True(caught.StackTrace?.Contains(nameof(Native.RaiseText)) == true, $"the raising frame in the stack trace: {caught.StackTrace}");
                });

            yield return new Case("a null callable: ArgumentNullException for \"function\", nothing converted", () =>
            {
                Exception caught = Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(null));
                Expect.Equal(typeof(ArgumentNullException), caught?.GetType(), "what reached the caller");
                Expect.Equal("function", ((ArgumentNullException)caught).ParamName, "parameter");
            });

            yield return new Case("a managed exception travels as 0xE0434352 and is converted: its text is its HRESULT's bytes", () =>
            {
                var thrown = new InvalidOperationException("managed");
                Exception caught = Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => throw thrown));
                Expect.Converted(caught, Native.AnsiText(BitConverter.GetBytes(thrown.HResult)));
            });

            yield return new Case("GetExceptionString in a host's own filter: the record's address plus 20, and the text", () =>
            {
                var seen = new List<(IntPtr record, IntPtr text)>();
                foreach (uint code in new[] { 0xE0000002u, 0xDFFFFFFFu })
                {
                    try { Native.RaiseText(code, "seen from a filter"); }
                    catch (SEHException) when (Observe(seen)) { }
                }
                Expect.Equal(seen[0].record + 20, seen[0].text, "address for an application code");
                Expect.Equal("System Error", Marshal.PtrToStringAnsi(seen[1].text), "text for another code");
            });

            yield return new Case("control: the raiser's unwind wipes what a bridge would read after it", () =>
            {
                var seen = new List<(IntPtr record, IntPtr text)>();
                string during = null, after = null;
                try { Native.RaiseText(0xE0000003, "abc"); }
                catch (SEHException) when (Observe(seen) && (during = Marshal.PtrToStringAnsi(seen[0].text)) != null)
                {
                    after = Marshal.PtrToStringAnsi(seen[0].text);
                }
                Expect.Equal("abc", during, "text during the filter");
                Expect.Equal(Native.Wiped, after, "text after the unwind");
            });

            yield return new Case("nested: the outer call converts a raise that follows an inner call that returned", () =>
                Expect.Converted(Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() =>
                {
                    Faultbridge.CallUnmanagedFunction(Native.ReturnNormally);
                    Native.RaiseText(0xE0000001, "outer");
                })), "outer"));
            yield return new Case("nested: the inner conversion travels as 0xE0434352 and the outer call converts it again", () =>
                Expect.Converted(Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() =>
                    Faultbridge.CallUnmanagedFunction(() => Native.RaiseText(0xE0000001, "inner")))),
                    Native.AnsiText(BitConverter.GetBytes(new ApplicationException().HResult))));
            yield return new Case("nested: a code that is not ours passes both calls", () =>
                Expect.Equal(typeof(SEHException), Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() =>
                    Faultbridge.CallUnmanagedFunction(() => Native.RaiseText(0xDFFFFFFF, "")))).GetType(), "what reached the caller"));

            yield return new Case("8 threads at once, each with its own text", () =>
            {
                const int Threads = 8, Calls = 100;
                var start = new Barrier(Threads);
                var wrong = new List<string>();
                var threads = Enumerable.Range(0, Threads).Select(t => new Thread(() =>
                {
                    start.SignalAndWait();
                    for (int i = 0; i < Calls; ++i)
                    {
                        string own = $"thread {t} call {i}";
                        Exception caught = Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => Native.RaiseText(0xE0000001, own)));
                        if (caught?.GetType() != typeof(ApplicationException) || caught.Message != own)
                            lock (wrong) wrong.Add(own + " -> " + caught?.Message);
                    }
                })).ToList();
                threads.ForEach(thread => thread.Start());
                threads.ForEach(thread => thread.Join());
                Expect.Equal("", string.Join("; ", wrong.Take(5)), "calls that received another text");
            });
        }

        // In a filter: the live record's address and what the lookup gives for it.
        private static bool Observe(List<(IntPtr record, IntPtr text)> seen)
        {
            IntPtr pointers = Marshal.GetExceptionPointers();
            seen.Add((Marshal.ReadIntPtr(pointers), Faultbridge.GetExceptionString(pointers)));
            return true;
        }

        private static uint[] Words(string text)
        {
            byte[] bytes = text.Select(c => (byte)c).ToArray();
            return Enumerable.Range(0, 15).Select(i => BitConverter.ToUInt32(bytes, 4 * i)).ToArray();
        }
    }
}
