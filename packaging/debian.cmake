# The Debian package, made by CPack from the install below /usr:
#   cpack -G DEB -B FOLDER      (in a build folder; the package lands in FOLDER)
# Depends: the libraries' packages (dpkg-shlibdeps), the player, the web server and
# adduser (for the maintainer scripts); the spoken titles are a recommendation.

set(CPACK_PACKAGE_NAME velm)
set(CPACK_PACKAGE_VENDOR "the velm builders")
set(CPACK_PACKAGE_CONTACT "the velm builders <velm@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stand-alone MP3 jukebox for a small box with an LCD")
# CPack puts the summary above it as the synopsis, and indents its lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
The software of a small Linux box that plays MP3s from one or more devices
(mounted folder trees, each sub-folder a list, sticks plugged in), shows what
plays on a 2x24 character LCD and takes its commands as text lines from the
keyboard, the web catalogue or other programs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, busybox, mpg123")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS espeak-ng)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The maintainer scripts: the system user, and the unit enabled and started as
# dh_installsystemd does it (only when the package has the unit).
set(VELM_UNIT_NAME "")
if(VELM_UNIT)
  set(VELM_UNIT_NAME velm.service)
endif()
set(scripts_out ${CMAKE_BINARY_DIR}/packaging/debian)
set(control_extra)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/${script}.in ${scripts_out}/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
  list(APPEND control_extra ${scripts_out}/${script})
endforeach()
if(VELM_CONFFILES)
  list(JOIN VELM_CONFFILES "\n" conffiles)
  file(CONFIGURE OUTPUT ${scripts_out}/conffiles CONTENT "${conffiles}\n")
  list(APPEND control_extra ${scripts_out}/conffiles)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${control_extra})
