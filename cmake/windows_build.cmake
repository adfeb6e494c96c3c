# Builds the Windows images in build/windows with the mingw-w64 toolchain, as
# part of the native build, so one cmake --build makes everything.
include(ExternalProject)
ExternalProject_Add(windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/windows
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
    -DCMAKE_BUILD_TYPE=Release
    -DHEXALIFT_WERROR=${HEXALIFT_WERROR}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)

# Where the Windows images land.
set(WINDOWS_BIN_DIR ${CMAKE_BINARY_DIR}/windows/bin)
