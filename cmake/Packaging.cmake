# `make package`: a Debian package of both programs and their files, built
# by CPack from the install rules. Its dependencies come from the shared
# libraries the binaries use (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME karvello)
set(CPACK_PACKAGE_VENDOR "Karvello")
# Who the package names as its maintainer: set it to the person or team that
# ships a build (-DKARVELLO_MAINTAINER="Name <address>").
set(KARVELLO_MAINTAINER "Karvello developers <maintainers@karvello.io>"
    CACHE STRING "The package's Maintainer field: Name <e-mail address>")
set(CPACK_PACKAGE_CONTACT "${KARVELLO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "clean and compare two lists of short texts")
set(CPACK_PACKAGE_DESCRIPTION
    "Karvello cleans and compares lists of short texts: keyword lists, e-mail
lists, URL lists, product codes. The window shows two lists side by side
with buttons to remove duplicates, filter by a string, subtract one list
from the other and keep only the common items; karvello-cli runs the same
operations in scripts and pipelines.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Then, as Debian's own packages are, without the compiler's notes.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/StripNotes.cmake)
set(CPACK_KARVELLO_STRIP ${CMAKE_STRIP})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
