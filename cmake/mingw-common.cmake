# What both mingw-w64 toolchains share; MINGW_ARCH names the compiler
# target (i686 for the pe32 build, x86_64 for the x64 build).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_ARCH})
set(CMAKE_C_COMPILER ${MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Statically linked and stripped: the images import only Windows system DLLs. DEP and
# ASLR on; no link time stamp, so the same sources give the same bytes.
set(WINDOWS_IMAGE_FLAGS "-static -static-libgcc -static-libstdc++ -s -Wl,--nxcompat -Wl,--dynamicbase -Wl,--no-insert-timestamp")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${WINDOWS_IMAGE_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${WINDOWS_IMAGE_FLAGS}")
