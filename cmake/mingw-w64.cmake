# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (POSIX thread model, which Qt needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELTRO_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VELTRO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTRO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTRO_MINGW_TRIPLE}-windres)

# Target libraries come from the MinGW root and from the prefixes in CMAKE_PREFIX_PATH (the
# cross-built Qt, minizip and libdeflate); programs such as moc and rcc come from the build
# machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELTRO_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
