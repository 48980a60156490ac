# Debian package of the updater and the publisher tool: `cpack -G DEB` in the
# build directory, after building.
set(UPDATER_MAINTAINER "Corvane <updates@corvane.example>"
  CACHE STRING "Maintainer written into the Debian package")

set(CPACK_PACKAGE_NAME "corvane-updater")
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "${UPDATER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Windowless software updater for Corvane Mirelle, with its publisher tool")
set(CPACK_PACKAGE_DESCRIPTION
  "updater fetches updates.json from a repository, checks the target OS, the \
Windows version and the offered version, and downloads the package into a local \
available directory, verifying its MD5 digest. updater-publish writes such \
repositories and checks their manifests with the updater's own rules.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UPDATER_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

find_program(UPDATER_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(UPDATER_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  if(UPDATER_QT_MAJOR STREQUAL "6")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6core6 (>= 6.2), libqt6network6 (>= 6.2), libsodium23 (>= 1.0.14), libnettle8 (>= 3.4)")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5core5a (>= 5.9), libqt5network5 (>= 5.9), libsodium23 (>= 1.0.14), libnettle8 (>= 3.4)")
  endif()
endif()

include(CPack)
