# Toolchain for x86-64 Linux against a newer Debian root than the host (a CPython the host lacks):
# the host's compiler and C library build the module, so its wheel installs on older systems;
# only the headers and the interpreter the build asks questions of come from the root.
#
#   cmake -S . -B build/forky -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-gnu.cmake \
#         -DVELDSPAR_TARGET_ROOT=/path/to/amd64/root
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELDSPAR_TRIPLE x86_64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
