# SPDX-License-Identifier: MIT
# 64-bit ARM (arm64), such as a Raspberry Pi 3, 4 or 5 running a 64-bit system.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(AIMLINK_CROSS_TRIPLET aarch64-linux-gnu)
set(AIMLINK_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
