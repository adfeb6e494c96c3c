// The library as a host sees it: its identity and public surface, and the
// class-wide integer.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Reflection;
using System.Runtime.ExceptionServices;
using System.Runtime.Loader;

namespace Faultkit.Tests
{
    internal static class LibraryShape
    {
        private static readonly Assembly Library = typeof(Faultbridge).Assembly;

        public static IEnumerable<Case> Cases()
        {
            yield return new Case("identity: Faultbridge 1.0.0.0 whatever the build's version (its file version), culture-neutral, no strong name, v4.0.30319, x86 only", () =>
            {
                AssemblyName name = Library.GetName();
                Expect.Equal("Faultbridge", name.Name, "name");
                Expect.Equal(new Version(1, 0, 0, 0), name.Version, "version");
                string built = typeof(LibraryShape).Assembly.GetCustomAttributes<AssemblyMetadataAttribute>()
                    .Single(a => a.Key == "FaultbridgeVersion").Value;
                Expect.Equal(built + ".0", Library.GetCustomAttribute<AssemblyFileVersionAttribute>()?.Version, "file version");
                Expect.Equal("", name.CultureName, "culture");
                Expect.Equal(0, (name.GetPublicKeyToken() ?? new byte[0]).Length, "public key token bytes");
                Expect.Equal("v4.0.30319", Library.ImageRuntimeVersion, "runtime version");
                Library.ManifestModule.GetPEKind(out PortableExecutableKinds kind, out ImageFileMachine machine);
                Expect.Equal(PortableExecutableKinds.ILOnly | PortableExecutableKinds.Required32Bit, kind, "kind");
                Expect.Equal(ImageFileMachine.I386, machine, "machine");
                Expect.Equal("mscorlib", string.Join(",", Library.GetReferencedAssemblies().Select(a => a.Name)), "references");
            });

            yield return new Case("public surface: exactly the specified types and members, nothing more", () =>
            {
                Type type = typeof(Faultbridge);
                Expect.True(type.Namespace == "Faultkit" && type.IsPublic && type.IsClass && !type.IsSealed && !type.IsAbstract
                            && type.BaseType == typeof(object), "a public, unsealed class Faultkit.Faultbridge on System.Object");
                Type callable = typeof(Faultbridge.UnmanagedFunction);
                Expect.True(callable.IsNestedPublic && callable.IsSealed && callable.BaseType == typeof(MulticastDelegate),
                            "a public delegate type UnmanagedFunction");
                Expect.Equal("Faultkit.Faultbridge; Faultkit.Faultbridge+UnmanagedFunction",
                             string.Join("; ", Library.GetExportedTypes().Select(t => t.FullName).OrderBy(n => n, StringComparer.Ordinal)),
                             "public types");
                Expect.Equal(string.Join("; ", Surface.OrderBy(text => text, StringComparer.Ordinal)),
                             string.Join("; ", PublicMembers(type).Concat(PublicMembers(callable)).OrderBy(text => text, StringComparer.Ordinal)),
                             "public members");
                Expect.Equal(0, type.GetFields(BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic).Length, "instance fields");
                Expect.True(type.GetMethod("CallUnmanagedFunction", new[] { callable }).IsDefined(typeof(HandleProcessCorruptedStateExceptionsAttribute)),
                            "CallUnmanagedFunction marked HandleProcessCorruptedStateExceptions");
            });

            yield return new Case("m_strErrorMessage: set through one object, seen through all", () =>
            {
                var first = new Faultbridge();
                var second = new Faultbridge();
                first.SetErrorMessage(-1);
                Expect.Equal(-1, Faultbridge.m_strErrorMessage, "after -1 through one object");
                second.SetErrorMessage(7);
                Expect.Equal(7, Faultbridge.m_strErrorMessage, "after 7 through another");
                first.SetErrorMessage(0);
            });

            yield return new Case("m_strErrorMessage: 0 in a freshly loaded copy, also after failures", () =>
            {
                var context = new AssemblyLoadContext("fresh copy", isCollectible: true);
                Type fresh = context.LoadFromAssemblyPath(Library.Location).GetType("Faultkit.Faultbridge");
                Type callable = fresh.GetNestedType("UnmanagedFunction");
                Delegate raise = Delegate.CreateDelegate(callable, typeof(LibraryShape).GetMethod(nameof(RaiseAbc), BindingFlags.NonPublic | BindingFlags.Static));
                Exception caught = Expect.Thrown(() => fresh.GetMethod("CallUnmanagedFunction", new[] { callable }).Invoke(null, new object[] { raise }));
                Expect.Equal(typeof(ApplicationException), caught?.InnerException?.GetType(), "the fresh copy converted");
                fresh.GetMethod("GetExceptionString").Invoke(null, new object[] { IntPtr.Zero });
                Expect.Equal(0, (int)fresh.GetField("m_strErrorMessage").GetValue(null), "its m_strErrorMessage");
                context.Unload();
            });
        }

        private static void RaiseAbc() => Native.RaiseText(0xE0000001, "abc");

        // Every public member of the class and of its callable type, as a host
        // sees it; the callable's are the runtime's own for a delegate.
        private static readonly string[] Surface = {
            "Faultbridge: static Int32 m_strErrorMessage",
            "Faultbridge: static UInt32 filter(IntPtr)",
            "Faultbridge: static IntPtr GetExceptionString(IntPtr)",
            "Faultbridge: static Void CallUnmanagedFunction(UnmanagedFunction)",
            "Faultbridge: Faultkit.Faultbridge+UnmanagedFunction",
            "Faultbridge: Void .ctor()",
            "Faultbridge: Void SetErrorMessage(Int32)",
            "UnmanagedFunction: System.IAsyncResult BeginInvoke(System.AsyncCallback, System.Object)",
            "UnmanagedFunction: Void .ctor(System.Object, IntPtr)",
            "UnmanagedFunction: Void EndInvoke(System.IAsyncResult)",
            "UnmanagedFunction: Void Invoke()",
        };

        private static IEnumerable<string> PublicMembers(Type type) =>
            type.GetMembers(BindingFlags.Public | BindingFlags.Static | BindingFlags.Instance | BindingFlags.DeclaredOnly)
                .Select(member => $"{type.Name}: {(IsStatic(member) ? "static " : "")}{(member is FieldInfo { IsInitOnly: true } ? "readonly " : "")}{member}");

        private static bool IsStatic(MemberInfo member) =>
            member is MethodBase { IsStatic: true } || member is FieldInfo { IsStatic: true };
    }
}
