# 64-bit Windows with Debian's mingw-w64 cross compiler; programs run under wine.
set(BMPSEPIA_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
