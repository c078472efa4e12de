# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads, which Qt needs
# for std::thread and friends).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KELVANE_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KELVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVANE_MINGW}-windres)
set(CMAKE_AR ${KELVANE_MINGW}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KELVANE_MINGW}-ranlib CACHE FILEPATH "")

# Look for libraries and headers only in the Windows sysroot and in the prefixes handed over
# through CMAKE_PREFIX_PATH (the cross-built Qt); programs are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVANE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
