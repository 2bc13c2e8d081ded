# The Debian package, sabrevin_<version>-<release>_<arch>.deb, made by CPack from a build tree:
#   cpack --config BUILD/CPackConfig.cmake -B OUT
# (scripts/package does it from a clean tree). It holds what install.cmake and net/icmp install,
# under /usr, stripped, plus the Debian copyright and changelog; not the install's setcap
# attempt: the package's postinst gives the helper its capability on the target machine.
# Dependencies come from the binaries (dpkg-shlibdeps), plus libcap2-bin for the postinst.

set(SABREVIN_DEB_RELEASE 1)
set(SABREVIN_DEB_DOC_DIR ${CMAKE_BINARY_DIR}/debian-doc)

# The changelog the way Debian wants it, compressed without a time stamp.
add_custom_command(OUTPUT ${SABREVIN_DEB_DOC_DIR}/changelog.Debian.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SABREVIN_DEB_DOC_DIR}
    COMMAND ${SABREVIN_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
            > ${SABREVIN_DEB_DOC_DIR}/changelog.Debian.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    COMMENT "Compressing the Debian changelog")
add_custom_target(sabrevin_deb_changelog ALL DEPENDS ${SABREVIN_DEB_DOC_DIR}/changelog.Debian.gz)
# Only the package installs these (a plain install names no component and leaves them out).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${SABREVIN_DEB_DOC_DIR}/changelog.Debian.gz
        DESTINATION share/doc/sabrevin COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME sabrevin)
set(CPACK_PACKAGE_VENDOR Varnstead)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Varnstead <sabrevin@varnstead.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ping, trace and look up hosts from one window")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The program's files and the Debian documents; not the component "capability".
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};sabrevin;Unspecified;/"
    "${CMAKE_BINARY_DIR};sabrevin;debian;/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SABREVIN_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.varnstead.example/sabrevin/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libcap2-bin)
# CPack would add a postrm that runs ldconfig, since the echo module lies below /usr/lib; but
# lib/sabrevin/ is no library directory. Our own postrm keeps it out.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
Sabrevin is a network diagnostic tool for the desktop: one window with four
pages. Ping sends ICMP echo requests to a host and lists each reply or
time-out; Trace lists the route to a host hop by hop; Lookup resolves names
and addresses; Local Info shows this computer's name, address and sockets
layer.
.
The program never runs privileged. Where ping sockets are not allowed, a
small helper that holds only the capability cap_net_raw (given by this
package when it is installed) sends the echo requests for it.]])

include(CPack)
