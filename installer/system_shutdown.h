// The forced shutdown at the end of a run with InstallerId 0.
#pragma once

// Enables the shutdown right in the process's token on Windows NT systems,
// then asks for a forced shutdown. No result is examined: a refused request
// simply lets the program end.
void RequestSystemShutdown();
