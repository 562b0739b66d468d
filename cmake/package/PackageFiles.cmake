# Writes the files that carry the maintainer and the project's address: the AppStream metainfo
# and the Debian changelog. Run at configure time for `cmake --install`, and again by cpack on
# its staging folder, so values given to cpack with -D reach the package.
#   In:  VANTRA_TEMPLATE_DIR, VANTRA_OUT_DIR, VANTRA_APPSTREAM_ID, VANTRA_VERSION,
#        VANTRA_RELEASE_DATE, VANTRA_RELEASE_DATE_RFC2822, VANTRA_MAINTAINER, VANTRA_HOMEPAGE

if(VANTRA_MAINTAINER MATCHES "^(.*[^ ]) *<([^<>]+)>$")
  set(VANTRA_DEVELOPER "${CMAKE_MATCH_1}")
elseif(NOT VANTRA_MAINTAINER STREQUAL "")
  set(VANTRA_DEVELOPER "${VANTRA_MAINTAINER}")
else()
  set(VANTRA_DEVELOPER "The Vantra developers")
endif()
set(VANTRA_SCREENSHOT_URL "${VANTRA_HOMEPAGE}/screenshots/warning.png")

# Without a homepage there is nothing to point the screenshot at: the metainfo then leaves out
# the address and the screenshot rather than carry invented ones.
file(READ ${VANTRA_TEMPLATE_DIR}/metainfo.xml.in metainfo)
if(VANTRA_HOMEPAGE STREQUAL "")
  string(REGEX REPLACE "  <url type=\"homepage\">[^\n]*\n" "" metainfo "${metainfo}")
  string(REGEX REPLACE "  <screenshots>.*</screenshots>\n" "" metainfo "${metainfo}")
endif()
string(CONFIGURE "${metainfo}" metainfo @ONLY)
file(CONFIGURE OUTPUT ${VANTRA_OUT_DIR}/${VANTRA_APPSTREAM_ID}.metainfo.xml CONTENT "${metainfo}")

file(CONFIGURE OUTPUT ${VANTRA_OUT_DIR}/changelog CONTENT
"vantra (${VANTRA_VERSION}) unstable; urgency=medium

  * Release ${VANTRA_VERSION}.

 -- ${VANTRA_MAINTAINER}  ${VANTRA_RELEASE_DATE_RFC2822}
")
