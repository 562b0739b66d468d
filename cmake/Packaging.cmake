# What `cmake --install` puts in place besides the two programs (their install lines sit with
# their targets), and the Debian package CPack makes of it: `cpack -G DEB` in the build folder.

install(FILES ${CMAKE_SOURCE_DIR}/cmake/vantra.desktop DESTINATION share/applications)
# Drawn by tools/make-icons.py together with the program's own .ico.
install(FILES ${CMAKE_SOURCE_DIR}/ui/res/vantra.png DESTINATION share/icons/hicolor/32x32/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vantra")
set(CPACK_PACKAGE_CONTACT "Vantra maintainers <vantra@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade utility for Tovrin instruments")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary becomes the first line; CPack indents these lines below it.
set(CPACK_PACKAGE_DESCRIPTION
  "Vantra finds the instrument's USB or PC-Card serial adapter, shows the board's
firmware version and, on LOAD, sends the firmware image it carries block by
block with a progress bar. vantra-boardsim simulates a board on a
pseudo-terminal for trying it without an instrument.")
# Debian 12's Qt 6 runtime. libqt6gui6 carries the xcb, offscreen and ICO plugins; qt6-qpa-plugins
# adds the framebuffer and VNC platforms for machines without X.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libqt6widgets6 (>= 6.2), libqt6gui6 (>= 6.2), libqt6core6 (>= 6.2), qt6-qpa-plugins, libc6, libstdc++6")

include(CPack)
