#!/usr/bin/env bash
# Checks the two Windows builds of install.exe, and capture.exe beside each,
# as users get them: a PE executable of the right machine type, importing
# nothing but Windows' own DLLs, with the manifest (administrator, Vista to
# Windows 10) and the version resource.
# - install.exe imports the setup library, the new-device library and the
#   configuration manager (CM_Get_DevNode_Status from cfgmgr32.dll itself);
#   user32.dll delay-loaded only (MessageBoxW and ExitWindowsEx), never
#   loaded at start.
# - capture.exe imports the setup library, the configuration manager and
#   advapi32, neither the new-device library nor user32; the setup
#   library's SetupQueryInfOriginalFileInformationW, which Windows 2000
#   lacks, only delay-loaded, so that it starts there.
#
#   tests/wine/check-imports.sh [X64_EXE] [X86_EXE]     (install.exe; capture.exe beside it)
#
# "-" in place of a build skips it (the Wine suite's entry point checks the
# build of the architecture it runs).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
x64=${1:-$root/build/windows-x64/install.exe}
x86=${2:-$root/build/windows-x86/install.exe}

# DLLs every supported Windows (2000 on) has; nothing else may be imported.
allowed="ADVAPI32.DLL CFGMGR32.DLL KERNEL32.DLL MSVCRT.DLL NEWDEV.DLL SETUPAPI.DLL USER32.DLL"

# What each program must import, must not import at start, and must import
# delay-loaded ("DLL: function" lines).
program_rules() {
  case $(basename "$1") in
    capture.exe)
      required="SETUPAPI.DLL CFGMGR32.DLL ADVAPI32.DLL"
      forbidden="NEWDEV.DLL USER32.DLL"
      delay_required="SETUPAPI.DLL: SetupQueryInfOriginalFileInformationW"
      ;;
    *)
      required="SETUPAPI.DLL NEWDEV.DLL CFGMGR32.DLL"
      forbidden="USER32.DLL"
      # Loaded only by the runs that call them (the message boxes and the reboot of "-r").
      delay_required="USER32.DLL: ExitWindowsEx
USER32.DLL: MessageBoxW"
      ;;
  esac
}
# The version the build was configured with (MPIO_VERSION in its cache), else
# the default in CMakeLists.txt.
default_version=$(sed -n 's/^set(MPIO_VERSION "\([0-9.]*\)".*/\1/p' "$root/CMakeLists.txt")
configured_version() {
  local cached
  cached=$(sed -n 's/^MPIO_VERSION:STRING=//p' "$(dirname "$1")/CMakeCache.txt" 2>/dev/null)
  echo "${cached:-$default_version}"
}
failures=0

# "DLL name: function" for every delay-loaded import.  GNU ld leaves the
# header's delay-import directory empty (dlltool's descriptors carry no
# closing null record) and objdump does not list delay imports, so the
# descriptors are found by their shape: RVA-based (attribute 1), naming a
# "*.dll" and a name table of hint/name records.
delay_imports() {
  python3 - "$1" <<'PYTHON'
import re, struct, sys

image = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", image, 0x3C)[0]
sections, header_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
thunk_size = 8 if struct.unpack_from("<H", image, pe + 24)[0] == 0x20B else 4
image_base = (struct.unpack_from("<Q", image, pe + 48)[0] if thunk_size == 8
              else struct.unpack_from("<I", image, pe + 52)[0])
ordinal_flag = 1 << (thunk_size * 8 - 1)
mapped = []   # (rva, size, file offset)
for i in range(sections):
    entry = pe + 24 + header_size + 40 * i
    virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", image, entry + 8)
    mapped.append((rva, min(virtual_size or raw_size, raw_size), raw_offset))

def offset(rva):
    for start, size, raw in mapped:
        if start <= rva < start + size:
            return raw + rva - start
    return None

def text(rva):
    at = offset(rva)
    if at is None:
        return None
    end = image.find(b"\0", at, at + 256)
    name = image[at:end] if end > at else b""
    return name.decode("ascii") if re.fullmatch(rb"[\x21-\x7E]+", name) else None

def functions(name_table):
    names, at = [], offset(name_table)
    while at is not None and at + thunk_size <= len(image):
        thunk = int.from_bytes(image[at:at + thunk_size], "little")
        if thunk == 0:
            return names
        name = None if thunk & ordinal_flag else text(thunk + 2)
        if name is None:
            return None
        names.append(name)
        at += thunk_size
    return None

for start, size, raw in mapped:
    for at in range(raw, raw + size - 31, 4):
        attributes, dll_rva, module_rva, iat_rva, int_rva = struct.unpack_from("<5I", image, at)
        if attributes != 1 or 0 in (dll_rva, module_rva, iat_rva, int_rva):
            continue
        dll = text(dll_rva)
        if dll is None or not dll.lower().endswith(".dll"):
            continue
        for index, function in enumerate(functions(int_rva) or []):
            # Until the first call, each address slot holds the address of the
            # function's loader stub; a slot the linker left at zero (its stub
            # dropped) makes that first call jump to address 0.
            slot = offset(iat_rva + index * thunk_size)
            target = int.from_bytes(image[slot:slot + thunk_size], "little") if slot is not None else 0
            bound = target > image_base and offset(target - image_base) is not None
            print(dll.upper() + ": " + function + ("" if bound else " (no loader stub)"))
PYTHON
}

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
  program_rules "$exe"
  for dll in $required; do
    grep -qx "$dll" <<<"$dlls" || fail "$exe" "does not import $dll"
  done
  for dll in $forbidden; do
    grep -qx "$dll" <<<"$dlls" && fail "$exe" "imports $dll at start"
  done

  local delayed delayed_dlls entry
  delayed=$(delay_imports "$exe") || { fail "$exe" "delay imports unreadable"; return; }
  delayed_dlls=$(cut -d: -f1 <<<"$delayed" | sort -u)
  for dll in $delayed_dlls; do
    [[ " $allowed " == *" $dll "* ]] || fail "$exe" "delay-loads $dll, which is not a Windows system DLL"
  done
  while IFS= read -r entry; do
    grep -qx "$entry" <<<"$delayed" || fail "$exe" "does not delay-load ${entry#*: } from ${entry%%:*}"
    grep -qx "$entry" <<<"$imports" && fail "$exe" "imports ${entry#*: } at start; it must be delay-loaded"
  done <<<"$delay_required"
  grep -q "(no loader stub)$" <<<"$delayed" &&
    fail "$exe" "delay-loaded $(grep "(no loader stub)$" <<<"$delayed" | tr '\n' ' ')- its first call would jump to address 0"
  grep -qx "CFGMGR32.DLL: CM_Get_DevNode_Status" <<<"$imports" ||
    fail "$exe" "CM_Get_DevNode_Status is not imported from cfgmgr32.dll"
  grep -q "^SETUPAPI.DLL: CM_" <<<"$imports" && fail "$exe" "imports CM_* functions from setupapi.dll"

  # Resources: the manifest and the version block.
  local version
  version=$(configured_version "$exe")
  [ -n "$version" ] || { fail "$exe" "no version to compare with"; return; }
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
  echo "checked $exe: $(tr '\n' ' ' <<<"$dlls")(delay-loaded: $(tr '\n' ' ' <<<"$delayed_dlls"| sed 's/ $//'))"
}

[ "$x64" = - ] || for exe in "$x64" "$(dirname "$x64")/capture.exe"; do
  check "$exe" x86_64-w64-mingw32-objdump x86_64-w64-mingw32-windres pei-x86-64
done
[ "$x86" = - ] || for exe in "$x86" "$(dirname "$x86")/capture.exe"; do
  check "$exe" i686-w64-mingw32-objdump i686-w64-mingw32-windres pei-i386
done
if [ "$failures" -ne 0 ]; then
  echo "$failures import check(s) failed"
  exit 1
fi
echo "import checks passed"
