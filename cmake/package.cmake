# What `cmake --install` lays out besides the programs, and the Debian package of it:
# `cpack --config build/CPackConfig.cmake` (or `cmake --build build --target package`) makes
# sfx_VERSION_ARCH.deb with sfx_pack in /usr/bin, the stubs in /usr/lib/sfx, the manual pages
# in /usr/share/man/man1 and the README in /usr/share/doc/sfx.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/sfx)

set(SFX_PACKAGE_MAINTAINER "sfx maintainers <root@localhost>" CACHE STRING
    "Maintainer named in the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sfx)
set(CPACK_PACKAGE_VERSION ${SFX_PACK_VERSION})
set(CPACK_PACKAGE_CONTACT ${SFX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# sfx_pack's libraries; the stubs are static and need none.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-extracting launchers for Linux")
set(CPACK_PACKAGE_DESCRIPTION
    "sfx_pack makes a distributable file from a payload directory: a static stub program with \
a ZIP archive of the payload and the command to run appended. Run on any Linux machine, the \
file unpacks the payload into a work directory, runs the command with the user's arguments, \
returns its exit status and removes what it unpacked. Stubs for x86_64, aarch64, armv7l and \
ppc64le are included; sfx_pack also inspects and verifies such files.")
include(CPack)
