# Cross-compiles the core for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686).
# The POSIX thread model is required: the core uses std::thread, std::mutex and
# std::condition_variable, which the win32 thread model of this compiler lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KORVANE_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${KORVANE_MINGW_PREFIX}-g++-posix ${KORVANE_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${KORVANE_MINGW_PREFIX}-gcc-posix ${KORVANE_MINGW_PREFIX}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${KORVANE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
