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
}
