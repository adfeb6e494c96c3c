// The run log and the installer number: process-wide because the image
// operations use them as well as the run.
#pragma once

#include <cstdint>
#include <cstdio>

// The run's log stream: null when no log is written.
extern FILE* RunLog;

// The settings file's first byte minus '0' as a signed 8-bit value; 0 when
// there is no settings file. 0 requests the shutdown at the end of the run,
// 2 to 127 are stamped into written images.
extern int8_t InstallerId;

// printf-style output to the run log; writes nothing while it is not open.
// Every format ends its line(s); each call reaches the file before it returns.
void LogPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
