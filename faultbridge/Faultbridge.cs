using System;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Security;

namespace Faultkit
{
    /// <summary>
    /// Runs native work under an exception filter and turns the structured
    /// exceptions it raises with an application error code (the three top bits
    /// of the 32-bit code set) into <see cref="ApplicationException"/> with the
    /// text that the native code packed into the exception's parameter words.
    /// </summary>
    /// <remarks>
    /// Native code reports a failure by raising a structured exception whose
    /// code AND 0xE0000000 equals 0xE0000000 and whose parameter words hold a
    /// zero-terminated 8-bit text (first character in the low byte of the first
    /// word; at most 59 characters and the zero byte in the 15 words). The
    /// library is built for 32-bit x86 processes and reads exception records in
    /// their 32-bit layout.
    /// </remarks>
    public class Faultbridge
    {
        /// <summary>
        /// A class-wide integer that callers may set through
        /// <see cref="SetErrorMessage"/> and read directly. It is 0 when the
        /// library is loaded; the library itself never reads or changes it
        /// otherwise. One value per application domain, shared by all objects
        /// and threads; the last store wins.
        /// </summary>
        public static int m_strErrorMessage;

        /// <summary>The native work to run: no arguments, no result.</summary>
        public delegate void UnmanagedFunction();

        // Exception record, 32-bit layout: the code at offset 0, the parameter
        // words (15 of 32 bits) from offset 20.
        private const int CodeOffset = 0;
        private const int ParameterAreaOffset = 20;
        private const int ParameterAreaBytes = 60;
        private const uint ApplicationErrorBits = 0xE0000000;

        // The two fixed texts: zero-terminated 8-bit strings that live as long
        // as the library, allocated once and never freed.
        private static readonly IntPtr NoMessage = FixedText("no message");
        private static readonly IntPtr SystemError = FixedText("System Error");

        /// <summary>Creates an object; it holds no state of its own.</summary>
        public Faultbridge()
        {
        }

        /// <summary>Stores <paramref name="n"/> in <see cref="m_strErrorMessage"/>.</summary>
        /// <param name="n">The value to store.</param>
        public void SetErrorMessage(int n)
        {
            m_strErrorMessage = n;
        }

        /// <summary>
        /// The filter's verdict for an exception: 1 (run the handler) when the
        /// exception code is an application error code, 0 (go on searching)
        /// otherwise.
        /// </summary>
        /// <param name="pxExceptionInfo">
        /// The address of the exception pointers (EXCEPTION_POINTERS, 32-bit
        /// layout). Only the record address and the record's code are read.
        /// </param>
        /// <returns>1 or 0; 0 as well when there are no pointers or no record.</returns>
        public static uint filter(IntPtr pxExceptionInfo)
        {
            IntPtr record = RecordOf(pxExceptionInfo);
            return record != IntPtr.Zero && IsApplicationCode(record) ? 1u : 0u;
        }

        /// <summary>
        /// Runs <paramref name="function"/>. A structured exception with an
        /// application error code that leaves it reaches the caller as a new
        /// <see cref="ApplicationException"/> whose message is exactly the
        /// native text, with no inner exception. Every other exception, access
        /// violations included, reaches the caller unchanged.
        /// </summary>
        /// <param name="function">The native work.</param>
        /// <exception cref="ArgumentNullException"><paramref name="function"/> is null; nothing runs.</exception>
        /// <exception cref="ApplicationException">The native work raised an application error code.</exception>
        [HandleProcessCorruptedStateExceptions]
        [SecurityCritical]
        public static void CallUnmanagedFunction(UnmanagedFunction function)
        {
            CallUnmanagedFunction(function, Marshal.GetExceptionPointers);
        }

        /// <summary>
        /// The guarded call, with the source of the exception pointers that its
        /// filter stage reads: the runtime's own for the public call; records
        /// built in memory for the tests of its reading.
        /// </summary>
        [HandleProcessCorruptedStateExceptions]
        [SecurityCritical]
        internal static void CallUnmanagedFunction(UnmanagedFunction function, Func<IntPtr> exceptionPointers)
        {
            if (function == null)
                throw new ArgumentNullException("function");
            string message = null;
            try
            {
                function.Invoke();
            }
            catch (Exception) when (TakeApplicationMessage(exceptionPointers, out message))
            {
                throw new ApplicationException(message);
            }
        }

        /// <summary>
        /// The text that belongs to an exception, for a caller that already
        /// holds its pointers: the record's parameter area (the record's address
        /// plus 20, no copy) for an application error code, otherwise the
        /// address of the fixed text "System Error"; the fixed text
        /// "no message" when there are no pointers or they name no record.
        /// </summary>
        /// <param name="p">The address of the exception pointers, or 0.</param>
        /// <returns>
        /// The address of zero-terminated 8-bit text. Borrowed: never free it,
        /// and use a record's text no longer than the record lives.
        /// </returns>
        public static IntPtr GetExceptionString(IntPtr p)
        {
            IntPtr record = RecordOf(p);
            if (record == IntPtr.Zero)
                return NoMessage;
            return IsApplicationCode(record) ? record + ParameterAreaOffset : SystemError;
        }

        // Filter stage of a guarded call, run by the runtime before it unwinds:
        // the record lies in the raising call's stack and is valid only now, so
        // the text is copied here. Nothing that happens in here may replace the
        // exception in flight: a runtime that cannot give exception pointers
        // lets it pass unchanged.
        private static bool TakeApplicationMessage(Func<IntPtr> exceptionPointers, out string message)
        {
            message = null;
            try
            {
                IntPtr pointers = exceptionPointers();
                if (filter(pointers) != 1)
                    return false;
                message = ReadMessage(RecordOf(pointers) + ParameterAreaOffset);
                return true;
            }
            catch
            {
                return false;
            }
        }

        /// <summary>
        /// The text in a parameter area: up to its zero byte, and never past the
        /// 60 bytes of the area (a text without a zero byte there is cut at its
        /// end). Read in the system's ANSI code page.
        /// </summary>
        internal static string ReadMessage(IntPtr parameterArea)
        {
            int length = 0;
            while (length < ParameterAreaBytes && Marshal.ReadByte(parameterArea, length) != 0)
                ++length;
            return length == 0 ? string.Empty : Marshal.PtrToStringAnsi(parameterArea, length);
        }

        // The record address: the first member of the exception pointers, read
        // as the pointer it is. No conversion through a signed number: a
        // large-address-aware host has records above 2 GB.
        private static IntPtr RecordOf(IntPtr pointers)
        {
            if (pointers == IntPtr.Zero)
                return IntPtr.Zero;
            return Marshal.ReadIntPtr(pointers, 0);
        }

        private static bool IsApplicationCode(IntPtr record)
        {
            uint code = (uint)Marshal.ReadInt32(record, CodeOffset);
            return (code & ApplicationErrorBits) == ApplicationErrorBits;
        }

        private static IntPtr FixedText(string text)
        {
            IntPtr address = Marshal.AllocHGlobal(text.Length + 1);
            for (int i = 0; i < text.Length; ++i)
                Marshal.WriteByte(address, i, (byte)text[i]);
            Marshal.WriteByte(address, text.Length, 0);
            return address;
        }
    }
}
