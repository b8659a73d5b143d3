# The Debian package, built by CPack from the install rules (scripts/package). Included from the
# top-level CMakeLists.txt, where CPack must be set up.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME palvex)
set(CPACK_PACKAGE_VENDOR "Palvex developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "demonstrates and tests the Kit USB board over HID and RS232")
set(CPACK_PACKAGE_DESCRIPTION
  "Palvex demonstrates and tests the Kit, a USB development board, over two
channels at once: USB HID and an RS232 line at 19200 baud. It tells whether
the Kit and its serial line are there, reads the firmware version, blinks the
LED, sends typed text on either channel and shows every byte the board sends
back.
.
palvex talks to a real board; palvex-sim runs the same program against a
simulated Kit. The package installs a udev rule that gives the logged-in user
access to the Kit's hidraw node.")
# The package's files go where the programs were built to find their documents.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PALVEX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries come from dpkg-shlibdeps; Qt's platform plugins and a font are loaded at run time,
# where dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# pkexec lets a desktop user who is not root put the test firmware in /lib/firmware.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core | fonts-freefont-ttf, udev, pkexec")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/res/desktop/postinst ${PROJECT_SOURCE_DIR}/res/desktop/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
