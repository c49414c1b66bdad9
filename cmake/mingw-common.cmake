# Shared by the MinGW-w64 toolchain files, which set KORVANE_MINGW_PREFIX first.
# The POSIX thread model is required: the core uses std::thread, std::mutex and
# std::condition_variable, which the win32 thread model of this compiler lacks.
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${KORVANE_MINGW_PREFIX})

find_program(CMAKE_CXX_COMPILER NAMES ${KORVANE_MINGW_PREFIX}-g++-posix ${KORVANE_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${KORVANE_MINGW_PREFIX}-gcc-posix ${KORVANE_MINGW_PREFIX}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${KORVANE_MINGW_PREFIX}-windres)

# Programs carry the compiler's run-time libraries, so that they run anywhere (and under
# Wine) without the MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
