# Toolchain for 64-bit ARM Linux (Debian's aarch64-linux-gnu cross compiler).
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DVELDSPAR_TARGET_ROOT=/path/to/arm64/root
#
# The root (optional) lets ctest run what the build makes under qemu; see linux-gnu.cmake.
# GCC contracts a*b+c into one fused multiply-add by default on this target; the core's
# -ffp-contract=off is what keeps its results bit-identical to x86-64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELDSPAR_TRIPLE aarch64-linux-gnu)
set(VELDSPAR_QEMU_CPU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
