# Cross-compiles for 32-bit Windows with mingw-w64, posix thread model.
# This is the only file that names the cross toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZELT_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${ZELT_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELT_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZELT_TRIPLE}-windres)
set(ZELT_WIDL          ${ZELT_TRIPLE}-widl)
set(ZELT_WINDMC        ${ZELT_TRIPLE}-windmc)
set(ZELT_STRIP         ${ZELT_TRIPLE}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELT_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
