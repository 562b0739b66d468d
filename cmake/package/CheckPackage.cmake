# Read by cpack before it makes the package: a Debian user must be able to tell who answers for
# it and where the project lives.
if(CPACK_GENERATOR STREQUAL "DEB")
  if(NOT CPACK_DEBIAN_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
    message(FATAL_ERROR "No package without a real maintainer: configure with "
      "-DVANTRA_MAINTAINER=\"Full Name <address>\" (or set DEBFULLNAME and DEBEMAIL), "
      "not \"${CPACK_DEBIAN_PACKAGE_MAINTAINER}\"")
  endif()
  if(NOT CPACK_DEBIAN_PACKAGE_HOMEPAGE MATCHES "^https?://")
    message(FATAL_ERROR "No package without the project's address: configure with "
      "-DVANTRA_HOMEPAGE=https://... (its screenshots/warning.png is the AppStream screenshot)")
  endif()
endif()
