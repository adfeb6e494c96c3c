#include "sim_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HMODULE g_module = nullptr;
const char* g_libraryName = "";

// Milliseconds from the performance counter, which is system-wide, so the
// journal lines of both simulated libraries share one time scale.
double Milliseconds()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

HANDLE OpenStateFile(const char* fileName, DWORD access, DWORD disposition)
{
    char path[MAX_PATH];
    SimStatePath(fileName, path);
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAll(HANDLE file, const void* data, size_t length)
{
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const DWORD chunk = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        length -= written;
    }
    return true;
}

}  // namespace

void SimAttach(HMODULE module, const char* libraryName)
{
    g_module = module;
    g_libraryName = libraryName;
    SimJournal("%s loaded", g_libraryName);
}

void SimDetach(bool freedByFreeLibrary)
{
    SimJournal("%s unloaded (%s)", g_libraryName, freedByFreeLibrary ? "FreeLibrary" : "process exit");
}

void SimJournal(const char* format, ...)
{
    char line[512];
    const int used = snprintf(line, sizeof line, "%.3f ", Milliseconds());
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line + used, sizeof line - used - 2, format, arguments);
    va_end(arguments);
    // Mirrored to the debugger output, where a debugger (or Wine's relay
    // trace) sees it in order with the program's own calls.
    OutputDebugStringA(line);
    strcat(line, "\n");

    HANDLE journal = OpenStateFile("journal.txt", FILE_APPEND_DATA, OPEN_ALWAYS);
    if (journal == INVALID_HANDLE_VALUE)
        return;
    WriteAll(journal, line, strlen(line));
    CloseHandle(journal);
}

int SimSetting(const char* name, int fallback)
{
    const char* text = getenv(name);
    if (text == nullptr || *text == 0)
        return fallback;
    return static_cast<int>(strtol(text, nullptr, 0));
}

bool SimCrashes(const char* name)
{
    const char* text = getenv(name);
    return text != nullptr && strcmp(text, "crash") == 0;
}

void SimCrash()
{
    // Volatile, so that the compiler cannot see the address and put a trap
    // instruction in place of the write.
    volatile UINT_PTR address = 16;
    *reinterpret_cast<volatile int*>(address) = 0;
}

int SimAnswer(const char* entry, const char* setting, int fallback)
{
    const int answer = SimSetting(setting, fallback);
    SimJournal("%s() = %d", entry, answer);
    return answer;
}

void SimStatePath(const char* fileName, char (&path)[MAX_PATH])
{
    char directory[MAX_PATH] = "";
    const char* configured = getenv("HEXSIM_DIR");
    if (configured != nullptr && *configured != 0) {
        snprintf(directory, sizeof directory, "%s", configured);
    } else {
        GetModuleFileNameA(g_module, directory, sizeof directory);
        char* lastSeparator = strrchr(directory, '\\');
        if (lastSeparator != nullptr)
            lastSeparator[0] = 0;
    }
    snprintf(path, sizeof path, "%s\\%s", directory, fileName);
}

void SimReadFile(const char* fileName, unsigned offset, void* buffer, size_t length)
{
    memset(buffer, 0xFF, length);
    HANDLE file = OpenStateFile(fileName, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD got = 0;
    if (SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER)
        ReadFile(file, buffer, static_cast<DWORD>(length), &got, nullptr);
    CloseHandle(file);
}

bool SimWriteFile(const char* fileName, unsigned offset, const void* data, size_t length, bool replace)
{
    HANDLE file =
        OpenStateFile(fileName, GENERIC_READ | GENERIC_WRITE, replace ? CREATE_ALWAYS : OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    const DWORD size = GetFileSize(file, nullptr);
    if (size < offset) {
        char gap[4096];
        memset(gap, 0xFF, sizeof gap);
        SetFilePointer(file, 0, nullptr, FILE_END);
        for (DWORD left = offset - size; ok && left > 0;) {
            const DWORD chunk = left < sizeof gap ? left : sizeof gap;
            ok = WriteAll(file, gap, chunk);
            left -= chunk;
        }
    }
    ok = ok &&
         SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         WriteAll(file, data, length);
    CloseHandle(file);
    return ok;
}
