# Toolchain for 32-bit ARM Linux, hard-float (Debian's arm-linux-gnueabihf cross compiler).
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
#         -DVELDSPAR_ARMHF_ROOT=/path/to/armhf/root
#
# VELDSPAR_ARMHF_ROOT is optional: an unpacked armhf system (its loader and
# shared libraries) that qemu-arm-static uses to run what this build makes,
# so ctest and gtest_discover_tests work on an x86-64 machine. The compiler
# keeps its own glibc and libstdc++ (Debian's *-armhf-cross packages); the root
# only has to carry the same Debian release's runtime libraries.
# scripts/cross builds such a root and drives the whole cross build.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VELDSPAR_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VELDSPAR_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELDSPAR_ARMHF_TRIPLE}-g++)
# GCC notes at every by-value aggregate that its ARM calling convention changed in
# GCC 7.1; everything here is built with one newer compiler, so the notes are noise.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# try_compile projects re-read this file; pass the root on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDSPAR_ARMHF_ROOT)

# Headers and libraries come from the cross toolchain's tree and from prefixes
# the caller adds (CMAKE_FIND_ROOT_PATH, e.g. a cross-built GoogleTest);
# programs (the build's own tools) from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VELDSPAR_ARMHF_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(VELDSPAR_ARMHF_ROOT AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(VELDSPAR_QEMU_ARM qemu-arm-static)
    if(VELDSPAR_QEMU_ARM)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDSPAR_QEMU_ARM} -L ${VELDSPAR_ARMHF_ROOT})
    endif()
endif()
