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
# The sysroot's loader also searches /lib/<triplet>, where the multiarch packages put another
# build of the C library; mixing the two breaks fork. LD_LIBRARY_PATH keeps to the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR ${BMPSEPIA_QEMU} -L /usr/${BMPSEPIA_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${BMPSEPIA_TRIPLET}/lib)
