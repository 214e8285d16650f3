# SPDX-License-Identifier: MIT
# `cpack` (or the `package` target) makes two Debian packages of the same
# install, under /usr: zn417-host (component runtime: the host, the plug-in
# and its platform library, the udev rule, the units, the man page, the sample
# configuration, which dpkg keeps as a conffile) and zn417-host-dev (component
# dev: the plug-in's header). Each carries its copyright file and changelog.
set(ZN_PACKAGE_MAINTAINER "ZN417 button plug-in authors <zn417@example.org>"
    CACHE STRING "Maintainer of the Debian packages: \"Name <address>\"")
set(ZN_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages (the N of <version>-N)")
set(zn_deb_version "${PROJECT_VERSION}-${ZN_PACKAGE_RELEASE}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zn417-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZN_PACKAGE_RELEASE})
set(CPACK_PACKAGE_CONTACT "${ZN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZN_PACKAGE_MAINTAINER}")
# The install script writes /etc and the unit itself, so CPack installs
# through DESTDIR, with the prefix the package has.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
# The first line is the synopsis; CPack indents the others. lintian wants
# every line within 80 columns.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME zn417-host)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION [[ZN417 scanner push-button host and plug-in
Runs a command for each button press of a ZN417 scanner. udev starts a host
for the scanner when it is plugged in: a systemd user service for the
desktop user, or a system service for a headless machine. The plug-in
watches the scanner's interrupt pipe and writes an event file per press.]])
# The scan-to-folder action runs scanimage and notify-send.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "sane-utils, libnotify-bin")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME zn417-host-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEV_DESCRIPTION [[ZN417 scanner push-button plug-in - development header
The C header of the ZN417 button plug-in's interface, for the authors of
a host program that loads the plug-in (shipped in zn417-host) with dlopen
and starts and stops its watch of a scanner.]])
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS zn417-host)

# Depends from the libraries the programs link, with their versions, as
# Debian's own packages get them; without dpkg-shlibdeps, by Debian 12's names.
find_program(ZN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libplist3, libusb-1.0-0")
endif()

set(zn_package_dir ${PROJECT_BINARY_DIR}/packaging)
file(WRITE ${zn_package_dir}/conffiles "/etc/zn417/zn417-host.conf\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${zn_package_dir}/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${zn_package_dir}/conffiles)

# The changelog of this revision, compressed as dpkg ships it (gzip -9n:
# no name or time stamp).
set(ZN_DEB_VERSION ${zn_deb_version})
configure_file(packaging/changelog.in ${zn_package_dir}/changelog.Debian @ONLY)
set(zn_changelog ${zn_package_dir}/changelog.Debian.gz)
add_custom_command(OUTPUT ${zn_changelog}
  COMMAND gzip -9nc ${zn_package_dir}/changelog.Debian > ${zn_changelog}
  DEPENDS ${zn_package_dir}/changelog.Debian
  COMMENT "Debian changelog"
  VERBATIM)
add_custom_target(zn_debian_changelog ALL DEPENDS ${zn_changelog})

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} zn_component)
  set(zn_package ${CPACK_DEBIAN_${zn_component}_PACKAGE_NAME})
  install(FILES packaging/copyright ${zn_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${zn_package} COMPONENT ${component})
  install(FILES packaging/zn417-host.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME ${zn_package} COMPONENT ${component})
endforeach()

# A stripped install (CPack's) also loses the .comment section, the compilers'
# version strings, as Debian's dh_strip does. Runs after every other install
# rule (CMP0082: in the order of declaration, and this file comes last).
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB zn_elf_files
         \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zn417-host\"
         \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ZN_INSTALL_PLUGINDIR}/*.so*\")
    foreach(zn_elf IN LISTS zn_elf_files)
      if(NOT IS_SYMLINK \"\${zn_elf}\")
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment \"\${zn_elf}\"
                        COMMAND_ERROR_IS_FATAL ANY)
      endif()
    endforeach()
  endif()
" COMPONENT runtime)

include(CPack)
