# SPDX-License-Identifier: GPL-2.0-only
# What a lab downloads: per architecture, a tarball and a Debian package of
# the programs with the LAVA test definition beside them. Both keep the
# layout the definition expects, bin/ and lava/ side by side (its script
# runs ../bin/run_checks beside its folder): at the top of the tarball (LAVA
# unpacks it as the test's repository), and under /usr/lib/kernel-checks in
# the package, which also puts the programs on PATH (/usr/bin links to
# them) and carries what Debian asks of a package (copyright, changelog,
# stripped programs; lintian reports no error). Build the "package" target
# in a build for the architecture (static, as a device wants them).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lava/ DESTINATION lava USE_SOURCE_PERMISSIONS
        PATTERN devices EXCLUDE PATTERN jobs EXCLUDE PATTERN output EXCLUDE)

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
set(CHECKS_DEB_MAINTAINER
    "kernel-checks maintainers <maintainers@users.noreply.c-seed-18da703b.example>"
    CACHE STRING "The Debian package's maintainer, as \"name <address>\"")
set(CPACK_PACKAGE_NAME kernel-checks)
set(CPACK_PACKAGE_VENDOR "kernel-checks")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Linux kernel checks of resident-set accounting and new-file reads")
set(CPACK_PACKAGE_FILE_NAME kernel-checks-${PROJECT_VERSION}-${checks_arch})
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${checks_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CHECKS_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1) # not native: the changelog is changelog.Debian.gz
# The extended description: CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "rss_map_check checks that the kernel counts the pages of a mapping in the
process's resident set (/proc/PID/statm and smaps) for anonymous, shared,
file-backed and huge-page mappings; new_file_read_check checks that a new
file reads back what was written to it. run_checks runs both in a sandbox,
undoes what they change and reports in KTAP, as kselftest does.
.
The programs are linked statically, for devices without a matching C
library. The LAVA test definition (kernel-checks.yaml) and its scripts are
in /usr/lib/kernel-checks/lava, beside the programs in
/usr/lib/kernel-checks/bin.")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/packaging-generators.cmake)
include(CPack)

# The Debian package's own files, in the component "deb" that only the DEB
# generator installs (packaging-generators.cmake), with the install prefix
# /usr: the programs and the definition under lib/kernel-checks, links to
# the programs in bin, the copyright file (.reuse/dep5, the tree's own
# statement, and the license's paragraph), the changelog and the lintian
# overrides.
set(deb_dir ${PROJECT_BINARY_DIR}/debian)
set(deb_src ${PROJECT_SOURCE_DIR}/cmake/debian)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/.reuse/dep5
             ${deb_src}/copyright-license ${deb_src}/changelog)
install(TARGETS run_checks rss_map_check new_file_read_check
        RUNTIME DESTINATION lib/kernel-checks/bin COMPONENT deb EXCLUDE_FROM_ALL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lava/ DESTINATION lib/kernel-checks/lava
        USE_SOURCE_PERMISSIONS COMPONENT deb EXCLUDE_FROM_ALL
        PATTERN devices EXCLUDE PATTERN jobs EXCLUDE PATTERN output EXCLUDE)
file(MAKE_DIRECTORY ${deb_dir}/bin)
foreach(program run_checks rss_map_check new_file_read_check)
  file(CREATE_LINK ../lib/kernel-checks/bin/${program} ${deb_dir}/bin/${program} SYMBOLIC)
endforeach()
install(DIRECTORY ${deb_dir}/bin/ DESTINATION bin COMPONENT deb EXCLUDE_FROM_ALL)

# The text of FILE without its lines that start with #.
function(read_without_comments file out)
  file(READ ${file} text)
  string(REGEX REPLACE "\n#[^\n]*" "" text "\n${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
file(READ ${PROJECT_SOURCE_DIR}/.reuse/dep5 dep5)
read_without_comments(${deb_src}/copyright-license license)
file(CONFIGURE OUTPUT ${deb_dir}/copyright CONTENT "${dep5}${license}" @ONLY)
read_without_comments(${deb_src}/changelog changelog)
string(REPLACE "@MAINTAINER@" "${CHECKS_DEB_MAINTAINER}" changelog "${changelog}")
string(REGEX MATCH "^kernel-checks \\(([^)]*)\\)" top "${changelog}")
if(NOT CMAKE_MATCH_1 STREQUAL "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
  message(FATAL_ERROR "cmake/debian/changelog: its last entry is ${CMAKE_MATCH_1}, the package "
                      "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}: add an entry")
endif()
file(CONFIGURE OUTPUT ${deb_dir}/changelog.Debian CONTENT "${changelog}" @ONLY)
# gzip -9n, as Debian's tools compress it: no name nor time in the header.
add_custom_command(OUTPUT ${deb_dir}/changelog.Debian.gz
                   COMMAND gzip -9nkf ${deb_dir}/changelog.Debian
                   DEPENDS ${deb_dir}/changelog.Debian VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${deb_dir}/changelog.Debian.gz)
install(FILES ${deb_dir}/copyright ${deb_dir}/changelog.Debian.gz
        DESTINATION share/doc/kernel-checks COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${deb_src}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME kernel-checks COMPONENT deb EXCLUDE_FROM_ALL)

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
