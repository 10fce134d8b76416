# Shared part of the toolchain files beside it: Debian's compiler for VELDSPAR_TRIPLE, building for
# a Debian root of that architecture (scripts/lib/roots.sh makes them). Not used on its own.
#
# VELDSPAR_TARGET_ROOT is optional: the unpacked root whose programs the build runs (FindPython asks
# the root's interpreter for its version and extension suffix; ctest runs the tests). On another
# CPU they run under qemu user-mode emulation; on this CPU, through the root's own dynamic loader,
# since the root's C library may be newer than the host's.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELDSPAR_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELDSPAR_TRIPLE}-g++)
# GCC notes by-value aggregates whose passing changed in an older GCC; one compiler builds
# everything here, so the notes are noise.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# try_compile projects re-read this file; pass the root on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDSPAR_TARGET_ROOT)

if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    # Headers and libraries from the cross toolchain's tree and from prefixes the caller adds
    # (CMAKE_FIND_ROOT_PATH, e.g. a cross-built GoogleTest); programs from the host.
    list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VELDSPAR_TRIPLE})
    set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
    set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

if(VELDSPAR_TARGET_ROOT AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(libdir ${VELDSPAR_TARGET_ROOT}/usr/lib/${VELDSPAR_TRIPLE})
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
        file(GLOB loader ${libdir}/ld-linux*.so.*)
        if(NOT loader)
            message(FATAL_ERROR "no dynamic loader in ${libdir}")
        endif()
        set(CMAKE_CROSSCOMPILING_EMULATOR ${loader} --library-path ${libdir})
    else()
        find_program(VELDSPAR_QEMU qemu-${VELDSPAR_QEMU_CPU}-static REQUIRED)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDSPAR_QEMU} -L ${VELDSPAR_TARGET_ROOT})
    endif()
endif()
