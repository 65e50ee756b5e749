# SPDX-License-Identifier: MIT
# 32-bit ARM with hardware floating point (armhf, ARMv7), such as a Raspberry
# Pi 2 or later running a 32-bit system.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(AIMLINK_CROSS_TRIPLET arm-linux-gnueabihf)
set(AIMLINK_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)

# 64-bit file offsets, but the system's own 32-bit time_t: Debian 12's armhf
# libraries are built with it,
# and its C library's _FORTIFY_SOURCE ppoll() reads a 64-bit timespec as a
# 32-bit one, so that every timed wait would end at once.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
# -Wno-psabi: GCC notes where the C++ library's calling convention changed in
# GCC 7; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-psabi")
