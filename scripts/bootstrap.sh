#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Usage: scripts/bootstrap.sh [host|all]   (host: the Linux build and its tests;
#                                           all: also the Windows cross builds, Wine,
#                                           and Ansible for the deployment role)
set -euo pipefail
scope=${1:-all}
packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev python3)
# The JUnit XML parser that reads pkgcheck's --junit file back (tests/pkgcheck_junit.py).
packages+=(python3-junitparser)
# GNU time: the benchmarks' peak memory of a whole process (bench/proctime.py).
packages+=(time)
# clang and its runtime libraries: libFuzzer for the fuzz targets.
packages+=(clang-14 libclang-rt-14-dev)
if [ "$scope" = all ]; then
  packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64)
  # Debian's ansible brings the ansible.windows collection; unzip unpacks the release.
  packages+=(ansible ansible-lint unzip)
  # The 32-bit Wine loader, for the x86 build's runs in a 32-bit prefix. Optional:
  # its i386 libraries must match the amd64 ones' versions, so a mirror whose i386
  # security index cannot be fetched leaves it uninstallable; the x86 Wine suite is
  # then skipped and says why.
  optional=(wine32:i386)
fi
optional=(${optional[@]+"${optional[@]}"})
missing=() missing_optional=()
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
for p in ${optional[@]+"${optional[@]}"}; do installed "$p" || missing_optional+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing: ${missing[*]} ${missing_optional[*]}"
# An i386 package needs that architecture known to dpkg before the update.
if [[ " ${missing_optional[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror caught mid-sync answers with index files of the wrong size; apt-get
# update then exits 100. Such a failure passes within minutes, so the update is
# tried again, and a last failure is left for the install to judge: the indexes
# it did fetch may well hold every package needed.
apt_update() {
  local attempt
  for attempt in 1 2 3; do
    $sudo apt-get -o Acquire::Retries=3 update -qq && return 0
    [ "$attempt" -eq 3 ] && break
    echo "apt-get update failed (attempt $attempt of 3); trying again in $((attempt * 15)) s"
    sleep $((attempt * 15))
  done
  echo "apt-get update kept failing; installing from the indexes it has"
}
apt_update
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
if [ ${#missing_optional[@]} -gt 0 ] &&
   ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing_optional[@]}"; then
  echo "bootstrap: could not install ${missing_optional[*]}; the suites that need it are skipped"
fi
