// Uses every public member of the package, so that building this proves
// the package's reference and surface.
using System;
using System.Runtime.InteropServices;
using Faultkit;

internal static class Program
{
    [DllImport("vendor.dll")]
    private static extern void StartMeasurement();

    private static int Main()
    {
        new Faultbridge().SetErrorMessage(1);
        try
        {
            Faultbridge.CallUnmanagedFunction(StartMeasurement);
        }
        catch (ApplicationException failure)
        {
            Console.WriteLine(failure.Message);
        }
        IntPtr text = Faultbridge.GetExceptionString(IntPtr.Zero);
        return (int)Faultbridge.filter(IntPtr.Zero) + Faultbridge.m_strErrorMessage + (text == IntPtr.Zero ? 1 : 0);
    }
}
