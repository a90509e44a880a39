# What both mingw-w64 toolchain files share; they set ZELT_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. These are the only files that name the cross
# toolchain.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${ZELT_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELT_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZELT_TRIPLE}-windres)
set(ZELT_WIDL          ${ZELT_TRIPLE}-widl)
set(ZELT_WINDMC        ${ZELT_TRIPLE}-windmc)
set(ZELT_STRIP         ${ZELT_TRIPLE}-strip)
set(ZELT_OBJDUMP       ${ZELT_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELT_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
