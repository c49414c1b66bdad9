# Cross-compiles for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
# `make test-windows` falls back to it on a machine that cannot run 32-bit programs, where
# 32-bit Wine cannot start; the code under test is the same.
set(KORVANE_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
