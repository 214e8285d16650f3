# `cpack` (or the `package` target) makes a Debian package of the same install,
# under /usr: the host, the plug-in, the udev rule, the unit, the man page and
# the sample configuration, which dpkg keeps as a conffile.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zn417-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZN417 scanner push-button host and plug-in")
set(CPACK_PACKAGE_DESCRIPTION
    "Runs a command per button press of a ZN417 scanner; a systemd service per scanner,\n started by udev when it is plugged in.")
set(CPACK_PACKAGE_CONTACT "ZN417 host maintainers <zn417-host@localhost>")
# The install script writes /etc and the unit itself, so CPack installs
# through DESTDIR, with the prefix the package has.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Depends from the libraries the programs link, with their versions, as
# Debian's own packages get them; without dpkg-shlibdeps, by Debian 12's names.
find_program(ZN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libplist3, libusb-1.0-0, libinih1")
endif()

set(zn_deb_conffiles ${PROJECT_BINARY_DIR}/packaging/conffiles)
file(WRITE ${zn_deb_conffiles} "/etc/zn417/zn417-host.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${zn_deb_conffiles})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
