// Identity of the Faultbridge assembly: version 1.0.0.0, culture-neutral, no
// strong-name key.
using System.Reflection;
using System.Runtime.CompilerServices;

[assembly: AssemblyTitle("Faultbridge")]
[assembly: AssemblyDescription("Runs native work and reports its application-coded structured exceptions as System.ApplicationException.")]
[assembly: AssemblyProduct("Faultbridge")]
[assembly: AssemblyVersion("1.0.0.0")]
[assembly: AssemblyFileVersion("1.0.0.0")]
[assembly: AssemblyCulture("")]
[assembly: InternalsVisibleTo("Faultbridge.Tests")]
