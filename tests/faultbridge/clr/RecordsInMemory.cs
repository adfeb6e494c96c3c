// The bridge's reading of exception records built in memory in the 32-bit
// layout: the verdict for each kind of code, the text lookup and its fixed
// texts, records above 2 GB, and what the guarded call's filter stage does
// when its source of exception pointers gives none, a record longer than
// any raise shows or one above 2 GB, which no runtime gives on demand.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Faultkit.Tests
{
    /// <summary>Exception pointers and a record (EXCEPTION_POINTERS, EXCEPTION_RECORD; 32-bit) in unmanaged memory.</summary>
    internal sealed class NativeRecord : IDisposable
    {
        public const int Size = 4096;
        public readonly IntPtr Pointers;   // record, then context
        public readonly IntPtr Record;
        private readonly bool aboveTwoGigabytes;

        /// <param name="aboveTwoGigabytes">
        /// From the top of the address space instead of the heap: above 2 GB in
        /// a large-address-aware process on a 64-bit system, as this host is.
        /// </param>
        public NativeRecord(uint code, bool aboveTwoGigabytes = false)
        {
            this.aboveTwoGigabytes = aboveTwoGigabytes;
            Pointers = aboveTwoGigabytes ? HighMemory.Allocate(Size) : Marshal.AllocHGlobal(Size);
            Marshal.Copy(new byte[Size], 0, Pointers, Size);
            Record = Pointers + 16;
            Marshal.WriteIntPtr(Pointers, Record);
            Marshal.WriteInt32(Record, 0, unchecked((int)code));
        }

        public IntPtr ParameterArea => Record + 20;

        public void Dispose()
        {
            if (aboveTwoGigabytes)
                HighMemory.Free(Pointers);
            else
                Marshal.FreeHGlobal(Pointers);
        }
    }

    /// <summary>Memory from the top of the address space, which must lie above 2 GB.</summary>
    internal static class HighMemory
    {
        private const uint Commit = 0x1000, Reserve = 0x2000, TopDown = 0x100000, Release = 0x8000;
        private const uint ReadWrite = 0x04;

        [DllImport("kernel32.dll", SetLastError = true)]
        private static extern IntPtr VirtualAlloc(IntPtr address, UIntPtr size, uint type, uint protection);

        [DllImport("kernel32.dll", SetLastError = true)]
        private static extern bool VirtualFree(IntPtr address, UIntPtr size, uint type);

        public static IntPtr Allocate(int size)
        {
            IntPtr memory = VirtualAlloc(IntPtr.Zero, (UIntPtr)size, Commit | Reserve | TopDown, ReadWrite);
            if (memory == IntPtr.Zero)
                throw new CaseFailed($"VirtualAlloc(MEM_TOP_DOWN) failed with error {Marshal.GetLastWin32Error()}");
            if ((nuint)memory < 0x80000000u)
            {
                VirtualFree(memory, UIntPtr.Zero, Release);
                throw new CaseFailed($"VirtualAlloc(MEM_TOP_DOWN) gave 0x{(nuint)memory:X8}, below 2 GB: the host is not "
                                     + "large-address-aware, or the system gives a 32-bit process no more than 2 GB");
            }
            return memory;
        }

        public static void Free(IntPtr memory) => VirtualFree(memory, UIntPtr.Zero, Release);
    }

    internal static class RecordsInMemory
    {
        public static IEnumerable<Case> Cases()
        {
            IntPtr noMessage = Faultbridge.GetExceptionString(IntPtr.Zero);
            IntPtr systemError;
            using (var other = new NativeRecord(0xC0000005))
                systemError = Faultbridge.GetExceptionString(other.Pointers);

            foreach ((uint code, uint verdict) in new[] {
                (0xE0000000u, 1u), (0xE0000001u, 1u), (0xE0434352u, 1u), (0xFFFFFFFFu, 1u),
                (0xDFFFFFFFu, 0u), (0xC0000005u, 0u), (0x80000003u, 0u), (0u, 0u) })
                yield return new Case($"0x{code:X8}: verdict {verdict}, lookup " + (verdict == 1 ? "record + 20" : "\"System Error\""), () =>
                {
                    using var record = new NativeRecord(code);
                    Expect.Equal(verdict, Faultbridge.filter(record.Pointers), "verdict");
                    Expect.Equal(verdict == 1 ? record.ParameterArea : systemError, Faultbridge.GetExceptionString(record.Pointers), "lookup");
                });

            yield return new Case("no pointers, or pointers that name no record: verdict 0, lookup \"no message\"", () =>
            {
                Expect.Equal(0u, Faultbridge.filter(IntPtr.Zero), "verdict without pointers");
                using var empty = new NativeRecord(0xE0000001);
                Marshal.WriteIntPtr(empty.Pointers, IntPtr.Zero);
                Expect.Equal(0u, Faultbridge.filter(empty.Pointers), "verdict without a record");
                Expect.Equal(noMessage, Faultbridge.GetExceptionString(empty.Pointers), "lookup without a record");
            });

            yield return new Case("the fixed texts keep their addresses, on every thread", () =>
            {
                IntPtr fromOtherThread = IntPtr.Zero;
                var thread = new Thread(() => fromOtherThread = Faultbridge.GetExceptionString(IntPtr.Zero));
                thread.Start();
                thread.Join();
                Expect.Equal(noMessage, fromOtherThread, "\"no message\" from another thread");
                for (int i = 0; i < 100; ++i)
                    Expect.Equal(noMessage, Faultbridge.GetExceptionString(IntPtr.Zero), "\"no message\" again");
                Expect.Equal("no message", Marshal.PtrToStringAnsi(noMessage, 10), "text");
                Expect.Equal("System Error", Marshal.PtrToStringAnsi(systemError, 12), "text");
                Expect.Equal((byte)0, Marshal.ReadByte(noMessage, 10), "zero byte of \"no message\"");
                Expect.Equal((byte)0, Marshal.ReadByte(systemError, 12), "zero byte of \"System Error\"");
            });

            yield return new Case("only the named record's code counts: its link to a nested record, flags, address and count do not", () =>
            {
                using var nested = new NativeRecord(0xE0000001);
                using var record = new NativeRecord(0xC0000005);
                Marshal.WriteIntPtr(record.Record, 8, nested.Record);
                Marshal.WriteInt32(record.Record, 4, -1);
                Marshal.WriteInt32(record.Record, 12, -1);
                Marshal.WriteInt32(record.Record, 16, 0);
                Expect.Equal(0u, Faultbridge.filter(record.Pointers), "verdict");
                Expect.Equal(systemError, Faultbridge.GetExceptionString(record.Pointers), "lookup");
            });

            // The guarded call with another source of exception pointers
            // (the public call takes the runtime's).
            yield return new Case("the pointer source gives none: the exception passes unchanged", () =>
            {
                var raised = new InvalidOperationException("as raised");
                Exception caught = Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => throw raised, () => IntPtr.Zero));
                Expect.True(ReferenceEquals(raised, caught), $"the caller received {caught}");
            });

            // Records above 2 GB, as a large-address-aware host on a 64-bit
            // system has them: each entry point treats one exactly as it
            // treats a low one, which is checked first.
            foreach (uint code in new[] { 0xE0000001u, 0xC0000005u })
            {
                bool ours = code >= 0xE0000000u;
                foreach ((string entry, Action<NativeRecord> check) in new (string, Action<NativeRecord>)[] {
                    ("filter", record => Expect.Equal(ours ? 1u : 0u, Faultbridge.filter(record.Pointers), "verdict")),
                    ("GetExceptionString", record =>
                        Expect.Equal(ours ? record.ParameterArea : systemError, Faultbridge.GetExceptionString(record.Pointers), "lookup")),
                    ("CallUnmanagedFunction", record =>
                    {
                        var raised = new InvalidOperationException("as raised");
                        Exception caught = Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => throw raised, () => record.Pointers));
                        if (ours)
                            Expect.Converted(caught, "from the record");
                        else
                            Expect.True(ReferenceEquals(raised, caught), $"the exception passes unchanged; the caller received {caught}");
                    }) })
                    yield return new Case($"{entry}, 0x{code:X8}: a record above 2 GB as a low one", () =>
                    {
                        foreach (bool high in new[] { false, true })
                        {
                            using var record = new NativeRecord(code, high);
                            Marshal.Copy(Encoding.ASCII.GetBytes("from the record\0"), 0, record.ParameterArea, 16);
                            try
                            {
                                check(record);
                            }
                            catch (Exception failure)
                            {
                                string where = high ? $"the record at 0x{(nuint)record.Record:X8}" : "the low record";
                                throw new CaseFailed($"{where}: {(failure is CaseFailed ? failure.Message : failure.ToString())}");
                            }
                        }
                    });
            }

            // A raise in the runtime cannot show what lies past the 60 bytes;
            // a record in memory can: 64 non-zero bytes, of which 60 count.
            yield return new Case("64 non-zero bytes from the parameter area: the text stops at 60", () =>
            {
                using var record = new NativeRecord(0xE0000001);
                for (int i = 0; i < 64; ++i)
                    Marshal.WriteByte(record.ParameterArea, i, (byte)('0' + i));
                Exception caught = Expect.Thrown(() => Faultbridge.CallUnmanagedFunction(() => throw new InvalidOperationException(), () => record.Pointers));
                Expect.Converted(caught, new string(Enumerable.Range('0', 60).Select(c => (char)c).ToArray()));
            });
        }
    }
}
