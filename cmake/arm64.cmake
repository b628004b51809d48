# Cross build for arm64 (aarch64) with Debian's cross compiler (g++-aarch64-linux-gnu), the
# foreign libraries coming from Debian's multiarch folders (libXXX-dev:arm64, see
# tools/install-deps.sh). The tests run under qemu-user (qemu-aarch64-static); the sandbox
# of the tests makes the kernel hand the arm64 programs it starts to the same emulator. The
# emulator is the static one: a stand-in library the tests preload (LD_PRELOAD) then
# reaches the emulated program only, not the emulator's own start by the host's loader,
# which would refuse it with a message on standard error.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELM_TRIPLET aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
find_program(VELM_QEMU qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELM_QEMU})
include(${CMAKE_CURRENT_LIST_DIR}/multiarch.cmake)
