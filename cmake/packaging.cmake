# Installing and packaging: both programs go to bin/, and `cpack -G DEB` makes one Debian package
# of them that depends on the Allegro runtime chanlog links.
include(GNUInstallDirs)
install(TARGETS chanlog sample-feed RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(CPACK_PACKAGE_NAME chanlog)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "chanlog holds a connection to 127.0.0.1:31285, reads text from \
127.0.0.1:31286 and logs each receive that begins with 50; with its time. sample-feed is a pair \
of sample services for it.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "chanlog developers <chanlog@localhost>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Debian's package of the Allegro 5.2 libraries (liballegro.so.5.2 and
# liballegro_primitives.so.5.2), at least the version built against: al_install_system refuses an
# older library than the headers. The epoch 2: is Debian's for Allegro 5.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "liballegro5.2 (>= 2:${ALLEGRO_allegro-5_VERSION}), libc6, libstdc++6, libgcc-s1")
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CHANLOG_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT CHANLOG_DEB_ARCH)
  set(CHANLOG_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME "chanlog_${PROJECT_VERSION}_${CHANLOG_DEB_ARCH}")
include(CPack)
