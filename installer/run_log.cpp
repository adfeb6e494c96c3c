#include "run_log.h"

#include <cstdarg>

FILE* RunLog = nullptr;
int8_t InstallerId = 0;

void LogPrintf(const char* format, ...)
{
    if (RunLog == nullptr)
        return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(RunLog, format, arguments);
    va_end(arguments);
    // Each call writes whole lines: handed to Windows at once, so that a
    // vendor library that ends the process later loses none of them. The C
    // runtime buffers a file fully, even in text mode.
    fflush(RunLog);
}
