# Cross-building the Windows program on Linux with mingw-w64 (Debian:
# g++-mingw-w64-x86-64-posix; the "posix" thread model gives std::thread).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_mingw x86_64-w64-mingw32)

find_program(CMAKE_CXX_COMPILER NAMES ${_mingw}-g++-posix ${_mingw}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${_mingw}-gcc-posix ${_mingw}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe with nothing beside it: the C and C++ runtimes, the thread
# library and zlib (libz-mingw-w64-dev: its static library, not the DLL's
# import library) linked in.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under Wine where it is installed (Debian: wine64).
find_program(TANDREL_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(TANDREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TANDREL_WINE})
endif()
