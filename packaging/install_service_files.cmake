# SPDX-License-Identifier: MIT
# Runs at install time, when the final prefix is known (`cmake --install
# --prefix`, CPack): writes the systemd user and system units with the
# installed host's path, and the sample configuration, naming the installed
# scan-to-folder action, under <prefix>/etc, or /etc for prefix /usr. An
# edited configuration already there is kept; the new sample goes beside it.
# In: zn_system_unit_template, zn_user_unit_template, zn_config_sample,
# zn_bindir, zn_datadir, zn_sysconfdir.

# `cmake --install --prefix` leaves a relative prefix as given; the other files
# are installed relative to the working directory, so these are too (the
# base of relative paths in an install script).
get_filename_component(zn_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

function(zn_install_prefixed out relative)
  if(IS_ABSOLUTE "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
  else()
    set(${out} "${zn_prefix}/${relative}" PARENT_SCOPE)
  endif()
endfunction()

# A macro: the install manifest is a variable of the calling install script.
macro(zn_install_note path)
  message(STATUS "Installing: ${path}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${path}")
endmacro()

# zn_install_configured(<template> <path under DESTDIR>): writes the template
# with its @VARIABLES@ replaced, readable by all.
function(zn_install_configured template path)
  file(READ "${template}" text)
  string(CONFIGURE "${text}" text @ONLY)
  get_filename_component(path "$ENV{DESTDIR}${path}" ABSOLUTE)
  file(WRITE "${path}" "${text}")
  file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  zn_install_note("${path}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

# systemd and a shell both read a double-quoted path, so a prefix with spaces works.
function(zn_quoted_if_spaced out path)
  if(path MATCHES " ")
    set(${out} "\"${path}\"" PARENT_SCOPE)
  else()
    set(${out} "${path}" PARENT_SCOPE)
  endif()
endfunction()

# The units.
zn_install_prefixed(zn_host "${zn_bindir}/zn417-host")
zn_quoted_if_spaced(ZN_UNIT_HOST "${zn_host}")
zn_install_configured("${zn_system_unit_template}" "${zn_prefix}/lib/systemd/system/zn417-host@.service")
zn_install_configured("${zn_user_unit_template}" "${zn_prefix}/lib/systemd/user/zn417-host@.service")

# The sample configuration.
if(zn_prefix STREQUAL "/usr" AND NOT IS_ABSOLUTE "${zn_sysconfdir}")
  set(zn_config_dir "/etc/zn417")
else()
  zn_install_prefixed(zn_config_dir "${zn_sysconfdir}/zn417")
endif()
get_filename_component(zn_config_path "$ENV{DESTDIR}${zn_config_dir}/zn417-host.conf"
                       ABSOLUTE)
zn_install_prefixed(zn_action "${zn_datadir}/zn417/actions/scan-to-folder")
# A shell word for the configuration's exec: a value wholly in double quotes
# loses them there, so a spaced path takes single quotes.
if(zn_action MATCHES " ")
  set(ZN_SCAN_ACTION "'${zn_action}'")
else()
  set(ZN_SCAN_ACTION "${zn_action}")
endif()
file(READ "${zn_config_sample}" zn_sample)
string(CONFIGURE "${zn_sample}" zn_sample @ONLY)
set(zn_config_name zn417-host.conf)
if(EXISTS "${zn_config_path}")
  file(READ "${zn_config_path}" zn_installed)
  if(NOT zn_installed STREQUAL zn_sample)
    set(zn_config_name zn417-host.conf.dist)
    message(STATUS "Keeping the edited ${zn_config_path}; the new sample is ${zn_config_name}")
  endif()
endif()
zn_install_configured("${zn_config_sample}" "${zn_config_dir}/${zn_config_name}")
