# The version and vendor settings as the configure step judges them: a bad
# one fails with a message naming it; a vendor's package configures, and the
# release READMEs and guide generated for it name its DSM INF, hardware ID,
# folder and description.  Configure only, in WORK_DIR.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... [-DPREFIX_PATH=a|b] -P configure_checks.cmake
string(REPLACE "|" ";" PREFIX_PATH "${PREFIX_PATH}")
set(failures 0)
function(configure dir expected)
  file(REMOVE_RECURSE "${dir}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${dir}" -G "${GENERATOR}"
                          "-DCMAKE_PREFIX_PATH=${PREFIX_PATH}" ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  string(REGEX REPLACE "[ \n]+" " " text "${output}${errors}")   # CMake wraps its messages
  string(FIND "${text}" "${expected}" at)
  if((expected STREQUAL "" AND NOT status EQUAL 0) OR (NOT expected STREQUAL "" AND (status EQUAL 0 OR at LESS 0)))
    message("FAIL ${ARGN}: status ${status}, no '${expected}' in: ${text}")
    math(EXPR count "${failures} + 1")
    set(failures ${count} PARENT_SCOPE)
  endif()
endfunction()

foreach(entry
    "-DMPIO_VERSION=2.0|MPIO_VERSION is '2.0': expected major.minor.patch, three numbers from 0 to 65535"
    "-DMPIO_VERSION=1.65536.0|MPIO_VERSION is '1.65536.0': 65536 is more than 65535"
    "-DMPIO_VERSION=1.02.0|MPIO_VERSION is '1.02.0': expected major.minor.patch"
    "-DMPIO_PACKAGE_DIR=${WORK_DIR}/none|MPIO_PACKAGE_DIR '${WORK_DIR}/none' is not a directory"
    "-DMPIO_DSM_INF=other.inf|holds no other.inf"
    "-DMPIO_DSM_HWID=Root\\OTHER|MPIO_DSM_HWID 'Root\\OTHER' is not in")
  string(REGEX MATCH "^([^|]*)\\|(.*)$" matched "${entry}")
  configure("${WORK_DIR}/bad" "${CMAKE_MATCH_2}" "${CMAKE_MATCH_1}")
endforeach()

# A vendor's package: the example's DSM INF renamed, in upper case as packages
# made on Windows often are, with another hardware ID.
set(package "${WORK_DIR}/tessella-package")
file(REMOVE_RECURSE "${package}")
file(COPY "${SOURCE_DIR}/examples/package/" DESTINATION "${package}")
file(READ "${package}/qvxdsm.inf" inf)
string(REPLACE "Root\\QVXDSM" "Root\\TSODSM" inf "${inf}")
file(WRITE "${package}/TSODSM.INF" "${inf}")
file(REMOVE "${package}/qvxdsm.inf")
configure("${WORK_DIR}/vendor" "" -DMPIO_PACKAGE_DIR=${package} -DMPIO_DSM_INF=tsodsm.inf "-DMPIO_DSM_HWID=Root\\TSODSM"
          "-DMPIO_DSM_DESCRIPTION=Tessella Orbit Device Specific Module")
file(READ "${WORK_DIR}/vendor/generated/README-windows.md" readme)
file(READ "${WORK_DIR}/vendor/generated/README-linux.md" linux_readme)
string(FIND "${readme}" "qvxdsm" example_named)
string(FIND "${linux_readme}" "\"Tessella Orbit Device Specific Module\"" description_named)
set(missing "")
foreach(line "x64\\install.exe -i C:\\MPIO\\package tsodsm.inf Root\\TSODSM\n"
             "| `package/` | the package: `mpio.inf`, `mpdev.inf`, the DSM INF `tsodsm.inf`"
             "-windows/package tsodsm.inf 'Root\\TSODSM'\n")
  string(FIND "${readme}" "${line}" at)
  if(at LESS 0)
    string(APPEND missing " [${line}]")
  endif()
endforeach()
if(missing OR example_named GREATER -1 OR description_named LESS 0)
  message("FAIL the vendor's READMEs: lacking${missing}, or naming the example, or not its description:\n${readme}")
  math(EXPR failures "${failures} + 1")
endif()

# The vendor's copy of the guide: its commands name the vendor's package, and
# it says nothing of the example package that its release does not bundle.
file(READ "${WORK_DIR}/vendor/generated/usage.md" guide)
set(missing "")
foreach(line "C:\\MPIO\\install.exe -i C:\\MPIO\\package tsodsm.inf Root\\TSODSM\n"
             "-windows/package tsodsm.inf 'Root\\TSODSM'\n"
             "cp -r ../mpio-installer-*-windows/package package\ncp server.json twin.json\n"
             "./install -i package tsodsm.inf 'Root\\TSODSM' >twin.txt"
             "mpio_dsm_inf: tsodsm.inf\nmpio_dsm_hwid: Root\\TSODSM\n"
             "$service = 'qvxdsm'; $hardwareId = 'Root\\TSODSM'; $version = '2.4.1.0'\n")
  string(FIND "${guide}" "${line}" at)
  if(at LESS 0)
    string(APPEND missing " [${line}]")
  endif()
endforeach()
foreach(example "qvxdsm.inf" "QVXDSM" "examples/package" "The example package is for test machines")
  string(FIND "${guide}" "${example}" at)
  if(at GREATER -1)
    string(APPEND missing " [no ${example}]")
  endif()
endforeach()
if(missing)
  message("FAIL the vendor's guide: lacking${missing}")
  math(EXPR failures "${failures} + 1")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
message("configure checks: ${failures} failed")
if(failures)
  message(FATAL_ERROR "${failures} configure check(s) failed")
endif()
