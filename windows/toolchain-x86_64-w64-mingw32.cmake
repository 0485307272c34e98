# Cross toolchain for the kernel image: mingw-w64 targeting x64 Windows.
# Only the compilers and tools are chosen here; the kernel-mode flags and the
# link line belong to the image (KernelImage.cmake), not to every program this
# toolchain could build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TESMO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESMO_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TESMO_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${TESMO_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TESMO_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TESMO_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${TESMO_MINGW_TRIPLE}-strip CACHE FILEPATH "")
set(CMAKE_NM ${TESMO_MINGW_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${TESMO_MINGW_TRIPLE}-dlltool CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TESMO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The DDK headers that mingw-w64 ships.
set(TESMO_DDK_INCLUDE_DIR /usr/${TESMO_MINGW_TRIPLE}/include/ddk)
