# The Linux release, for a controller or a vendor's CI: pkgcheck, the host
# installer it drives, winsim, which shows the machines pkgcheck --keep kept,
# and the host capture, made by the linux-x64 preset as
# build/linux-x64/mpio-installer-<version>-linux-x86_64.tar.gz:
#
#   cmake --preset linux-x64 && cmake --build build/linux-x64 --target linux-package
#
# The Windows release package makes it on the way (cmake/package.cmake).
option(MPIO_LINUX_RELEASE "Link the runtime in and add the linux-package target (the linux-x64 preset)" OFF)
if(NOT MPIO_LINUX_RELEASE)
  return()
endif()

# The compiler's C++ and support libraries linked in: the programs need only
# the C library of a stock Debian 12.
foreach(target installer pkgcheck winsim-tool capture-host)
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
endforeach()

set(MPIO_LINUX_PACKAGE_NAME "mpio-installer-${PROJECT_VERSION}-linux-x86_64")
set(stage ${CMAKE_BINARY_DIR}/stage)
add_custom_target(linux-package
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/${MPIO_LINUX_PACKAGE_NAME}
  COMMAND ${CMAKE_STRIP} -o ${stage}/${MPIO_LINUX_PACKAGE_NAME}/pkgcheck $<TARGET_FILE:pkgcheck>
  COMMAND ${CMAKE_STRIP} -o ${stage}/${MPIO_LINUX_PACKAGE_NAME}/install $<TARGET_FILE:installer>
  COMMAND ${CMAKE_STRIP} -o ${stage}/${MPIO_LINUX_PACKAGE_NAME}/winsim $<TARGET_FILE:winsim-tool>
  COMMAND ${CMAKE_STRIP} -o ${stage}/${MPIO_LINUX_PACKAGE_NAME}/capture $<TARGET_FILE:capture-host>
  COMMAND ${CMAKE_COMMAND} -E copy ${MPIO_GENERATED_DIR}/README-linux.md
          ${stage}/${MPIO_LINUX_PACKAGE_NAME}/README.md
  COMMAND ${CMAKE_COMMAND} -E chdir ${stage}
          ${CMAKE_COMMAND} -E tar czf ${CMAKE_BINARY_DIR}/${MPIO_LINUX_PACKAGE_NAME}.tar.gz ${MPIO_LINUX_PACKAGE_NAME}
  DEPENDS installer pkgcheck winsim-tool capture-host
  COMMENT "Making ${MPIO_LINUX_PACKAGE_NAME}.tar.gz"
  VERBATIM)
