# Cross build for i386 (32-bit x86) with Debian's cross compiler (g++-i686-linux-gnu), the
# foreign libraries coming from Debian's multiarch folders (libXXX-dev:i386, see
# tools/install-deps.sh). An x86-64 kernel with IA-32 emulation runs the programs and the
# tests natively, so no emulator is set (see below for a kernel that cannot).
#
#   cmake -S . -B build-i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELM_TRIPLET i686-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/multiarch.cmake)

# A kernel with IA-32 emulation switched off (ia32_emulation=off; "32-bit emulation
# disabled" in its log) cannot run them: then they run under qemu-user (qemu-i386-static) as
# the arm64 ones do.
# The probe is the i386 dynamic loader, which libc6:i386 installs.
execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE velm_native_i386
  OUTPUT_QUIET ERROR_QUIET)
if(NOT velm_native_i386 EQUAL 0)
  find_program(VELM_QEMU qemu-i386-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELM_QEMU})
endif()
