# What the cross toolchain files share: Debian's cross compilers of VELM_TRIPLET, with the
# libraries, headers and CMake packages of the target from the multiarch folders of this
# machine (/usr/lib/CMAKE_LIBRARY_ARCHITECTURE, /usr/include/CMAKE_LIBRARY_ARCHITECTURE),
# never the build machine's own.
set(CMAKE_C_COMPILER ${VELM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELM_TRIPLET}-g++)
# pkg-config finds the target's .pc files only (libsystemd, libblkid).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
