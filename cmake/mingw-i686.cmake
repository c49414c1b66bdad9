# Cross-compiles the core for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686).
set(KORVANE_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
