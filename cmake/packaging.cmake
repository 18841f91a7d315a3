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
