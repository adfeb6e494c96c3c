// The product version, shared by the Windows version resources.
#pragma once

#define HEXALIFT_VERSION_NUMBERS 1, 0, 0, 0
#define HEXALIFT_VERSION_TEXT "1.0.0.0"
