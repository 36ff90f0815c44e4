# 32-bit ARM Linux (hard float) with Debian's cross compiler; tests run under qemu-user.
set(BMPSEPIA_TRIPLET arm-linux-gnueabihf)
set(BMPSEPIA_QEMU qemu-arm)
set(BMPSEPIA_LOADER ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
set(CMAKE_SYSTEM_PROCESSOR arm)
