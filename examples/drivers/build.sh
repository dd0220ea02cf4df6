#!/usr/bin/env bash
# Rebuilds the example package's placeholder driver images and catalogs in
# examples/package: each .sys from placeholder.c with MinGW-w64 as an AMD64
# native image, each .cat by placeholder_catalog.py.  The output is the same
# bytes on every run (no time stamp, no build ID), so the checked-in files
# change only when the sources or the toolchain do.
#
# AMD64: the example INFs give one file name to all three platforms they
# serve (Windows 2000, 32-bit and x64 Windows), so one machine type must do;
# x64 is the platform the release's install.exe is for.  A vendor's package
# with per-architecture drivers names them in [SourceDisksNames.x86] and
# [SourceDisksNames.amd64] directories of their own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
package="$here/../package"
cc=${CC:-x86_64-w64-mingw32-gcc}

for name in mpio mpfilt mpdev qvxdsm; do
  "$cc" -Os -nostdlib -ffreestanding -fno-asynchronous-unwind-tables -s \
    -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--dynamicbase -Wl,--no-insert-timestamp \
    -Wl,--build-id=none -o "$package/$name.sys" "$here/placeholder.c"
  chmod 644 "$package/$name.sys"
done
for name in mpio mpdev qvxdsm; do
  python3 "$here/placeholder_catalog.py" "$package/$name.cat"
done
