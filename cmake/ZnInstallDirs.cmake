# SPDX-License-Identifier: MIT
# Where `cmake --install` puts things. The plug-in module and the platform
# library it shares with the host live in a private directory; the host and
# the module find it through a RUNPATH relative to themselves ($ORIGIN), so an
# installed tree works under any prefix and DESTDIR and never reads the build tree.
include(GNUInstallDirs)

set(ZN_INSTALL_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/zn417")
# The plug-in directory as seen from the host's directory: the host's RUNPATH,
# and its default plug-in path (compile definition ZN_PLUGIN_DIR_FROM_BIN).
cmake_path(ABSOLUTE_PATH ZN_INSTALL_PLUGINDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
           OUTPUT_VARIABLE zn_full_plugindir)
file(RELATIVE_PATH ZN_PLUGIN_DIR_FROM_BIN "${CMAKE_INSTALL_FULL_BINDIR}" "${zn_full_plugindir}")
