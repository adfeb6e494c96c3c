// Native code for the bridge's tests on a real CLR: exported functions that
// raise structured exceptions as native code does, through the failure-
// reporting helper where the code is an application error code of its
// choosing, and with RaiseException itself for any other code. Every raise
// runs under a frame handler that wipes the record's parameter words when
// the runtime unwinds past it, so that a bridge reading the text after the
// unwind reads the wipe instead. 32-bit (x86) only: the frame handler is
// registered in the thread's FS:[0] chain.
#include <windows.h>

#include <intrin.h>

#include <faultkit/report_failure.h>

namespace {

// What the unwind leaves in the parameter words: 59 'W' and a zero byte.
constexpr unsigned char kWipe = 'W';

// An exception registration record of the x86 frame-based handler chain.
struct Registration {
    Registration* next;
    void* handler;
};

extern "C" EXCEPTION_DISPOSITION __cdecl WipeWhenUnwound(EXCEPTION_RECORD* record, void*, CONTEXT*, void*)
{
    if (record->ExceptionFlags & EXCEPTION_UNWINDING) {
        unsigned char* words = reinterpret_cast<unsigned char*>(record->ExceptionInformation);
        for (DWORD i = 0; i < faultkit::kMaxMessageLength; ++i)
            words[i] = kWipe;
        words[faultkit::kMaxMessageLength] = 0;
    }
    return ExceptionContinueSearch;
}

// Runs raise() with WipeWhenUnwound registered as the innermost frame.
template <typename Raise>
void UnderWipingFrame(Raise raise)
{
    Registration frame{reinterpret_cast<Registration*>(__readfsdword(0)),
                       reinterpret_cast<void*>(&WipeWhenUnwound)};
    __writefsdword(0, reinterpret_cast<DWORD>(&frame));
    raise();
    __writefsdword(0, reinterpret_cast<DWORD>(frame.next));
}

}  // namespace

// Returns without raising anything.
extern "C" __declspec(dllexport) void __stdcall ReturnNormally() {}

// The helper as native code uses it: code 0xE0000001, the text packed.
extern "C" __declspec(dllexport) void __stdcall ReportFailure(const char* text)
{
    UnderWipingFrame([text] { faultkit::ReportFailure(text); });
}

// Any code, the text packed as the helper packs it.
extern "C" __declspec(dllexport) void __stdcall RaiseText(DWORD code, const char* text)
{
    UnderWipingFrame([code, text] {
        ULONG_PTR words[faultkit::kMessageWords];
        const DWORD count = faultkit::PackFailureMessage(text, words);
        RaiseException(code, 0, count, words);
    });
}

// Any code with all 15 parameter words given: 60 bytes, no zero byte needed.
extern "C" __declspec(dllexport) void __stdcall RaiseWords(DWORD code, const ULONG_PTR* words)
{
    UnderWipingFrame([code, words] { RaiseException(code, 0, faultkit::kMessageWords, words); });
}
