# The release package, made from the x64 build:
#
#   cmake --preset windows-x64 && cmake --build build/windows-x64 --target package
#
# writes build/windows-x64/mpio-installer-<version>-windows.zip with both
# builds of install.exe (x64/, x86/), the administrator's guide, the
# changelog, the example package and the Ansible role.  The x86 build is the
# windows-x86 preset's (build/windows-x86), configured and built while the
# package is made, with this build's version and vendor settings, so that one
# command makes the whole package from a clean clone.

set(MPIO_PACKAGE_NAME "mpio-installer-${PROJECT_VERSION}-windows")

# Everything that a vendor or a release sets, handed on to the x86 build.
set(MPIO_FORWARDED_SETTINGS MPIO_VERSION MPIO_DSM_DESCRIPTION MPIO_COMPANY_NAME MPIO_PRODUCT_NAME
                            MPIO_FILE_DESCRIPTION WARNINGS_AS_ERRORS)
# Quoted one by one for the generated script: the texts hold spaces.
set(MPIO_X86_CONFIGURE_ARGS "")
foreach(setting ${MPIO_FORWARDED_SETTINGS})
  string(APPEND MPIO_X86_CONFIGURE_ARGS " \"-D${setting}=${${setting}}\"")
endforeach()
set(MPIO_X86_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/windows-x86)
configure_file(${CMAKE_SOURCE_DIR}/cmake/build-x86.cmake.in ${CMAKE_BINARY_DIR}/build-x86.cmake @ONLY)

install(TARGETS installer RUNTIME DESTINATION x64)
install(SCRIPT ${CMAKE_BINARY_DIR}/build-x86.cmake)
install(PROGRAMS ${MPIO_X86_BUILD_DIR}/install.exe DESTINATION x86)
install(FILES ${CMAKE_SOURCE_DIR}/docs/usage.md DESTINATION docs)
install(FILES ${CMAKE_SOURCE_DIR}/CHANGELOG.md DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/package DESTINATION examples)
# The role as checked in; not what a run left beside it.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/deploy/ansible DESTINATION deploy
        PATTERN "__pycache__" EXCLUDE PATTERN "logs" EXCLUDE PATTERN "inventory.yml" EXCLUDE
        PATTERN "*.retry" EXCLUDE)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME mpio-installer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${MPIO_PACKAGE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)
