# Cross build for 32-bit ARM hard-float Linux (armhf) with Debian's cross
# compiler (g++-arm-linux-gnueabihf). Libraries come from Debian multiarch
# packages (<name>:armhf) in /usr/lib/arm-linux-gnueabihf, headers from
# /usr/include; test programs run under qemu user emulation.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# QRN_ARM_SYSROOT is the root qemu resolves the ARM loader and libraries
# against; "/" uses the multiarch ones (/lib/ld-linux-armhf.so.3 from libc6:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QRN_ARM_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QRN_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QRN_ARM_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QRN_ARM_TRIPLET})

# Libraries, headers and CMake packages come from the cross compiler's tree and
# the armhf multiarch folders (<prefix>/lib/arm-linux-gnueabihf and its cmake/);
# programs such as python3 are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${QRN_ARM_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The build machine's own libraries are never a match for an ARM link.
list(APPEND CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# Test programs (and gtest_discover_tests' listing at build time) run through
# qemu directly, so the build does not depend on binfmt_misc registration.
set(QRN_ARM_SYSROOT "/" CACHE PATH "Root for qemu-arm's loader and library look-ups")
find_program(QRN_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(QRN_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QRN_QEMU_ARM} -L ${QRN_ARM_SYSROOT})
else()
  message(WARNING "qemu-arm-static not found (Debian package qemu-user-static): "
    "the tests cannot run here; configure with -DQRN_BUILD_TESTS=OFF")
endif()
