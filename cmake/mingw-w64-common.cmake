# What both cross toolchains (mingw-w64-x86_64.cmake, the GCC one, and
# clang-mingw-w64-x86_64.cmake) share: Debian's mingw-w64 tree as the only
# place libraries and headers are found, the binutils that read and edit
# the images (nm, objdump, dlltool), widl for the type libraries, and Wine
# to run the tests and tools. TOOLCHAIN_PREFIX is set by the includer.
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(MINGW_DLLTOOL ${TOOLCHAIN_PREFIX}-dlltool REQUIRED)
find_program(MINGW_OBJDUMP ${TOOLCHAIN_PREFIX}-objdump REQUIRED)
find_program(MINGW_NM      ${TOOLCHAIN_PREFIX}-nm REQUIRED)
find_program(MINGW_WIDL    ${TOOLCHAIN_PREFIX}-widl REQUIRED)

# Tests and tools run under Wine.
find_program(WINE_PROGRAM wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
