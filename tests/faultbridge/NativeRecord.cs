using System;
using System.Linq;
using System.Runtime.InteropServices;

namespace Faultkit.Tests
{
    /// <summary>
    /// Exception pointers and an exception record in their 32-bit layout, in
    /// unmanaged memory below 4 GiB (the bridge reads 32-bit addresses, and
    /// these tests may run in a 64-bit process).
    /// </summary>
    internal sealed class NativeRecord : IDisposable
    {
        // EXCEPTION_RECORD, 32-bit: code, flags, nested record, address,
        // parameter count, then 15 parameter words.
        public const int CodeOffset = 0;
        public const int FlagsOffset = 4;
        public const int NestedOffset = 8;
        public const int AddressOffset = 12;
        public const int CountOffset = 16;
        public const int ParametersOffset = 20;
        public const int RecordSize = 80;
        private const int PageSize = 4096;

        public readonly IntPtr Pointers;   // EXCEPTION_POINTERS: record, context
        public readonly IntPtr Record;

        public NativeRecord(uint code)
        {
            Pointers = LowMemory.Allocate(PageSize);
            Record = Pointers + 16;
            for (int i = 0; i < PageSize; ++i)
                Marshal.WriteByte(Pointers, i, 0);
            Marshal.WriteInt32(Pointers, 0, checked((int)Record.ToInt64()));
            Code = code;
        }

        public uint Code
        {
            set { Marshal.WriteInt32(Record, CodeOffset, unchecked((int)value)); }
        }

        public IntPtr ParameterArea
        {
            get { return Record + ParametersOffset; }
        }

        /// <summary>The 8-bit bytes of a text, as native code packs them.</summary>
        public static byte[] Bytes(string text)
        {
            return text.Select(c => (byte)c).ToArray();
        }

        /// <summary>Packs text bytes into the parameter words, as native code does.</summary>
        public void SetParameterBytes(byte[] bytes)
        {
            Marshal.Copy(bytes, 0, ParameterArea, bytes.Length);
        }

        public void Dispose()
        {
            LowMemory.Free(Pointers, PageSize);
        }
    }

    internal static class LowMemory
    {
        private const int ProtReadWrite = 0x1 | 0x2;
        private const int MapPrivateAnonymous32Bit = 0x02 | 0x20 | 0x40;

        [DllImport("libc", SetLastError = true)]
        private static extern IntPtr mmap(IntPtr address, UIntPtr length, int protection, int flags, int fd, IntPtr offset);

        [DllImport("libc")]
        private static extern int munmap(IntPtr address, UIntPtr length);

        public static IntPtr Allocate(int bytes)
        {
            IntPtr address = mmap(IntPtr.Zero, (UIntPtr)bytes, ProtReadWrite, MapPrivateAnonymous32Bit, -1, IntPtr.Zero);
            if (address == new IntPtr(-1) || address.ToInt64() >= 0x100000000L)
                throw new InvalidOperationException("no memory below 4 GiB");
            return address;
        }

        public static void Free(IntPtr address, int bytes)
        {
            munmap(address, (UIntPtr)bytes);
        }
    }
}
