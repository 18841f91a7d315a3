# SPDX-License-Identifier: GPL-2.0-only
# Per generator: the Debian package installs the component "deb" alone
# (packaging.cmake), as one package, under /usr, with its programs stripped;
# the tarball what the default install has (bin/, lava/) at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL deb)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_DEBIAN_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}.deb)
  set(CPACK_STRIP_FILES ON)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
endif()
