# Builds the Windows images with the mingw-w64 toolchains, as part of the
# native build, so one cmake --build makes everything: the shipped 32-bit
# images in build/windows, and their x86-64 stand-ins in build/windows-x64.
include(ExternalProject)
foreach(flavour windows windows-x64)
  if(flavour STREQUAL "windows")
    set(toolchain mingw-i686.cmake)
  else()
    set(toolchain mingw-x86_64.cmake)
  endif()
  ExternalProject_Add(${flavour}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${flavour}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}
      -DCMAKE_BUILD_TYPE=Release
      -DHEXALIFT_WERROR=${HEXALIFT_WERROR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
endforeach()

# Where the Windows images land: the shipped ones, and the stand-ins.
set(WINDOWS_BIN_DIR ${CMAKE_BINARY_DIR}/windows/bin)
set(WINDOWS_X64_BIN_DIR ${CMAKE_BINARY_DIR}/windows-x64/bin)
