# Toolchain of the x64 build: x86-64 Windows images of the same sources,
# with mingw-w64 for x86_64. They stand in for the pe32 images under 64-bit
# Wine on machines that cannot run 32-bit code. Never shipped.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
