# cpack runs this on its staging folder before it makes the package: the metainfo and the
# changelog are written again with the maintainer and address cpack was given.
set(stage "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(VANTRA_TEMPLATE_DIR "${CPACK_VANTRA_TEMPLATE_DIR}")
set(VANTRA_OUT_DIR "${CPACK_TEMPORARY_DIRECTORY}/../vantra-files")
set(VANTRA_APPSTREAM_ID "${CPACK_VANTRA_APPSTREAM_ID}")
set(VANTRA_VERSION "${CPACK_PACKAGE_VERSION}")
set(VANTRA_RELEASE_DATE "${CPACK_VANTRA_RELEASE_DATE}")
set(VANTRA_RELEASE_DATE_RFC2822 "${CPACK_VANTRA_RELEASE_DATE_RFC2822}")
set(VANTRA_MAINTAINER "${CPACK_DEBIAN_PACKAGE_MAINTAINER}")
set(VANTRA_HOMEPAGE "${CPACK_DEBIAN_PACKAGE_HOMEPAGE}")
include(${CPACK_VANTRA_TEMPLATE_DIR}/PackageFiles.cmake)
file(COPY_FILE ${VANTRA_OUT_DIR}/${VANTRA_APPSTREAM_ID}.metainfo.xml
  ${stage}/share/metainfo/${VANTRA_APPSTREAM_ID}.metainfo.xml)
file(REMOVE ${stage}/share/doc/vantra/changelog.gz)
execute_process(COMMAND gzip -9n -c ${VANTRA_OUT_DIR}/changelog
  OUTPUT_FILE ${stage}/share/doc/vantra/changelog.gz
  COMMAND_ERROR_IS_FATAL ANY)
