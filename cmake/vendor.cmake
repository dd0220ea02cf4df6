# Vendor build settings: what a vendor changes to ship the installer with
# their own DSM.  The defaults build the bundled example package's installer.
#
#   cmake --preset host -DMPIO_DSM_DESCRIPTION="Contoso Multipath DSM" ...
#
# The settings reach the program and the Windows version resource through one
# generated header, build/<preset>/generated/vendor.h.

set(MPIO_DSM_DESCRIPTION "Quorvex Lumenstride Device Specific Module" CACHE STRING
    "Device description of the DSM device that the check (-c) looks for")
set(MPIO_COMPANY_NAME "" CACHE STRING
    "CompanyName of the version resource (left out when empty)")
set(MPIO_PRODUCT_NAME "MPIO Package Installer" CACHE STRING
    "ProductName of the version resource")
set(MPIO_FILE_DESCRIPTION "Installs, checks and removes the Multi-Path software package" CACHE STRING
    "FileDescription of the version resource")

foreach(setting MPIO_DSM_DESCRIPTION MPIO_COMPANY_NAME MPIO_PRODUCT_NAME MPIO_FILE_DESCRIPTION)
  # The texts become C string literals: quotes, backslashes and control
  # characters would need escaping that the resource compiler and the C
  # compiler do not share.
  if("${${setting}}" MATCHES "[\"\\\\\r\n\t]")
    message(FATAL_ERROR "${setting} must not hold quotes, backslashes, tabs or line ends: '${${setting}}'")
  endif()
endforeach()
if(MPIO_DSM_DESCRIPTION STREQUAL "")
  message(FATAL_ERROR "MPIO_DSM_DESCRIPTION must not be empty")
endif()

if(MPIO_COMPANY_NAME STREQUAL "")
  set(MPIO_COMPANY_NAME_LINE "/* no CompanyName */")
else()
  set(MPIO_COMPANY_NAME_LINE "#define INSTALL_COMPANY_NAME \"${MPIO_COMPANY_NAME}\"")
endif()

set(MPIO_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vendor.h.in ${MPIO_GENERATED_DIR}/vendor.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/install/frontend/install.manifest.in
               ${MPIO_GENERATED_DIR}/install.manifest @ONLY)
