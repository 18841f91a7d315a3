# SPDX-License-Identifier: GPL-2.0-only
# What a lab downloads: per architecture, a tarball and a Debian package of
# the programs with the LAVA test definition beside them. Both keep the
# layout the definition expects, bin/ and lava/ side by side: at the top of
# the tarball (LAVA unpacks it as the test's repository), and under
# /opt/kernel-checks in the package. Build the "package" target in a build
# for the architecture (static, as a device wants them).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lava/ DESTINATION lava USE_SOURCE_PERMISSIONS
        PATTERN devices EXCLUDE PATTERN jobs EXCLUDE)

# check-kernel beside the programs it packs into its guests; its guest's init
# and kernel options where it looks for them, ../share/kernel-checks from
# bin/ (kselftest/config under the name it reads).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/check-kernel DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/check-kernel/ DESTINATION share/kernel-checks/check-kernel
        USE_SOURCE_PERMISSIONS)
install(FILES ${PROJECT_SOURCE_DIR}/kselftest/config DESTINATION share/kernel-checks/check-kernel
        RENAME kselftest.config)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(checks_arch arm64)
else()
  set(checks_arch amd64)
endif()
set(CPACK_PACKAGE_NAME kernel-checks)
set(CPACK_PACKAGE_VENDOR "kernel-checks")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Linux kernel checks (resident-set accounting, new-file reads) with a LAVA test definition")
set(CPACK_PACKAGE_FILE_NAME kernel-checks-${PROJECT_VERSION}-${checks_arch})
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${checks_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "kernel-checks maintainers <root@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/packaging-generators.cmake)
include(CPack)

# A kselftest collection, to merge into a kselftest install that already has
# the kernel's run_kselftest.sh and kselftest/runner.sh (never shipped here):
# kernel_checks/ holds the three programs (run_checks finds the checks beside
# itself), a settings file whose timeout covers run_checks' worst case (its
# lock wait, -t for each check and a measurement, with a margin), the kernel
# options the checks need, and the line for kselftest-list.txt. `cmake
# --install BUILD --component kselftest --prefix DIR`, or the archive of the
# "kselftest_package" target.
install(TARGETS run_checks rss_map_check new_file_read_check
        RUNTIME DESTINATION kernel_checks COMPONENT kselftest EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/kselftest/settings ${PROJECT_SOURCE_DIR}/kselftest/config
              ${PROJECT_SOURCE_DIR}/kselftest/kselftest-list.txt
        DESTINATION kernel_checks COMPONENT kselftest EXCLUDE_FROM_ALL)
add_custom_target(kselftest_package
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake -G TGZ
          -D CPACK_COMPONENTS_ALL=kselftest -D CPACK_ARCHIVE_COMPONENT_INSTALL=ON
          -D CPACK_PACKAGE_FILE_NAME=kernel-checks-${PROJECT_VERSION}-${checks_arch}
  DEPENDS run_checks rss_map_check new_file_read_check
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
