using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Security;
using System.Threading;
using System.Xml.Linq;
using NUnit.Framework;

namespace Faultkit.Tests
{
    [TestFixture]
    public class FilterAndLookup
    {
        [TestCase(0xE0000000u, 1u)]
        [TestCase(0xE0000001u, 1u)]
        [TestCase(0xE0434352u, 1u)]
        [TestCase(0xFFFFFFFFu, 1u)]
        [TestCase(0xDFFFFFFFu, 0u)]
        [TestCase(0xC0000005u, 0u)]   // access violation
        [TestCase(0x80000003u, 0u)]   // breakpoint
        [TestCase(0x00000000u, 0u)]
        public void VerdictRestsOnTheCodeAlone(uint code, uint verdict)
        {
            using (var record = new NativeRecord(code))
            {
                Assert.AreEqual(verdict, Faultbridge.filter(record.Pointers));
                IntPtr expected = verdict == 1 ? record.ParameterArea : Faultbridge.GetExceptionString(SystemErrorPointers());
                Assert.AreEqual(expected, Faultbridge.GetExceptionString(record.Pointers));
            }
        }

        [Test]
        public void NoPointersOrNoRecord()
        {
            IntPtr noMessage = Faultbridge.GetExceptionString(IntPtr.Zero);
            Assert.AreEqual("no message", Marshal.PtrToStringAnsi(noMessage));
            Assert.AreEqual(0u, Faultbridge.filter(IntPtr.Zero));
            using (var empty = new NativeRecord(0xE0000001))
            {
                Marshal.WriteInt32(empty.Pointers, 0, 0);   // pointers that name no record
                Assert.AreEqual(0u, Faultbridge.filter(empty.Pointers));
                Assert.AreEqual(noMessage, Faultbridge.GetExceptionString(empty.Pointers));
            }
        }

        [Test]
        public void FixedTextsKeepTheirAddresses()
        {
            IntPtr noMessage = Faultbridge.GetExceptionString(IntPtr.Zero);
            IntPtr systemError = Faultbridge.GetExceptionString(SystemErrorPointers());
            IntPtr fromOtherThread = IntPtr.Zero;
            var thread = new Thread(() => fromOtherThread = Faultbridge.GetExceptionString(IntPtr.Zero));
            thread.Start();
            thread.Join();
            Assert.AreEqual(noMessage, fromOtherThread);
            for (int i = 0; i < 100; ++i)
            {
                Assert.AreEqual(noMessage, Faultbridge.GetExceptionString(IntPtr.Zero));
                Assert.AreEqual(systemError, Faultbridge.GetExceptionString(SystemErrorPointers()));
            }
            Assert.AreEqual("no message", ZeroTerminated(noMessage, 11));
            Assert.AreEqual("System Error", ZeroTerminated(systemError, 13));
        }

        [Test]
        public void OnlyTheNamedRecordsCodeIsRead()
        {
            // A nested record with an application code is never followed, and
            // flags, address and parameter count do not matter.
            using (var nested = new NativeRecord(0xE0000001))
            using (var record = new NativeRecord(0xC0000005))
            {
                Marshal.WriteInt32(record.Record, NativeRecord.NestedOffset, (int)nested.Record.ToInt64());
                Marshal.WriteInt32(record.Record, NativeRecord.FlagsOffset, -1);
                Marshal.WriteInt32(record.Record, NativeRecord.AddressOffset, -1);
                Marshal.WriteInt32(record.Record, NativeRecord.CountOffset, 0);
                Assert.AreEqual(0u, Faultbridge.filter(record.Pointers));
                Assert.AreEqual("System Error", Marshal.PtrToStringAnsi(Faultbridge.GetExceptionString(record.Pointers)));
            }
        }

        private static NativeRecord systemErrorRecord = new NativeRecord(0xC0000005);

        private static IntPtr SystemErrorPointers()
        {
            return systemErrorRecord.Pointers;
        }

        private static string ZeroTerminated(IntPtr text, int bytesWithZero)
        {
            Assert.AreEqual(0, Marshal.ReadByte(text, bytesWithZero - 1), "zero byte where expected");
            return Marshal.PtrToStringAnsi(text, bytesWithZero - 1);
        }
    }

    /// <summary>
    /// The guarded call's filter stage on records built in memory, fed to it
    /// in place of the runtime's exception pointers: its verdict, the text
    /// it copies and what reaches the caller. Holds on every runtime.
    /// </summary>
    [TestFixture]
    public class FilterStage
    {
        private static readonly string FiftyNine = new string('Q', 59);

        private static IEnumerable<TestCaseData> Records()
        {
            yield return new TestCaseData(0xE0000001u, "abc\0", "abc").SetName("0xE0000001 with abc");
            yield return new TestCaseData(0xE0000001u, FiftyNine + "\0", FiftyNine).SetName("59 characters");
            yield return new TestCaseData(0xE0000001u, "\0abc\0", "").SetName("empty text");
            yield return new TestCaseData(0xE0000001u, new string('x', 64), new string('x', 60))
                .SetName("no zero byte within the 60 bytes: cut at 60");
            yield return new TestCaseData(0xE0434352u, "clr\0", "clr")
                .SetName("0xE0434352, the .NET Framework's code for managed exceptions, is converted");
            yield return new TestCaseData(0xC0000005u, "abc\0", null).SetName("0xC0000005 passes unchanged");
            yield return new TestCaseData(0x80000003u, "abc\0", null).SetName("0x80000003 passes unchanged");
        }

        [TestCaseSource("Records")]
        public void ConvertsOrPassesWhatLeavesTheCallable(uint code, string parameterBytes, string message)
        {
            using (var record = new NativeRecord(code))
            {
                record.SetParameterBytes(NativeRecord.Bytes(parameterBytes));
                var raised = new InvalidOperationException("as the runtime reports the raised exception");
                Exception caught = null;
                try
                {
                    Faultbridge.CallUnmanagedFunction(() =>
                    {
                        try { throw raised; }
                        // The unwind comes after the filter stage, and the raising
                        // frame's record is gone by then.
                        finally { record.SetParameterBytes(NativeRecord.Bytes("gone\0" + new string('?', 55))); }
                    }, () => record.Pointers);
                }
                catch (Exception e)
                {
                    caught = e;
                }
                if (message == null)
                {
                    Assert.AreSame(raised, caught);
                    return;
                }
                Assert.AreEqual(typeof(ApplicationException), caught.GetType());
                Assert.AreEqual(message, caught.Message);
                Assert.IsNull(caught.InnerException);
            }
        }
    }

    [TestFixture]
    public class GuardedCall
    {
        [Test]
        public void NormalCallableReturnsNormally()
        {
            int runs = 0;
            Assert.DoesNotThrow(() => Faultbridge.CallUnmanagedFunction(() => ++runs));
            Assert.AreEqual(1, runs);
        }

        [Test]
        public void NullCallableIsRefusedBeforeAnythingRuns()
        {
            var error = Assert.Throws<ArgumentNullException>(() => Faultbridge.CallUnmanagedFunction(null));
            Assert.AreEqual("function", error.ParamName);
        }

        // Holds only where the runtime gives no exception pointers (Mono): the
        // filter stage lets everything pass. On the .NET Framework a managed
        // exception travels with code 0xE0434352 and is converted.
        [Test]
        public void OnMonoOnly_ManagedExceptionPassesUnchanged()
        {
            var thrown = new Exception[] {
                new InvalidOperationException("managed"), new ApplicationException("already one"),
                new AccessViolationException("reported as an access violation"),
            };
            foreach (Exception exception in thrown)
            {
                Exception caught = CatchFrom(() => { throw exception; });
                Assert.AreSame(exception, caught);
            }
        }

        [Test]
        public void GuardedCallsNest()
        {
            // The inner call converts its record's text; the outer one, whose
            // exception is an access violation, passes the result on unchanged.
            using (var inner = new NativeRecord(0xE0000001))
            using (var outer = new NativeRecord(0xC0000005))
            {
                inner.SetParameterBytes(NativeRecord.Bytes("inner\0"));
                Exception caught = CatchFrom(() => Faultbridge.CallUnmanagedFunction(
                    () => Faultbridge.CallUnmanagedFunction(Raise, () => inner.Pointers), () => outer.Pointers));
                Assert.AreEqual(typeof(ApplicationException), caught.GetType());
                Assert.AreEqual("inner", caught.Message);
            }
        }

        [Test]
        public void ConcurrentCallsShareNothing()
        {
            const int Threads = 8, Calls = 500;
            var failures = new List<string>();
            var threads = Enumerable.Range(0, Threads).Select(t => new Thread(() =>
            {
                using (var record = new NativeRecord(0xE0000001))
                    for (int i = 0; i < Calls; ++i)
                    {
                        string own = t + ":" + i;
                        record.SetParameterBytes(NativeRecord.Bytes(own + "\0"));
                        Exception caught = CatchFrom(() => Faultbridge.CallUnmanagedFunction(Raise, () => record.Pointers));
                        int runs = 0;
                        Faultbridge.CallUnmanagedFunction(() => ++runs);
                        if (caught.Message != own || runs != 1
                            || Faultbridge.GetExceptionString(IntPtr.Zero) != Faultbridge.GetExceptionString(IntPtr.Zero))
                            lock (failures) failures.Add(own);
                    }
            })).ToList();
            threads.ForEach(thread => thread.Start());
            threads.ForEach(thread => thread.Join());
            CollectionAssert.IsEmpty(failures);
        }

        private static void Raise()
        {
            throw new InvalidOperationException("stands for the raised exception");
        }

        private static Exception CatchFrom(Action work)
        {
            try
            {
                Faultbridge.CallUnmanagedFunction(() => work());
            }
            catch (Exception caught)
            {
                return caught;
            }
            Assert.Fail("nothing reached the caller");
            return null;
        }
    }

    [TestFixture]
    public class ErrorMessageField
    {
        [Test]
        public void SetThroughOneObjectSeenByAll()
        {
            var first = new Faultbridge();
            var second = new Faultbridge();
            try
            {
                first.SetErrorMessage(-1);
                Assert.AreEqual(-1, Faultbridge.m_strErrorMessage);
                second.SetErrorMessage(7);
                Assert.AreEqual(7, Faultbridge.m_strErrorMessage);
            }
            finally
            {
                first.SetErrorMessage(0);
            }
        }

        [Test]
        public void ZeroWhenLoadedAndUntouchedByFailures()
        {
            // A fresh application domain loads its own copy of the library.
            AppDomain domain = AppDomain.CreateDomain("fresh", null, AppDomain.CurrentDomain.SetupInformation);
            try
            {
                var probe = (FieldProbe)domain.CreateInstanceAndUnwrap(typeof(FieldProbe).Assembly.FullName, typeof(FieldProbe).FullName);
                Assert.AreEqual(0, probe.ValueAfterFailures());
            }
            finally
            {
                AppDomain.Unload(domain);
            }
        }
    }

    public class FieldProbe : MarshalByRefObject
    {
        public int ValueAfterFailures()
        {
            // Mono passes this exception on, the .NET Framework converts it: either way it fails.
            try { Faultbridge.CallUnmanagedFunction(() => { throw new InvalidOperationException(); }); }
            catch (Exception) { }
            Faultbridge.GetExceptionString(IntPtr.Zero);
            return Faultbridge.m_strErrorMessage;
        }
    }

    [TestFixture]
    public class AssemblyShape
    {
        private static readonly Assembly Library = typeof(Faultbridge).Assembly;

        [Test]
        public void Identity()
        {
            AssemblyName name = Library.GetName();
            Assert.AreEqual("Faultbridge", name.Name);
            Assert.AreEqual(new Version(1, 0, 0, 0), name.Version);
            Assert.AreEqual("", name.CultureName);
            CollectionAssert.IsEmpty(name.GetPublicKeyToken() ?? new byte[0]);
            Assert.AreEqual("v4.0.30319", Library.ImageRuntimeVersion);
            PortableExecutableKinds kind;
            ImageFileMachine machine;
            Library.ManifestModule.GetPEKind(out kind, out machine);
            Assert.AreEqual(PortableExecutableKinds.ILOnly | PortableExecutableKinds.Required32Bit, kind);
            Assert.AreEqual(ImageFileMachine.I386, machine);
            CollectionAssert.AreEqual(new[] { "mscorlib" }, Library.GetReferencedAssemblies().Select(a => a.Name).ToArray());
        }

        [Test]
        public void PublicSurface()
        {
            Type type = typeof(Faultbridge);
            Assert.AreEqual("Faultkit", type.Namespace);
            Assert.IsTrue(type.IsPublic && type.IsClass && !type.IsSealed && !type.IsAbstract);
            Assert.AreEqual(typeof(object), type.BaseType);
            CollectionAssert.IsEmpty(type.GetFields(BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic));
            Assert.IsNotNull(type.GetConstructor(Type.EmptyTypes));

            FieldInfo field = type.GetField("m_strErrorMessage");
            Assert.IsTrue(field.IsPublic && field.IsStatic && !field.IsInitOnly && field.FieldType == typeof(int));

            Type callable = typeof(Faultbridge.UnmanagedFunction);
            Assert.IsTrue(callable.IsNestedPublic && callable.IsSealed && callable.BaseType == typeof(MulticastDelegate));
            MethodInfo invoke = callable.GetMethod("Invoke");
            Assert.AreEqual(typeof(void), invoke.ReturnType);
            CollectionAssert.IsEmpty(invoke.GetParameters());

            AssertMethod("SetErrorMessage", false, typeof(void), typeof(int));
            AssertMethod("filter", true, typeof(uint), typeof(IntPtr));
            AssertMethod("GetExceptionString", true, typeof(IntPtr), typeof(IntPtr));
            MethodInfo call = AssertMethod("CallUnmanagedFunction", true, typeof(void), callable);
            Assert.IsTrue(call.IsDefined(typeof(HandleProcessCorruptedStateExceptionsAttribute), false));
            Assert.IsTrue(call.IsDefined(typeof(SecurityCriticalAttribute), false));
        }

        [Test]
        public void DocumentationShipsBesideTheAssembly()
        {
            string xml = Path.ChangeExtension(new Uri(Library.CodeBase).LocalPath, ".xml");
            XDocument doc = XDocument.Load(xml);
            Assert.AreEqual("Faultbridge", doc.Root.Element("assembly").Element("name").Value);
            var documented = doc.Root.Element("members").Elements("member").Select(m => (string)m.Attribute("name")).ToList();
            foreach (string member in new[] {
                "T:Faultkit.Faultbridge", "T:Faultkit.Faultbridge.UnmanagedFunction", "F:Faultkit.Faultbridge.m_strErrorMessage",
                "M:Faultkit.Faultbridge.#ctor", "M:Faultkit.Faultbridge.SetErrorMessage(System.Int32)",
                "M:Faultkit.Faultbridge.filter(System.IntPtr)", "M:Faultkit.Faultbridge.GetExceptionString(System.IntPtr)",
                "M:Faultkit.Faultbridge.CallUnmanagedFunction(Faultkit.Faultbridge.UnmanagedFunction)" })
                CollectionAssert.Contains(documented, member);
        }

        private static MethodInfo AssertMethod(string name, bool isStatic, Type result, Type argument)
        {
            MethodInfo method = typeof(Faultbridge).GetMethod(name);
            Assert.IsNotNull(method, name);
            Assert.IsTrue(method.IsPublic, name);
            Assert.AreEqual(isStatic, method.IsStatic, name);
            Assert.AreEqual(result, method.ReturnType, name);
            CollectionAssert.AreEqual(new[] { argument }, method.GetParameters().Select(p => p.ParameterType).ToArray(), name);
            return method;
        }
    }
}

namespace Faultkit.Tests
{
    /// <summary>
    /// Records raised by the native failure-reporting helper under Wine and
    /// saved with the message they carry: the bridge reads that message back.
    /// </summary>
    [TestFixture, Category("RaisedRecords")]
    public class RaisedRecords
    {
        [Test]
        public void BridgeReadsWhatTheHelperPacked()
        {
            string directory = Environment.GetEnvironmentVariable("FAULTBRIDGE_RAISED_RECORDS");
            Assert.IsNotNullOrEmpty(directory, "FAULTBRIDGE_RAISED_RECORDS names the folder of raised records");
            string[] records = Directory.GetFiles(directory, "*.bin");
            Assert.That(records.Length, Is.GreaterThanOrEqualTo(4), "records found");
            foreach (string path in records)
            {
                byte[] bytes = File.ReadAllBytes(path);
                string message = File.ReadAllText(Path.ChangeExtension(path, ".txt"), System.Text.Encoding.GetEncoding("ISO-8859-1"));
                Assert.AreEqual(NativeRecord.RecordSize, bytes.Length, path);
                using (var record = new NativeRecord(0))
                {
                    Marshal.Copy(bytes, 0, record.Record, bytes.Length);
                    Assert.AreEqual(1u, Faultbridge.filter(record.Pointers), path);
                    IntPtr text = Faultbridge.GetExceptionString(record.Pointers);
                    Assert.AreEqual(record.ParameterArea, text, path);
                    Assert.AreEqual(message, Faultbridge.ReadMessage(text), path);
                }
            }
        }
    }
}
