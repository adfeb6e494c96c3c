# Cross-compiles x86-64 Windows images of the same sources with mingw-w64:
# they stand in for the 32-bit ones under 64-bit Wine where a machine
# cannot run 32-bit code. Never shipped.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
