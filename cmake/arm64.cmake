# Cross build for arm64 (aarch64) with Debian's cross compiler (g++-aarch64-linux-gnu), the
# foreign libraries coming from Debian's multiarch folders (libXXX-dev:arm64, see
# tools/install-deps.sh). The tests run under qemu-user (qemu-aarch64); the sandbox of the
# tests makes the kernel hand the arm64 programs it starts to the same emulator.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELM_TRIPLET aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
find_program(VELM_QEMU qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELM_QEMU})
include(${CMAKE_CURRENT_LIST_DIR}/multiarch.cmake)
