# Shared by the Linux cross toolchains: BMPSEPIA_TRIPLET names the target, BMPSEPIA_QEMU the
# user-mode emulator that runs its programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${BMPSEPIA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BMPSEPIA_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${BMPSEPIA_TRIPLET})

# The compiler's runtime lives in the cross sysroot that the emulator is pointed at; the test
# libraries (GoogleTest, libjpeg) come from Debian's multiarch packages under /usr/lib/<triplet>,
# outside it, so the tests link their static archives.
set(JPEG_LIBRARY /usr/lib/${BMPSEPIA_TRIPLET}/libjpeg.a CACHE FILEPATH "")
# The programs start through the sysroot's loader, named outright, rather than through qemu's
# -L, which would also send every absolute path the program opens ("/" among them) into the
# sysroot. The library path keeps the loader off /lib/<triplet>, where the multiarch packages
# put another build of the C library; mixing the two breaks fork.
set(CMAKE_CROSSCOMPILING_EMULATOR ${BMPSEPIA_QEMU} /usr/${BMPSEPIA_TRIPLET}/lib/${BMPSEPIA_LOADER}
    --library-path /usr/${BMPSEPIA_TRIPLET}/lib)
