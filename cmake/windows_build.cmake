# Builds the Windows images with the mingw-w64 toolchains, as part of the
# native build, so one cmake --build makes everything: one sub-build per
# row of the build table (scripts/winhost/builds.py), in build/<name>:
# build/pe32 (the shipped 32-bit images) and build/x64 (their x86-64
# stand-ins). The table also says, with this machine's mode, which build
# runs in the guest here and how long its tests may take.
include(ExternalProject)
# The probe of this machine's kernel runs from this build folder.
execute_process(COMMAND ${CMAKE_COMMAND} -E env HEXALIFT_BUILD_DIR=${CMAKE_BINARY_DIR}
  ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/windows_host.py cmake
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/windows_builds.cmake COMMAND_ERROR_IS_FATAL ANY)
include(${CMAKE_BINARY_DIR}/windows_builds.cmake)
# The table, the probe, the limits and what writes them out: a change to one configures again.
foreach(source winhost/builds winhost/i386 winhost/limits windows_host)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/${source}.py)
endforeach()
message(STATUS "32-bit x86 programs run here: ${I386_MODE}")

foreach(build ${WINDOWS_BUILDS})
  ExternalProject_Add(${build}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${build}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${WINDOWS_BUILD_${build}_TOOLCHAIN}
      -DCMAKE_BUILD_TYPE=Release
      -DHEXALIFT_WERROR=${HEXALIFT_WERROR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  # Where its images land.
  set(WINDOWS_BUILD_${build}_BIN ${CMAKE_BINARY_DIR}/${build}/bin)
endforeach()
