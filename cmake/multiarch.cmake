# What the cross toolchain files share: Debian's cross compilers of VELM_TRIPLET, with the
# libraries, headers and CMake packages of the target from the multiarch folders of this
# machine (/usr/lib/CMAKE_LIBRARY_ARCHITECTURE, /usr/include/CMAKE_LIBRARY_ARCHITECTURE),
# never the build machine's own.
set(CMAKE_C_COMPILER ${VELM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELM_TRIPLET}-g++)
# pkg-config finds the target's .pc files only (libsystemd, libblkid).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Where this machine could not install the target's libraries through multiarch,
# tools/install-deps.sh unpacked them into a cross root of their own: the headers and
# libraries are then taken from there, and the emulator finds its loader there too.
set(VELM_CROSS_ROOT /var/cache/velm-cross/${CMAKE_LIBRARY_ARCHITECTURE})
if(NOT EXISTS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig/libsystemd.pc
   AND EXISTS ${VELM_CROSS_ROOT}/.packages)
  set(velm_root_libs
      ${VELM_CROSS_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
      ${VELM_CROSS_ROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  set(ENV{PKG_CONFIG_LIBDIR}
      ${VELM_CROSS_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${VELM_CROSS_ROOT}/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VELM_CROSS_ROOT})
  # Nothing of the root is a system folder of the compiler: keep every -I and -L.
  set(ENV{PKG_CONFIG_SYSTEM_INCLUDE_PATH} /nonexistent)
  set(ENV{PKG_CONFIG_SYSTEM_LIBRARY_PATH} /nonexistent)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELM_CROSS_ROOT})
  list(JOIN velm_root_libs ":" velm_rpath_link)
  # A program that runs natively (i386 on a kernel with IA-32 emulation) has the host's
  # loader, which knows nothing of the root: an old-style RPATH, which also serves the
  # libraries' own dependencies (libsystemd's libcap), names its folders.
  set(velm_root_link "-Wl,-rpath-link,${velm_rpath_link} -Wl,--disable-new-dtags,-rpath,${velm_rpath_link}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " ${velm_root_link}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " ${velm_root_link}")
endif()
