# SPDX-License-Identifier: MIT
# Shared part of the Debian cross toolchains: the including file sets
# AIMLINK_CROSS_TRIPLET (the GNU triplet, which Debian also uses as the
# multiarch directory), CMAKE_SYSTEM_PROCESSOR and AIMLINK_QEMU (the user-mode
# emulator). Needs crossbuild-essential-<arch> and qemu-user-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${AIMLINK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AIMLINK_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${AIMLINK_CROSS_TRIPLET})

# The target's libraries come from two places: the cross toolchain's own C and
# C++ runtime, and multiarch -dev packages (libgtest-dev:arm64 and the like)
# under /usr/lib/<triplet>. Programs and build tools stay the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${AIMLINK_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# ctest and gtest discovery run the target's programs through qemu. Their
# dynamic loader and libraries are the target's multiarch packages (libc6:arm64
# and the like), installed where the programs look for them: the cross
# toolchain's own copies under /usr/<triplet> are of another build, and a
# loader and C library of different builds do not work together.
set(CMAKE_CROSSCOMPILING_EMULATOR ${AIMLINK_QEMU})

# pkg-config (for libmicrohttpd) must read the target's .pc files, whose flags
# and library directory are the target's, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${AIMLINK_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
