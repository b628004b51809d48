# The Debian package, made by CPack from the install below /usr:
#   cpack -G DEB -B FOLDER      (in a build folder; the package lands in FOLDER)
# Depends: the libraries' packages (dpkg-shlibdeps), the player, the web server and
# adduser (for the maintainer scripts); the spoken titles and aplay (the sound card of a
# recording, velm -s) are recommendations, evtest a suggestion.

set(CPACK_PACKAGE_NAME velm)
set(CPACK_PACKAGE_VENDOR "the velm builders")
set(CPACK_PACKAGE_CONTACT "the velm builders <velm@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stand-alone MP3 jukebox for a small box with an LCD")
# CPack puts the summary above it as the synopsis, and indents its lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
The software of a small Linux box that plays MP3s from one or more devices
(mounted folder trees, each sub-folder a list, sticks plugged in), shows what
plays on a 2x24 character LCD and takes its commands as text lines from the
keyboard, remote controls, buttons and knobs (the kernel's input devices, or
LIRC), the web catalogue or other programs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, mpg123")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "espeak-ng, alsa-utils")
# evtest shows the names of a remote's keys, for a key map of one's own.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS evtest)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The conffiles and maintainer scripts, made from what the staged package holds.
set(CPACK_VELM_SCRIPTS_DIR ${CMAKE_SOURCE_DIR}/packaging/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/debian-control.cmake)
