# 32-bit x86 Windows with Debian's mingw-w64 cross compiler; programs run under wine when it has
# its 32-bit half (wine32).
set(BMPSEPIA_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)
