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
set(CMAKE_CROSSCOMPILING_EMULATOR ${BMPSEPIA_QEMU} -L /usr/${BMPSEPIA_TRIPLET})
