# Vendor build settings: what a vendor changes to ship the installer with
# their own DSM.  The defaults build the bundled example package's installer.
#
#   cmake --preset host -DMPIO_DSM_DESCRIPTION="Contoso Multipath DSM" ...
#
# The settings reach the program and the Windows version resource through one
# generated header, build/<preset>/generated/vendor.h; the package the release
# bundles and the names its README's commands give, through the README
# generated beside it.

set(MPIO_DSM_DESCRIPTION "Quorvex Lumenstride Device Specific Module" CACHE STRING
    "Device description of the DSM device that the check (-c) looks for")
set(MPIO_COMPANY_NAME "" CACHE STRING
    "CompanyName of the version resource (left out when empty)")
set(MPIO_PRODUCT_NAME "MPIO Package Installer" CACHE STRING
    "ProductName of the version resource")
set(MPIO_FILE_DESCRIPTION "Installs, checks and removes the Multi-Path software package" CACHE STRING
    "FileDescription of the version resource")
set(MPIO_PACKAGE_DIR "${CMAKE_SOURCE_DIR}/examples/package" CACHE PATH
    "The package the release bundles: mpio.inf, mpdev.inf, the DSM INF and the files they copy")
set(MPIO_DSM_INF "qvxdsm.inf" CACHE STRING
    "File name of the DSM INF in MPIO_PACKAGE_DIR, as the release README's commands give it")
set(MPIO_DSM_HWID "Root\\QVXDSM" CACHE STRING
    "Hardware ID of the DSM, as the release README's commands give it")

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

# The package: its three INFs found as the setup library finds them, without
# regard to case, and the DSM's hardware ID named in its INF, so that the
# README's commands work on what the release bundles.
get_filename_component(MPIO_PACKAGE_DIR "${MPIO_PACKAGE_DIR}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
if(NOT IS_DIRECTORY "${MPIO_PACKAGE_DIR}")
  message(FATAL_ERROR "MPIO_PACKAGE_DIR '${MPIO_PACKAGE_DIR}' is not a directory")
endif()
if(NOT MPIO_DSM_INF MATCHES "^[^/\\\\:*?\"<>| ]+\\.[iI][nN][fF]$")
  message(FATAL_ERROR "MPIO_DSM_INF is '${MPIO_DSM_INF}': expected the DSM INF's file name, NAME.inf, "
                      "without a directory or blanks")
endif()
if(NOT MPIO_DSM_HWID MATCHES "^[^ \t\r\n\"',;]+$")
  message(FATAL_ERROR "MPIO_DSM_HWID is '${MPIO_DSM_HWID}': expected the DSM's hardware ID (e.g. Root\\QVXDSM), "
                      "without blanks, quotes, commas or semicolons")
endif()
file(GLOB package_files RELATIVE "${MPIO_PACKAGE_DIR}" "${MPIO_PACKAGE_DIR}/*")
foreach(inf mpio.inf mpdev.inf ${MPIO_DSM_INF})
  set(found "")
  foreach(file ${package_files})
    string(TOLOWER "${file}" lower_file)
    string(TOLOWER "${inf}" lower_inf)
    if(lower_file STREQUAL lower_inf)
      set(found "${MPIO_PACKAGE_DIR}/${file}")
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "MPIO_PACKAGE_DIR '${MPIO_PACKAGE_DIR}' holds no ${inf}: a package holds mpio.inf, "
                        "mpdev.inf and the DSM INF (MPIO_DSM_INF)")
  endif()
endforeach()
file(READ "${found}" bom LIMIT 2 HEX)
if(bom STREQUAL "fffe")
  file(STRINGS "${found}" dsm_inf_text ENCODING UTF-16LE)
else()
  file(READ "${found}" dsm_inf_text)
endif()
string(TOLOWER "${dsm_inf_text}" dsm_inf_text)
string(TOLOWER "${MPIO_DSM_HWID}" lower_hwid)
string(FIND "${dsm_inf_text}" "${lower_hwid}" at)
if(at LESS 0)
  message(FATAL_ERROR "MPIO_DSM_HWID '${MPIO_DSM_HWID}' is not in ${found}: give the hardware ID of its models line")
endif()

# In the release: the example where the source keeps it, a vendor's package as package/.
get_filename_component(example_dir "${CMAKE_SOURCE_DIR}/examples/package" REALPATH)
get_filename_component(package_dir "${MPIO_PACKAGE_DIR}" REALPATH)
if(package_dir STREQUAL example_dir)
  set(MPIO_PACKAGE_FOLDER examples/package)
  set(MPIO_PACKAGE_WHAT "the example package, for test machines only: its drivers are placeholders")
else()
  set(MPIO_PACKAGE_FOLDER package)
  set(MPIO_PACKAGE_WHAT "the package: `mpio.inf`, `mpdev.inf`, the DSM INF `${MPIO_DSM_INF}` and their driver files")
endif()

# The administrator's guide as the release ships it.  A vendor's names the
# vendor's package, DSM INF and hardware ID (and the DSM's service and
# version, as its INF gives them) wherever the checked-in guide names the
# example's, and leaves out what it says of the example package only.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/usage.md)
file(READ ${CMAKE_SOURCE_DIR}/docs/usage.md MPIO_GUIDE_TEXT)
if(MPIO_PACKAGE_FOLDER STREQUAL "package")
  string(REGEX REPLACE "<!-- example release -->[^<]*<!-- /example release -->\n" "" MPIO_GUIDE_TEXT
         "${MPIO_GUIDE_TEXT}")
  set(dsm_service "<dsm_service of pkgcheck --facts>")
  if(dsm_inf_text MATCHES "addservice[ \t]*=[ \t]*([^, \t]+)[ \t]*,[ \t]*0x0*2[ \t\r\n,;]")
    set(dsm_service "${CMAKE_MATCH_1}")
  endif()
  set(dsm_version "<driver_ver.version of pkgcheck --facts>")
  if(dsm_inf_text MATCHES "driverver[ \t]*=[ \t]*[0-9/-]+[ \t]*,[ \t]*([0-9.]+)")
    set(dsm_version "${CMAKE_MATCH_1}")
  endif()
  foreach(pair
      "| `examples/package/` | the example package: `mpio.inf`, `mpdev.inf`, the DSM INF `qvxdsm.inf` (hardware ID `Root\\QVXDSM`) and their driver files |\n| `package/` | in a vendor's release, in place of `examples/package/`: the vendor's package; the release's `README.md` names its DSM INF and hardware ID | => | `package/` | the package: `mpio.inf`, `mpdev.inf`, the DSM INF `${MPIO_DSM_INF}` (hardware ID `${MPIO_DSM_HWID}`) and their driver files |"
      "examples/package qvxdsm.inf 'Root\\QVXDSM' => package ${MPIO_DSM_INF} '${MPIO_DSM_HWID}'"
      "C:\\MPIO\\package qvxdsm.inf Root\\QVXDSM => C:\\MPIO\\package ${MPIO_DSM_INF} ${MPIO_DSM_HWID}"
      "cp -r ../mpio-installer-*-windows/examples/package package => cp -r ../mpio-installer-*-windows/package package"
      "./install -i package qvxdsm.inf 'Root\\QVXDSM' => ./install -i package ${MPIO_DSM_INF} '${MPIO_DSM_HWID}'"
      "(here\nthe one the release bundles, `examples/package`) => (here\nthe one the release bundles, `package`)"
      "mpio_package_dir: /srv/mpio/vendor-package => mpio_package_dir: /srv/mpio/mpio-installer-${PROJECT_VERSION}-windows/package"
      "mpio_dsm_inf: vendordsm.inf => mpio_dsm_inf: ${MPIO_DSM_INF}"
      "mpio_dsm_hwid: Root\\VENDORDSM => mpio_dsm_hwid: ${MPIO_DSM_HWID}"
      "$service = 'qvxdsm'; $hardwareId = 'Root\\QVXDSM'; $version = '2.4.1.0' => $service = '${dsm_service}'; $hardwareId = '${MPIO_DSM_HWID}'; $version = '${dsm_version}'")
    string(FIND "${pair}" " => " bar)
    string(SUBSTRING "${pair}" 0 ${bar} from)
    math(EXPR bar "${bar} + 4")
    string(SUBSTRING "${pair}" ${bar} -1 to)
    string(FIND "${MPIO_GUIDE_TEXT}" "${from}" at)
    if(at LESS 0)
      message(FATAL_ERROR "docs/usage.md no longer holds '${from}', which a vendor's copy of the guide replaces")
    endif()
    string(REPLACE "${from}" "${to}" MPIO_GUIDE_TEXT "${MPIO_GUIDE_TEXT}")
  endforeach()
endif()

set(MPIO_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(WRITE ${MPIO_GENERATED_DIR}/usage.md "${MPIO_GUIDE_TEXT}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/vendor.h.in ${MPIO_GENERATED_DIR}/vendor.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/install/frontend/install.manifest.in
               ${MPIO_GENERATED_DIR}/install.manifest @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/docs/release/README-windows.md.in ${MPIO_GENERATED_DIR}/README-windows.md @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/docs/release/README-linux.md.in ${MPIO_GENERATED_DIR}/README-linux.md @ONLY)
