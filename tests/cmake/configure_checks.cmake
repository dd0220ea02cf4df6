# The version and vendor settings as the configure step judges them: each bad
# setting fails the configure with a message naming it; a vendor's package
# configures, and the release READMEs generated for it name the vendor's DSM
# INF, hardware ID, package folder and DSM description.  Configure only, in WORK_DIR.
#
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... [-DPREFIX_PATH=a|b] -P configure_checks.cmake
cmake_minimum_required(VERSION 3.20)
string(REPLACE "|" ";" PREFIX_PATH "${PREFIX_PATH}")

set(failures 0)
function(fail text)
  message("FAIL ${case}: ${text}")
  math(EXPR count "${failures} + 1")
  set(failures ${count} PARENT_SCOPE)
endfunction()

function(configure dir out_status out_text)
  file(REMOVE_RECURSE "${dir}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${dir}" -G "${GENERATOR}"
                          "-DCMAKE_PREFIX_PATH=${PREFIX_PATH}" ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  # The message as a person reads it: CMake wraps its lines.
  string(REGEX REPLACE "[ \n]+" " " text "${output}${errors}")
  set(${out_status} "${status}" PARENT_SCOPE)
  set(${out_text} "${text}" PARENT_SCOPE)
endfunction()

# A vendor's package: the example with its DSM INF renamed (in upper case, as
# packages made on Windows often are) and its hardware ID changed.
set(vendor_package "${WORK_DIR}/tessella-package")
file(REMOVE_RECURSE "${vendor_package}")
file(COPY "${SOURCE_DIR}/examples/package/" DESTINATION "${vendor_package}")
file(READ "${vendor_package}/qvxdsm.inf" inf)
string(REPLACE "Root\\QVXDSM" "Root\\TSODSM" inf "${inf}")
file(WRITE "${vendor_package}/TSODSM.INF" "${inf}")
file(REMOVE "${vendor_package}/qvxdsm.inf")
set(vendor -DMPIO_PACKAGE_DIR=${vendor_package} -DMPIO_DSM_INF=tsodsm.inf "-DMPIO_DSM_HWID=Root\\TSODSM"
           "-DMPIO_DSM_DESCRIPTION=Tessella Orbit Device Specific Module")

# name | settings (separated by '|' within a case) | what the message says
set(bad_cases
  "version of two numbers|-DMPIO_VERSION=2.0|MPIO_VERSION is '2.0': expected major.minor.patch, three numbers from 0 to 65535"
  "version of four numbers|-DMPIO_VERSION=1.0.0.0|MPIO_VERSION is '1.0.0.0': expected major.minor.patch"
  "version part over 16 bits|-DMPIO_VERSION=1.65536.0|MPIO_VERSION is '1.65536.0': 65536 is more than 65535"
  "version with a leading zero|-DMPIO_VERSION=1.02.0|MPIO_VERSION is '1.02.0': expected major.minor.patch"
  "no package directory|-DMPIO_PACKAGE_DIR=${WORK_DIR}/none|MPIO_PACKAGE_DIR '${WORK_DIR}/none' is not a directory"
  "DSM INF not in the package|-DMPIO_DSM_INF=other.inf|holds no other.inf"
  "DSM INF with a directory|-DMPIO_DSM_INF=sub/qvxdsm.inf|MPIO_DSM_INF is 'sub/qvxdsm.inf': expected the DSM INF's file name"
  "hardware ID not in the DSM INF|-DMPIO_DSM_HWID=Root\\OTHER|MPIO_DSM_HWID 'Root\\OTHER' is not in"
  "hardware ID with a blank|-DMPIO_DSM_HWID=Root\\QVX DSM|MPIO_DSM_HWID is 'Root\\QVX DSM': expected the DSM's hardware ID"
)
foreach(entry IN LISTS bad_cases)
  string(REGEX MATCH "^([^|]*)\\|([^|]*)\\|(.*)$" matched "${entry}")
  set(case "${CMAKE_MATCH_1}")
  set(setting "${CMAKE_MATCH_2}")
  set(expected "${CMAKE_MATCH_3}")
  configure("${WORK_DIR}/bad" status text "${setting}")
  if(status EQUAL 0)
    fail("the configure succeeded")
  else()
    string(FIND "${text}" "${expected}" at)
    if(at LESS 0)
      fail("no '${expected}' in: ${text}")
    else()
      message("PASS ${case}")
    endif()
  endif()
endforeach()

# The vendor's package configures; the README names its INF, ID and folder.
set(case "vendor package in the release README")
configure("${WORK_DIR}/vendor" status text ${vendor})
if(NOT status EQUAL 0)
  fail("the configure failed: ${text}")
else()
  file(READ "${WORK_DIR}/vendor/generated/README-windows.md" readme)
  set(missing "")
  foreach(line "x64\\install.exe -i C:\\MPIO\\package tsodsm.inf Root\\TSODSM\n"
               "x64\\install.exe -u C:\\MPIO\\package tsodsm.inf Root\\TSODSM\n"
               "| `package/` | the package: `mpio.inf`, `mpdev.inf`, the DSM INF `tsodsm.inf`"
               "-windows/package tsodsm.inf 'Root\\TSODSM'\n")
    string(FIND "${readme}" "${line}" at)
    if(at LESS 0)
      string(APPEND missing " [${line}]")
    endif()
  endforeach()
  file(READ "${WORK_DIR}/vendor/generated/README-linux.md" linux_readme)
  string(FIND "${linux_readme}" "\"Tessella Orbit Device Specific Module\"" at)
  if(at LESS 0)
    string(APPEND missing " [the description in README-linux.md]")
  endif()
  string(FIND "${readme}" "qvxdsm" example_named)
  if(missing OR NOT example_named LESS 0)
    fail("the README lacks${missing} or names the example:\n${readme}")
  else()
    message("PASS ${case}")
  endif()
endif()

file(REMOVE_RECURSE "${WORK_DIR}/bad" "${WORK_DIR}/vendor" "${vendor_package}")
list(LENGTH bad_cases count)
math(EXPR passed "${count} + 1 - ${failures}")
message("${passed} passed, ${failures} failed")
if(failures)
  message(FATAL_ERROR "${failures} configure check(s) failed")
endif()
