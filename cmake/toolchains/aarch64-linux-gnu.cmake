# 64-bit ARM Linux with Debian's cross compiler; tests run under qemu-user.
set(BMPSEPIA_TRIPLET aarch64-linux-gnu)
set(BMPSEPIA_QEMU qemu-aarch64)
set(BMPSEPIA_LOADER ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
