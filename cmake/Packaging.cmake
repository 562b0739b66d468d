# What `cmake --install` puts in place besides the programs (their install lines sit with their
# targets), and the Debian package CPack makes of it: `cpack -G DEB` in the build folder.

# Who answers for the package, and where the project lives: the packager's, given at configure
# time (or through Debian's DEBFULLNAME and DEBEMAIL), never a made-up address.
set(maintainer_default "")
if(DEFINED ENV{DEBEMAIL} AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
  if(DEFINED ENV{DEBFULLNAME} AND NOT "$ENV{DEBFULLNAME}" STREQUAL "")
    set(maintainer_default "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  else()
    set(maintainer_default "$ENV{DEBEMAIL}")
  endif()
endif()
set(VANTRA_MAINTAINER "${maintainer_default}" CACHE STRING
  "The package's maintainer, \"Name <address>\"; needed by cpack (default: DEBFULLNAME <DEBEMAIL>)")
set(VANTRA_HOMEPAGE "" CACHE STRING
  "The project's web address; the AppStream screenshot is HOMEPAGE/screenshots/warning.png. Needed by cpack")
set(VANTRA_APPSTREAM_ID "org.tovrin.vantra" CACHE STRING "The AppStream component id (reverse DNS)")
# The day this version was released, for the changelog and the AppStream release entry.
set(VANTRA_RELEASE_DATE "2026-12-08")
set(VANTRA_RELEASE_DATE_RFC2822 "Tue, 08 Dec 2026 12:00:00 +0000")

set(package_dir ${CMAKE_BINARY_DIR}/package)
set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantra)

install(FILES ${CMAKE_SOURCE_DIR}/cmake/vantra.desktop
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
# Drawn by tools/make-icons.py together with the program's own .ico.
install(FILES ${CMAKE_SOURCE_DIR}/ui/res/vantra.png
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/32x32/apps)

# Where bash-completion looks for a program's completion when it is first completed: one script,
# under the name of each program it serves.
foreach(program vantra-flash vantra-boardsim)
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/package/vantra.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME ${program})
endforeach()

# udev reads /usr/lib/udev/rules.d (the same folder as /lib/udev/rules.d on a merged-/usr
# system); an install under another prefix leaves the rule for the administrator to copy.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/package/70-vantra.rules DESTINATION lib/udev/rules.d)

set(VANTRA_TEMPLATE_DIR ${CMAKE_SOURCE_DIR}/cmake/package)
set(VANTRA_OUT_DIR ${package_dir})
set(VANTRA_VERSION ${PROJECT_VERSION})
include(${VANTRA_TEMPLATE_DIR}/PackageFiles.cmake)
install(FILES ${package_dir}/${VANTRA_APPSTREAM_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)

# Manual pages, compressed as Debian wants them: every docs/man/*.1, so a program's page is
# installed as soon as it is written.
file(GLOB man_pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.1)
set(compressed)
foreach(page IN LISTS man_pages)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${package_dir}/man/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${package_dir}/man
    COMMAND gzip -9n -c ${page} > ${package_dir}/man/${name}.gz
    DEPENDS ${page}
    COMMENT "Compressing the manual page ${name}")
  list(APPEND compressed ${package_dir}/man/${name}.gz)
endforeach()

# The Debian changelog and copyright: a package without them is not one Debian accepts.
add_custom_command(OUTPUT ${package_dir}/changelog.gz
  COMMAND gzip -9n -c ${package_dir}/changelog > ${package_dir}/changelog.gz
  DEPENDS ${package_dir}/changelog)
add_custom_target(vantra_package_docs ALL DEPENDS ${compressed} ${package_dir}/changelog.gz)
install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${package_dir}/changelog.gz ${CMAKE_SOURCE_DIR}/cmake/package/copyright
  DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vantra")
set(CPACK_PACKAGE_CONTACT "${VANTRA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VANTRA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VANTRA_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade utility for Tovrin instruments")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary becomes the first line; CPack indents these lines below it.
set(CPACK_PACKAGE_DESCRIPTION
  "Vantra finds the instrument's USB or PC-Card serial adapter, shows the board's
firmware version and, on LOAD, sends the firmware image it carries block by
block with a progress bar. vantra-flash does the same upgrade from a
terminal, for scripts and production lines, one board or many at once.
vantra-boardsim simulates a board on a pseudo-terminal for trying it
without an instrument.")
# Debian 12's Qt 6 runtime. libqt6gui6 carries the xcb, offscreen and ICO plugins; qt6-qpa-plugins
# adds the framebuffer and VNC platforms for machines without X. fonts-wine has the
# Tahoma-metric face the warning screen is laid out for; udev places the adapters' rule.
# libsystemd0 is the bus client that asks logind and UPower (and the desktop portal) around an
# upgrade.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libqt6widgets6 (>= 6.2), libqt6gui6 (>= 6.2), libqt6core6 (>= 6.2), qt6-qpa-plugins, fonts-wine, libsystemd0, libc6, libstdc++6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
# Checked when cpack runs, not at configure time: a build that makes no package needs neither.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/package/CheckPackage.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package/StagePackage.cmake)
set(CPACK_VANTRA_TEMPLATE_DIR ${VANTRA_TEMPLATE_DIR})
set(CPACK_VANTRA_APPSTREAM_ID ${VANTRA_APPSTREAM_ID})
set(CPACK_VANTRA_RELEASE_DATE ${VANTRA_RELEASE_DATE})
set(CPACK_VANTRA_RELEASE_DATE_RFC2822 ${VANTRA_RELEASE_DATE_RFC2822})

include(CPack)
