# Shared by the Windows cross toolchains: BMPSEPIA_TRIPLET names Debian's mingw-w64 compiler.
# Programs run under wine.
set(CMAKE_SYSTEM_NAME Windows)
# The POSIX thread flavour: GoogleTest needs std::mutex, which the Windows-thread one lacks.
set(CMAKE_C_COMPILER ${BMPSEPIA_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BMPSEPIA_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${BMPSEPIA_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${BMPSEPIA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
