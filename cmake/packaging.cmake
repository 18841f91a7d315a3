# SPDX-License-Identifier: GPL-2.0-only
# What a lab downloads: per architecture, a tarball and a Debian package of
# the programs with the LAVA test definition beside them. Both keep the
# layout the definition expects, bin/ and lava/ side by side: at the top of
# the tarball (LAVA unpacks it as the test's repository), and under
# /opt/kernel-checks in the package. Build the "package" target in a build
# for the architecture (static, as a device wants them).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lava/ DESTINATION lava USE_SOURCE_PERMISSIONS
        PATTERN devices EXCLUDE PATTERN jobs EXCLUDE)

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

# A kselftest install holding the kernel_checks collection alone, which
# Linaro's kselftest.sh runs unchanged: downloaded (TESTPROG_URL), or
# unpacked onto a kernel's install at KSELFTEST_PATH, whose runner and list
# it then replaces (docs/fleets.md). At its top the kernel's own
# run_kselftest.sh and kselftest/ of CHECKS_KSELFTEST_RUNNER (6.12's from
# Debian's linux-source-6.12, fetched at build time by
# kselftest/fetch-runner.sh; GPL-2.0, kselftest/SOURCE says whence) and
# kselftest-list.txt with the collection's line. In kernel_checks/ the three
# programs (run_checks finds the checks beside itself), a settings file
# whose timeout covers run_checks' worst case (its lock wait, -t for each
# check and a measurement, with a margin), the kernel options the checks
# need, the line again for a person merging it into another install, and
# the license. `cmake --install BUILD --component kselftest --prefix DIR`
# after fetch-runner.sh, or the archive of the "kselftest_package" target.
if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(kselftest_cache "$ENV{XDG_CACHE_HOME}/kernel-checks/kselftest")
else()
  set(kselftest_cache "$ENV{HOME}/.cache/kernel-checks/kselftest")
endif()
set(CHECKS_KSELFTEST_RUNNER "${kselftest_cache}/6.12" CACHE PATH
    "The kernel's run_kselftest.sh and kselftest/ that the kselftest archive carries")
install(TARGETS run_checks rss_map_check new_file_read_check
        RUNTIME DESTINATION kernel_checks COMPONENT kselftest EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/kselftest/settings ${PROJECT_SOURCE_DIR}/kselftest/config
              ${PROJECT_SOURCE_DIR}/kselftest/kselftest-list.txt ${PROJECT_SOURCE_DIR}/COPYING
        DESTINATION kernel_checks COMPONENT kselftest EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSES/GPL-2.0-only.txt
        DESTINATION kernel_checks/LICENSES COMPONENT kselftest EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/kselftest/kselftest-list.txt
        DESTINATION . COMPONENT kselftest EXCLUDE_FROM_ALL)
install(PROGRAMS ${CHECKS_KSELFTEST_RUNNER}/run_kselftest.sh
        DESTINATION . COMPONENT kselftest EXCLUDE_FROM_ALL)
install(DIRECTORY ${CHECKS_KSELFTEST_RUNNER}/kselftest
        DESTINATION . COMPONENT kselftest EXCLUDE_FROM_ALL USE_SOURCE_PERMISSIONS)
add_custom_target(kselftest_package
  COMMAND ${PROJECT_SOURCE_DIR}/kselftest/fetch-runner.sh ${kselftest_cache} 6.12
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake -G TGZ
          -D CPACK_COMPONENTS_ALL=kselftest -D CPACK_ARCHIVE_COMPONENT_INSTALL=ON
          -D CPACK_PACKAGE_FILE_NAME=kernel-checks-${PROJECT_VERSION}-${checks_arch}
  DEPENDS run_checks rss_map_check new_file_read_check
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
