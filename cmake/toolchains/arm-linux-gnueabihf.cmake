# 32-bit ARM with hardware floating point (armhf, ARMv7), such as a Raspberry
# Pi 2 or later running a 32-bit system.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(AIMLINK_CROSS_TRIPLET arm-linux-gnueabihf)
set(AIMLINK_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

# 64-bit time and file offsets, as on the 64-bit targets: the C library has
# had them since 2.34, and none of these types cross the library's interface.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
# -Wno-psabi: GCC notes where the C++ library's calling convention changed in
# GCC 7; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
