# Toolchain for 64-bit ARM Linux (Debian's aarch64-linux-gnu cross compiler).
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DVELDSPAR_AARCH64_ROOT=/path/to/arm64/root
#
# VELDSPAR_AARCH64_ROOT is optional: an unpacked arm64 system (its loader and
# shared libraries) that qemu-aarch64-static uses to run what this build makes,
# so ctest and gtest_discover_tests work on an x86-64 machine. The compiler
# keeps its own glibc and libstdc++ (Debian's *-arm64-cross packages); the root
# only has to carry the same Debian release's runtime libraries.
# scripts/cross builds such a root and drives the whole cross build.
#
# GCC contracts a*b+c into one fused multiply-add by default on this target;
# the core's -ffp-contract=off is what keeps its results bit-identical to x86-64.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VELDSPAR_AARCH64_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VELDSPAR_AARCH64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELDSPAR_AARCH64_TRIPLE}-g++)
# GCC notes by-value aggregates whose passing changed in GCC 9.1; one compiler builds
# everything here, so the notes are noise.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# try_compile projects re-read this file; pass the root on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDSPAR_AARCH64_ROOT)

# Headers and libraries come from the cross toolchain's tree and from prefixes
# the caller adds (CMAKE_FIND_ROOT_PATH, e.g. a cross-built GoogleTest);
# programs (the build's own tools) from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VELDSPAR_AARCH64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(VELDSPAR_AARCH64_ROOT AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(VELDSPAR_QEMU_AARCH64 qemu-aarch64-static)
    if(VELDSPAR_QEMU_AARCH64)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDSPAR_QEMU_AARCH64} -L ${VELDSPAR_AARCH64_ROOT})
    endif()
endif()
