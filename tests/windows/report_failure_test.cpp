// The failure-reporting helper under Wine: a vectored exception handler
// captures each raised record and continues, and the record's code,
// parameter count and words are checked: in 32-bit words in the pe32 build,
// in 64-bit words in the x64 build. (The bridge reading what the helper
// raised, on a real CLR, is tests/faultbridge/clr.)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <faultkit/report_failure.h>

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what)
{
    ++(ok ? g_passed : g_failed);
    if (!ok)
        printf("FAILED: %s\n", what.c_str());
}

EXCEPTION_RECORD g_captured;
int g_captures = 0;

LONG CALLBACK Capture(EXCEPTION_POINTERS* pointers)
{
    if ((pointers->ExceptionRecord->ExceptionCode & 0xE0000000) != 0xE0000000)
        return EXCEPTION_CONTINUE_SEARCH;
    g_captured = *pointers->ExceptionRecord;
    ++g_captures;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// A text that ends exactly where the caller's buffer ends: reading past it
// would cross into a guard page.
const char* TextAtEndOfPage(const std::string& text)
{
    static char* page = nullptr;
    if (page == nullptr) {
        page = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(page + 4096, 4096, PAGE_NOACCESS, &old);
    }
    char* start = page + 4096 - text.size();
    memcpy(start, text.data(), text.size());  // no zero byte: the page ends
    return start;
}

}  // namespace

int main()
{
    AddVectoredExceptionHandler(1, Capture);

    const std::string fiftyNine(59, 'Q');
    const std::string sixty = std::string(58, 'R') + "ST";
    struct Case {
        const char* name;
        std::string text;
        bool atPageEnd;  // the caller's text has no zero byte: 59 bytes end its buffer
        DWORD code;      // 0: the default
        DWORD expectedCode;
        std::string message;  // what the bridge must read back
        DWORD words;          // parameter count in 32-bit words: covers the zero byte
        DWORD words64;        // the same in 64-bit words (the x86-64 build)
    };
    const Case cases[] = {
        {"empty", "", false, 0, 0xE0000001, "", 1, 1},
        {"abc", "abc", false, 0, 0xE0000001, "abc", 1, 1},
        {"three_and_zero_fill_a_word", "abc", false, 0xE0000042, 0xE0000042, "abc", 1, 1},
        {"four_need_a_second_word", "abcd", false, 0, 0xE0000001, "abcd", 2, 1},
        {"fifty_nine", fiftyNine, false, 0xFFFFFFFF, 0xFFFFFFFF, fiftyNine, 15, 8},
        {"longer_is_cut", sixty + "more", false, 0, 0xE0000001, sixty.substr(0, 59), 15, 8},
        {"text_ending_its_buffer", fiftyNine, true, 0, 0xE0000001, fiftyNine, 15, 8},
        {"code_without_top_bits", "x", false, 0x00001234, 0xE0001234, "x", 1, 1},
    };
    for (const Case& c : cases) {
        const int before = g_captures;
        const char* text = c.atPageEnd ? TextAtEndOfPage(c.text) : c.text.c_str();
        if (c.code == 0)
            faultkit::ReportFailure(text);
        else
            faultkit::ReportFailure(text, c.code);
        const std::string name = c.name;
        Check(g_captures == before + 1, name + ": raised once and continued");
        Check(g_captured.ExceptionCode == c.expectedCode, name + ": code");
        Check(g_captured.ExceptionFlags == 0, name + ": continuable");
        Check(g_captured.NumberParameters == (sizeof(ULONG_PTR) == 4 ? c.words : c.words64),
              name + ": parameter count covers the zero byte");
        const char* packed = reinterpret_cast<const char*>(g_captured.ExceptionInformation);
        Check(memcmp(packed, c.message.data(), c.message.size()) == 0 && packed[c.message.size()] == 0,
              name + ": text in memory order, then a zero byte");
        ULONG_PTR firstWord = 0;
        for (size_t i = 0; i < sizeof(ULONG_PTR) && i < c.message.size(); ++i)
            firstWord |= static_cast<ULONG_PTR>(static_cast<unsigned char>(c.message[i])) << (8 * i);
        Check(g_captured.ExceptionInformation[0] == firstWord,
              name + ": first character in the low byte of the first word");
    }
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
