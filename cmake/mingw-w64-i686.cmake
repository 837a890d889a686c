# Cross-compiling the 32-bit Windows product with MinGW-w64 (i686); CTest runs its test programs
# under Wine's 32-bit side, in a 32-bit prefix of their own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_triple i686-w64-mingw32)
# SSE2 (every 32-bit Windows from 8 on requires it): GCC 12's immintrin.h, which the SQLite
# amalgamation's cipher code includes, does not compile for i686 without it, and SSE arithmetic
# gives the same floating-point results as the 64-bit build. Windows keeps a 32-bit stack only
# 4-byte aligned, so functions realign it where SSE spills need 16.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR env HOPGATE_WINEARCH=win32 ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
