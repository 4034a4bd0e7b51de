# Installing and packaging: both programs go to bin/ and their manual pages to share/man/man1, and
# `cpack -G DEB` makes one Debian package of them that depends on the Allegro runtime chanlog links.
#
# Three install components:
#   programs  chanlog and sample-feed;
#   manuals   the manual pages as written, for `cmake --install`;
#   debian    what the Debian package has instead of the plain pages and beside the programs: the
#             pages gzipped, the changelog gzipped and the copyright file, under /usr/share; the
#             systemd unit chanlog.service, and its log's rotation in /etc/logrotate.d. It is
#             left out of a plain `cmake --install`; the package takes it and not `manuals`.
include(GNUInstallDirs)
install(TARGETS chanlog sample-feed RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)

set(CHANLOG_MAN_PAGES ${PROJECT_SOURCE_DIR}/man/chanlog.1 ${PROJECT_SOURCE_DIR}/man/sample-feed.1)
install(FILES ${CHANLOG_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manuals)

# The package's changelog is the one release note of the package: its version must be the
# project's, or lintian and apt would show another version than the one installed.
set(CHANLOG_DEBIAN_SOURCE ${PROJECT_SOURCE_DIR}/packaging/debian)
file(STRINGS ${CHANLOG_DEBIAN_SOURCE}/changelog CHANLOG_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT CHANLOG_CHANGELOG_HEAD MATCHES "^chanlog \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog begins with '${CHANLOG_CHANGELOG_HEAD}'; its "
                      "first entry must be for version ${PROJECT_VERSION}")
endif()

# Gzipped at build time, as Debian wants manual pages and changelogs: at most compression, and
# without the name and time stamp of the file (-n), so that the same sources give the same bytes.
find_program(CHANLOG_GZIP gzip REQUIRED)
set(CHANLOG_DEBIAN_BUILD ${PROJECT_BINARY_DIR}/debian)
set(CHANLOG_DEBIAN_GZIPPED)
foreach(source IN LISTS CHANLOG_MAN_PAGES ITEMS ${CHANLOG_DEBIAN_SOURCE}/changelog)
  get_filename_component(name ${source} NAME)
  set(copy ${CHANLOG_DEBIAN_BUILD}/${name})
  add_custom_command(
    OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CHANLOG_DEBIAN_BUILD}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${CHANLOG_GZIP} -9nf ${copy}
    DEPENDS ${source}
    COMMENT "Compressing ${name} for the Debian package"
    VERBATIM)
  list(APPEND CHANLOG_DEBIAN_GZIPPED ${copy}.gz)
endforeach()
add_custom_target(chanlog_debian_files ALL DEPENDS ${CHANLOG_DEBIAN_GZIPPED})

# Debian's places: the documentation directory is named after the package.
set(CHANLOG_DEBIAN_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/chanlog)
install(FILES ${CHANLOG_DEBIAN_BUILD}/chanlog.1.gz ${CHANLOG_DEBIAN_BUILD}/sample-feed.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT debian EXCLUDE_FROM_ALL)
# A package whose version has no Debian revision is a native one: its changelog is changelog.gz.
install(FILES ${CHANLOG_DEBIAN_BUILD}/changelog.gz ${CHANLOG_DEBIAN_SOURCE}/copyright
        DESTINATION ${CHANLOG_DEBIAN_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

# The service that runs chanlog for days, installed but neither enabled nor started: where Debian
# 12 keeps the units of packages, which is not under the install prefix. Its log's rotation is a
# configuration file that the administrator may change, which an upgrade then keeps (a conffile).
install(FILES ${CHANLOG_DEBIAN_SOURCE}/chanlog.service DESTINATION /lib/systemd/system
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${CHANLOG_DEBIAN_SOURCE}/chanlog.logrotate DESTINATION /etc/logrotate.d
        RENAME chanlog COMPONENT debian EXCLUDE_FROM_ALL)
file(WRITE ${CHANLOG_DEBIAN_BUILD}/conffiles "/etc/logrotate.d/chanlog\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CHANLOG_DEBIAN_BUILD}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_PACKAGE_NAME chanlog)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# One line of the package's long description per line here, none longer than 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "chanlog holds a connection to 127.0.0.1:31285, reads text from 127.0.0.1:31286"
  "and writes each receive that begins with \"50;\" to standard output and to"
  "log.txt, stamped with the milliseconds since start-up."
  "chanlog.service runs it for days, connecting again when a service restarts,"
  "its log in /var/log/chanlog; it is installed, not enabled."
  "sample-feed is a pair of sample services for it.")
set(CPACK_STRIP_FILES ON)
# Not a real mailbox: example.org is reserved for examples, and lintian accepts it as a host.
set(CPACK_PACKAGE_CONTACT "chanlog developers <chanlog-dev@chanlog.example.org>")
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
# The package takes these components, all in one package.
set(CPACK_COMPONENTS_ALL programs debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
# Values reach CPack as written here, quotes and all.
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
