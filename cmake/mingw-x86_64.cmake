# Cross-compiles the same sources for 64-bit Windows, for the tests on a
# machine whose kernel runs no 32-bit code (Wine's 32-bit loader cannot start
# there, so only a 64-bit prefix runs programs). What ships is the i686 build.
set(ZELT_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
