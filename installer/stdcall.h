// The outside libraries export plain functions in the platform's standard
// calling convention for library interfaces (the callee removes the
// arguments). Off Windows the convention does not exist and is left out.
#pragma once

#if defined(_WIN32)
#define HEX_STDCALL __stdcall
#else
#define HEX_STDCALL
#endif

static_assert(sizeof(int) == 4, "entry points take and return 32-bit integers");
