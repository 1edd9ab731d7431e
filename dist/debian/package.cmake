# The Debian package of the installed files: `make package` (which builds with
# dpkg-buildflags and SOURCE_DATE_EPOCH taken from dist/debian/changelog).
set(QOR_DEBIAN_DIR ${CMAKE_SOURCE_DIR}/dist/debian)

# Debian orders "~rc" before the release itself.
string(REPLACE "-" "~" QOR_DEB_VERSION ${QOR_VERSION_STRING})
file(STRINGS ${QOR_DEBIAN_DIR}/changelog QOR_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT QOR_CHANGELOG_HEAD MATCHES "^qor-verifier \\(${QOR_DEB_VERSION}\\) ")
    message(FATAL_ERROR "dist/debian/changelog does not start with version ${QOR_DEB_VERSION}")
endif()

# A native package carries its changelog as changelog.gz; gzip -n keeps the
# name and time out of the header.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dist/changelog.gz
    COMMAND gzip -9nc ${QOR_DEBIAN_DIR}/changelog > ${CMAKE_BINARY_DIR}/dist/changelog.gz
    DEPENDS ${QOR_DEBIAN_DIR}/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/dist/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/dist/changelog.gz ${QOR_DEBIAN_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qor-verifier)
set(CPACK_PACKAGE_VERSION ${QOR_DEB_VERSION})
set(QOR_PACKAGE_MAINTAINER "qor developers <qor-developers@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${QOR_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[prove that a backup restores to exactly its LVM snapshot
qor_verifier restores a backup made by qor_agent from a kept LVM snapshot
into a scratch logical volume or file, compares the result with that
snapshot block by block (SHA-256 per chunk) or file by file on read-only
mounts, removes what it created and answers with an exit status, one
verdict line and a run log.
.
qor_verify_all verifies the newest backup of every volume in one nightly
pass, keeps a JSON-lines history and writes node_exporter metrics. The
package brings systemd units and timers for both, and a logrotate snippet.]=])
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# util-linux and diffutils are essential and need no mention; losetup, mount
# and umount come from mount.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "lvm2, mount, ntfs-3g")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "prometheus-node-exporter, default-mta | mail-transport-agent")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QOR_DEBIAN_DIR}/conffiles ${QOR_DEBIAN_DIR}/postinst ${QOR_DEBIAN_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
