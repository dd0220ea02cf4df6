# The release, made from the x64 build:
#
#   cmake --preset windows-x64 && cmake --build build/windows-x64 --target package
#
# writes to build/windows-x64:
# - mpio-installer-<version>-windows.zip, whose one top-level folder of the
#   same name holds both builds of install.exe and capture.exe (x64/, x86/), a README, the
#   third-party notices of the runtime linked into them, the administrator's
#   guide, the changelog, the example package and the Ansible role;
# - mpio-installer-<version>-linux-x86_64.tar.gz, pkgcheck and the host
#   installer for a controller (the linux-x64 preset, cmake/linux-release.cmake);
# - SHA256SUMS of both archives.
# The x86 build and the Linux build are configured and built on the way with
# this build's version and vendor settings, so that one command makes the
# whole release from a clean clone.  They live inside this build directory
# (release-x86/, release-linux/): a vendor's release leaves its settings in
# no build directory that a plain build of the windows-x86 or linux-x64
# preset uses.
#
# The ZIP bundles MPIO_PACKAGE_DIR (the example by default, as
# examples/package; a vendor's as package/), and a README and a copy of the
# guide whose commands name MPIO_DSM_INF and MPIO_DSM_HWID (cmake/vendor.cmake).

set(MPIO_PACKAGE_NAME "mpio-installer-${PROJECT_VERSION}-windows")
set(MPIO_LINUX_PACKAGE_NAME "mpio-installer-${PROJECT_VERSION}-linux-x86_64")

# Everything that a vendor or a release sets, handed on to the other builds.
set(MPIO_FORWARDED_SETTINGS MPIO_VERSION MPIO_DSM_DESCRIPTION MPIO_COMPANY_NAME MPIO_PRODUCT_NAME
                            MPIO_FILE_DESCRIPTION WARNINGS_AS_ERRORS)
# Quoted one by one for the generated scripts: the texts hold spaces.
set(MPIO_X86_CONFIGURE_ARGS "")
foreach(setting ${MPIO_FORWARDED_SETTINGS})
  string(APPEND MPIO_X86_CONFIGURE_ARGS " \"-D${setting}=${${setting}}\"")
endforeach()
set(MPIO_X86_BUILD_DIR ${CMAKE_BINARY_DIR}/release-x86)
set(MPIO_LINUX_BUILD_DIR ${CMAKE_BINARY_DIR}/release-linux)
configure_file(${CMAKE_SOURCE_DIR}/cmake/build-x86.cmake.in ${CMAKE_BINARY_DIR}/build-x86.cmake @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/release-linux.cmake.in ${CMAKE_BINARY_DIR}/release-linux.cmake @ONLY)

install(TARGETS installer capture RUNTIME DESTINATION x64)
install(SCRIPT ${CMAKE_BINARY_DIR}/build-x86.cmake)
install(PROGRAMS ${MPIO_X86_BUILD_DIR}/install.exe ${MPIO_X86_BUILD_DIR}/capture.exe DESTINATION x86)
install(FILES ${MPIO_GENERATED_DIR}/README-windows.md DESTINATION . RENAME README.md)
install(FILES ${CMAKE_SOURCE_DIR}/docs/release/THIRD-PARTY-NOTICES.txt DESTINATION .)
install(FILES ${MPIO_GENERATED_DIR}/usage.md DESTINATION docs)
install(FILES ${CMAKE_SOURCE_DIR}/CHANGELOG.md DESTINATION .)
install(DIRECTORY ${MPIO_PACKAGE_DIR}/ DESTINATION ${MPIO_PACKAGE_FOLDER})
# The role as checked in; not what a run left beside it (logs, an inventory,
# a vault with a password, retry files).
install(DIRECTORY ${CMAKE_SOURCE_DIR}/deploy/ansible DESTINATION deploy
        PATTERN "__pycache__" EXCLUDE PATTERN "logs" EXCLUDE PATTERN "inventory.yml" EXCLUDE
        PATTERN "group_vars" EXCLUDE PATTERN "*.retry" EXCLUDE)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME mpio-installer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${MPIO_PACKAGE_NAME})
# Unpacked, the release is one folder named as the ZIP.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
# After the ZIP: the Linux tarball beside it and SHA256SUMS of both.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/release-linux.cmake)
include(CPack)
