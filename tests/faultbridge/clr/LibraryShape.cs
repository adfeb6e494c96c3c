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
            yield return new Case("identity: Faultbridge, versioned as the build says, culture-neutral, no strong name, v4.0.30319, x86 only", () =>
            {
                AssemblyName name = Library.GetName();
                Expect.Equal("Faultbridge", name.Name, "name");
                string built = typeof(LibraryShape).Assembly.GetCustomAttributes<AssemblyMetadataAttribute>()
                    .Single(a => a.Key == "FaultbridgeVersion").Value;
                Expect.Equal(new Version(built + ".0"), name.Version, "version");
                Expect.Equal("", name.CultureName, "culture");
                Expect.Equal(0, (name.GetPublicKeyToken() ?? new byte[0]).Length, "public key token bytes");
                Expect.Equal("v4.0.30319", Library.ImageRuntimeVersion, "runtime version");
                Library.ManifestModule.GetPEKind(out PortableExecutableKinds kind, out ImageFileMachine machine);
                Expect.Equal(PortableExecutableKinds.ILOnly | PortableExecutableKinds.Required32Bit, kind, "kind");
                Expect.Equal(ImageFileMachine.I386, machine, "machine");
                Expect.Equal("mscorlib", string.Join(",", Library.GetReferencedAssemblies().Select(a => a.Name)), "references");
            });

            yield return new Case("public surface", () =>
            {
                Type type = typeof(Faultbridge);
                Expect.True(type.Namespace == "Faultkit" && type.IsPublic && type.IsClass && !type.IsSealed && !type.IsAbstract
                            && type.BaseType == typeof(object), "a public, unsealed class Faultkit.Faultbridge on System.Object");
                Expect.Equal(0, type.GetFields(BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic).Length, "instance fields");
                Expect.True(type.GetConstructor(Type.EmptyTypes) != null, "a public parameterless constructor");
                FieldInfo field = type.GetField("m_strErrorMessage");
                Expect.True(field.IsPublic && field.IsStatic && !field.IsInitOnly && field.FieldType == typeof(int), "public static int m_strErrorMessage");
                Type callable = typeof(Faultbridge.UnmanagedFunction);
                MethodInfo invoke = callable.GetMethod("Invoke");
                Expect.True(callable.IsNestedPublic && callable.IsSealed && callable.BaseType == typeof(MulticastDelegate)
                            && invoke.ReturnType == typeof(void) && invoke.GetParameters().Length == 0, "a public delegate void UnmanagedFunction()");
                foreach ((string method, bool isStatic, Type result, Type argument) in new[] {
                    ("SetErrorMessage", false, typeof(void), typeof(int)), ("filter", true, typeof(uint), typeof(IntPtr)),
                    ("GetExceptionString", true, typeof(IntPtr), typeof(IntPtr)), ("CallUnmanagedFunction", true, typeof(void), callable) })
                {
                    MethodInfo found = type.GetMethod(method, new[] { argument });
                    Expect.True(found != null && found.IsPublic && found.IsStatic == isStatic && found.ReturnType == result, method);
                }
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
    }
}
