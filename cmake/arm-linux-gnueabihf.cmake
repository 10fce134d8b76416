# Toolchain for 32-bit ARM Linux, hard-float (Debian's arm-linux-gnueabihf cross compiler).
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
#         -DVELDSPAR_TARGET_ROOT=/path/to/armhf/root
#
# The root (optional) lets ctest run what the build makes under qemu; see linux-gnu.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VELDSPAR_TRIPLE arm-linux-gnueabihf)
set(VELDSPAR_QEMU_CPU arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
