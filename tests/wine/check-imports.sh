#!/usr/bin/env bash
# Checks the two Windows builds of install.exe as users get them: a PE
# executable of the right machine type, importing the setup library, the
# new-device library and the configuration manager (CM_Get_DevNode_Status
# from cfgmgr32.dll itself) and nothing but Windows' own DLLs; with the
# manifest (administrator, Vista to Windows 10) and the version resource.
#
#   tests/wine/check-imports.sh [X64_EXE] [X86_EXE]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
x64=${1:-$root/build/windows-x64/install.exe}
x86=${2:-$root/build/windows-x86/install.exe}

# DLLs every supported Windows (2000 on) has; nothing else may be imported.
allowed="ADVAPI32.DLL CFGMGR32.DLL KERNEL32.DLL MSVCRT.DLL NEWDEV.DLL SETUPAPI.DLL USER32.DLL"
required="SETUPAPI.DLL NEWDEV.DLL CFGMGR32.DLL"
failures=0

fail() {
  echo "FAIL $1: $2"
  failures=$((failures + 1))
}

check() {
  local exe=$1 objdump=$2 windres=$3 format=$4
  if [ ! -f "$exe" ]; then
    fail "$exe" "missing"
    return
  fi
  # The version the exe was built with: its build directory's setting.
  local version
  version=$(sed -n 's/^MPIO_VERSION:STRING=//p' "$(dirname "$exe")/CMakeCache.txt" 2>/dev/null)
  [ -n "$version" ] || fail "$exe" "no MPIO_VERSION in its build directory's CMakeCache.txt"
  local dump
  dump=$("$objdump" -p "$exe" 2>&1) || { fail "$exe" "objdump cannot read it"; return; }
  grep -q "file format $format" <<<"$dump" || fail "$exe" "not a $format executable"
  grep -q "Subsystem.*Windows CUI" <<<"$dump" || fail "$exe" "not a console program"

  # "DLL name: function" for every import.
  local imports
  imports=$(awk -F'\t' '/DLL Name:/ { dll = $0; sub(/.*DLL Name: /, "", dll); next }
                       dll != "" && NF >= 3 && $3 ~ /[A-Za-z_]/ { split($3, f, " "); print toupper(dll) ": " f[2] }' \
            <<<"$dump")
  local dlls
  dlls=$(cut -d: -f1 <<<"$imports" | sort -u)
  for dll in $dlls; do
    [[ " $allowed " == *" $dll "* ]] || fail "$exe" "imports $dll, which is not a Windows system DLL"
  done
  for dll in $required; do
    grep -qx "$dll" <<<"$dlls" || fail "$exe" "does not import $dll"
  done
  grep -qx "CFGMGR32.DLL: CM_Get_DevNode_Status" <<<"$imports" ||
    fail "$exe" "CM_Get_DevNode_Status is not imported from cfgmgr32.dll"
  grep -q "^SETUPAPI.DLL: CM_" <<<"$imports" && fail "$exe" "imports CM_* functions from setupapi.dll"

  # Resources: the manifest and the version block.
  local resources
  resources=$("$windres" -i "$exe" -O rc 2>&1) || { fail "$exe" "resources unreadable"; return; }
  grep -q 'requestedExecutionLevel level=""requireAdministrator""' <<<"$resources" ||
    fail "$exe" "manifest does not require administrator"
  local id
  for id in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
            4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
            8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "supportedOS Id=\"\"{$id}\"\"" <<<"$resources" || fail "$exe" "manifest lacks supportedOS {$id}"
  done
  grep -q "assemblyIdentity[^>]*version=\"\"$version.0\"\"" <<<"$resources" ||
    fail "$exe" "manifest assembly version is not $version.0"
  grep -q 'VALUE "ProductName", "MPIO Package Installer"' <<<"$resources" || fail "$exe" "no product name"
  grep -q "VALUE \"FileVersion\", \"$version.0\"" <<<"$resources" || fail "$exe" "file version is not $version.0"
  grep -q "FILEVERSION ${version//./, }, 0" <<<"$resources" || fail "$exe" "binary file version is not $version"
  echo "checked $exe: $(tr '\n' ' ' <<<"$dlls")"
}

check "$x64" x86_64-w64-mingw32-objdump x86_64-w64-mingw32-windres pei-x86-64
check "$x86" i686-w64-mingw32-objdump i686-w64-mingw32-windres pei-i386
if [ "$failures" -ne 0 ]; then
  echo "$failures import check(s) failed"
  exit 1
fi
echo "import checks passed"
