// Reporting a failure from native code to a host that runs it through
// Faultbridge.CallUnmanagedFunction: a structured exception with an
// application error code (its three top bits set) whose parameter words
// carry the message, as the bridge reads them. The host receives a
// System.ApplicationException with exactly that message.
//
//   #include <faultkit/report_failure.h>
//
//   if (!device_ready)
//       faultkit::ReportFailure("device not ready");            // code 0xE0000001
//   faultkit::ReportFailure("calibration lost", 0xE0001234);
//
// Header only; needs <windows.h> and a 32-bit (x86) target, like the hosts
// that can load the bridge.
#pragma once

#include <windows.h>

namespace faultkit {

// The code ReportFailure raises when the caller names none.
constexpr DWORD kDefaultFailureCode = 0xE0000001;

// The three top bits that make a code an application error code.
constexpr DWORD kApplicationErrorBits = 0xE0000000;

// The parameter words the bridge reads, and the longest message that fits
// in them with its zero byte.
constexpr DWORD kMessageWords = 15;
constexpr DWORD kMaxMessageLength = kMessageWords * 4 - 1;

// Packs message into words the way the bridge reads them: its bytes in
// memory order (the first character in the low byte of the first word),
// then a zero byte; at most 59 characters, a longer message is cut. Reads no
// further into message than that. Returns the number of words that hold the
// text and its zero byte. A null message counts as the empty text.
inline DWORD PackFailureMessage(const char* message, ULONG_PTR (&words)[kMessageWords])
{
    unsigned char* bytes = reinterpret_cast<unsigned char*>(words);
    for (DWORD i = 0; i < kMessageWords * sizeof(ULONG_PTR); ++i)
        bytes[i] = 0;
    DWORD length = 0;
    if (message != nullptr)
        while (length < kMaxMessageLength && message[length] != '\0') {
            bytes[length] = static_cast<unsigned char>(message[length]);
            ++length;
        }
    return (length + 1 + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR);
}

// Raises the failure. The code keeps the bits the caller chose and always
// has the three top bits set. Under the bridge this does not return; a
// handler that continues the exception makes it return.
inline void ReportFailure(const char* message, DWORD code = kDefaultFailureCode)
{
    ULONG_PTR words[kMessageWords];
    const DWORD count = PackFailureMessage(message, words);
    RaiseException(code | kApplicationErrorBits, 0, count, words);
}

}  // namespace faultkit
