# SPDX-License-Identifier: GPL-2.0-only
# Per generator: the Debian package installs under /opt/kernel-checks, the
# tarball at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/kernel-checks)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
endif()
