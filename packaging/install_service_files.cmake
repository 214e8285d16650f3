# Runs at install time, when the final prefix is known (`cmake --install
# --prefix`, CPack): writes the systemd unit with the installed host's path,
# and the sample configuration under <prefix>/etc, or /etc for prefix /usr.
# An edited configuration already there is kept; the new sample goes beside it.
# In: zn_unit_template, zn_config_sample, zn_bindir, zn_sysconfdir.

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

# The unit. systemd reads a quoted executable path, so a prefix with spaces works.
zn_install_prefixed(zn_host "${zn_bindir}/zn417-host")
if(zn_host MATCHES " ")
  set(ZN_UNIT_HOST "\"${zn_host}\"")
else()
  set(ZN_UNIT_HOST "${zn_host}")
endif()
file(READ "${zn_unit_template}" zn_unit)
string(CONFIGURE "${zn_unit}" zn_unit @ONLY)
get_filename_component(zn_unit_path "$ENV{DESTDIR}${zn_prefix}/lib/systemd/system/zn417-host@.service"
                       ABSOLUTE)
file(WRITE "${zn_unit_path}" "${zn_unit}")
zn_install_note("${zn_unit_path}")

# The sample configuration.
if(zn_prefix STREQUAL "/usr" AND NOT IS_ABSOLUTE "${zn_sysconfdir}")
  set(zn_config_dir "/etc/zn417")
else()
  zn_install_prefixed(zn_config_dir "${zn_sysconfdir}/zn417")
endif()
get_filename_component(zn_config_path "$ENV{DESTDIR}${zn_config_dir}/zn417-host.conf"
                       ABSOLUTE)
set(zn_config_name zn417-host.conf)
if(EXISTS "${zn_config_path}")
  file(SHA256 "${zn_config_path}" zn_installed_hash)
  file(SHA256 "${zn_config_sample}" zn_sample_hash)
  if(NOT zn_installed_hash STREQUAL zn_sample_hash)
    set(zn_config_name zn417-host.conf.dist)
    message(STATUS "Keeping the edited ${zn_config_path}; the new sample is ${zn_config_name}")
  endif()
endif()
# file(INSTALL) adds DESTDIR itself, and notes the file in the install manifest.
file(INSTALL "${zn_config_sample}" DESTINATION "${zn_config_dir}"
     RENAME "${zn_config_name}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
