# Builds the libFuzzer targets in build/fuzz with clang, as part of the
# native build.
include(ExternalProject)
ExternalProject_Add(fuzzers
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz
  BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
set(FUZZ_BIN_DIR ${CMAKE_BINARY_DIR}/fuzz)
