# Cross build of the Windows kernel driver for x86 with Debian's MinGW-w64 compilers
# (package g++-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(WINDOWS_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER ${WINDOWS_TARGET}-g++)
set(CMAKE_RC_COMPILER ${WINDOWS_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${WINDOWS_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Kernel code is built at -O2, as the DDK builds it.
set(CMAKE_CXX_FLAGS_RELEASE "-O2" CACHE STRING "Flags of the Release build")
# A kernel driver links only the import libraries it names, none of the Windows user-mode ones.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every program")
