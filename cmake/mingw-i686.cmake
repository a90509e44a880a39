# Cross-compiles the shipped program for 32-bit Windows with mingw-w64, posix
# thread model.
set(ZELT_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
