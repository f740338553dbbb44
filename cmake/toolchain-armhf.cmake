# Cross build for the gateway's CPU: 32-bit ARM, hard float, little-endian
# (armhf), with Debian's arm-linux-gnueabihf toolchain (g++-arm-linux-gnueabihf),
# glibc. The target's libraries (libgpiod, GoogleTest) come from Debian
# multiarch (libgpiod-dev:armhf ..., in /usr/lib/arm-linux-gnueabihf); programs
# link with the C and C++ libraries of the cross toolchain (/usr/arm-linux-gnueabihf).
# Target programs run under qemu-arm: CMake's test discovery and ctest start
# them through CMAKE_CROSSCOMPILING_EMULATOR. scripts/cross-test.sh sets it all up.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(FPIGATE_TARGET_TRIPLET arm-linux-gnueabihf)
set(FPIGATE_TARGET_SYSROOT /usr/${FPIGATE_TARGET_TRIPLET})

set(CMAKE_C_COMPILER ${FPIGATE_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FPIGATE_TARGET_TRIPLET}-g++)
# GCC's note that passing some std:: iterators changed in GCC 7.1 (-Wpsabi)
# concerns linking with code built by GCC < 7 only; everything here is GCC 12.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
# Debian multiarch: find_library/find_package look in lib/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE ${FPIGATE_TARGET_TRIPLET})

# Programs (host tools) from the host; libraries and headers from the target's
# places only, never the host's x86-64 ones.
set(CMAKE_FIND_ROOT_PATH ${FPIGATE_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config (libgpiod): the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${FPIGATE_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Running a target program on the build machine: user-mode qemu. Its sysroot
# must hold one consistent C library: the loader and libc.so.6 of one glibc.
# Where Debian's armhf multiarch runtime is installed (libc6:armhf,
# libstdc++6:armhf: /lib/ld-linux-armhf.so.3 and /lib/arm-linux-gnueabihf),
# that is the sysroot "/" and qemu needs no -L: with -L /usr/arm-linux-gnueabihf
# the loader comes from the cross package (libc6-armhf-cross) but libc.so.6,
# which that prefix keeps in lib/ and not in lib/arm-linux-gnueabihf/, from the
# multiarch one, and two glibc builds of different versions crash in
# pthread_create. Without the multiarch runtime, the cross package's own
# libraries are the sysroot.
find_program(FPIGATE_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)
if(EXISTS /lib/ld-linux-armhf.so.3)
  set(FPIGATE_QEMU_LD_PREFIX /)
else()
  set(FPIGATE_QEMU_LD_PREFIX ${FPIGATE_TARGET_SYSROOT})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${FPIGATE_QEMU_ARM} -L ${FPIGATE_QEMU_LD_PREFIX})
