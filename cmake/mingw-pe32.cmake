# Toolchain of the pe32 build: the shipped 32-bit Windows images, with
# mingw-w64 for i686.
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
