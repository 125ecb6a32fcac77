# Cross-compiles the same sources for 64-bit Windows with Debian's MinGW-w64: the build whose Wine
# tests run on hosts that cannot execute 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
