#!/usr/bin/env bash
# The Linux release on a fresh Debian 12 with no package added: a minimal
# debootstrap chroot (from the mirror this machine's apt uses), the tarball
# unpacked in an empty directory there with a copy of examples/package, and
# its pkgcheck's table compared with the build tree's pkgcheck's on the same
# package, and its winsim showing a machine its pkgcheck --keep kept and what
# the kept -i changed.  debootstrap, chroot and mounting /proc (which pkgcheck reads to
# find the installer beside it) need root: through sudo when not run as root.
#   fresh_debian.sh TARBALL BUILD_TREE_PKGCHECK
set -euo pipefail
tarball=$(realpath "$1")
reference=$(realpath "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
command -v debootstrap >/dev/null || $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap

scratch=$(mktemp -d)
chroot_dir=$scratch/debian12
cleanup() {
  mountpoint -q "$chroot_dir/proc" && $sudo umount "$chroot_dir/proc"
  $sudo rm -rf "$scratch"
}
trap cleanup EXIT

mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
started=$(date +%s)
$sudo debootstrap --variant=minbase bookworm "$chroot_dir" "$mirror" >"$scratch/debootstrap.log" 2>&1 ||
  { tail -20 "$scratch/debootstrap.log"; exit 1; }
echo "debootstrap: $(($(date +%s) - started)) s, $($sudo du -sm "$chroot_dir" | cut -f1) MB"

$sudo mkdir -p "$chroot_dir/check/examples"
$sudo cp "$tarball" "$chroot_dir/check/"
$sudo cp -r "$root/examples/package" "$chroot_dir/check/examples/"
$sudo mount -t proc proc "$chroot_dir/proc"
name=$(basename "$tarball" .tar.gz)
# The fresh system's own tar and a login shell's PATH; nothing else.
$sudo chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -c \
  "cd /check && tar xzf $name.tar.gz && ./$name/pkgcheck examples/package qvxdsm.inf 'Root\\QVXDSM'" \
  >"$scratch/fresh.txt" || { cat "$scratch/fresh.txt"; echo "pkgcheck failed on the fresh system"; exit 1; }
(cd "$root" && "$reference" examples/package qvxdsm.inf 'Root\QVXDSM') >"$scratch/tree.txt"

# The one line that differs by where the programs lie: the installer's path.
installer_line='s/^installer  .*/installer  (beside pkgcheck)/'
if ! diff <(sed "$installer_line" "$scratch/tree.txt") <(sed "$installer_line" "$scratch/fresh.txt"); then
  echo "the tarball's pkgcheck on Debian 12 differs from the build tree's (above)"
  exit 1
fi
$sudo chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -c \
  "cd /check && ./$name/pkgcheck examples/package qvxdsm.inf 'Root\\QVXDSM' --generations 10.0 --keep kept >/dev/null &&
   ./$name/winsim show kept/10.0/runs/02-i.after.json" >"$scratch/shown.txt" ||
  { cat "$scratch/shown.txt"; echo "winsim show failed on the fresh system"; exit 1; }
grep -q 'hardware IDs "Root\\QVXDSM"' "$scratch/shown.txt" ||
  { cat "$scratch/shown.txt"; echo "winsim show does not show the DSM device after -i"; exit 1; }
# What that -i changed: winsim diff exits 1 (the machines differ) and ends with its summary.
status=0
$sudo chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -c \
  "cd /check && ./$name/winsim diff kept/10.0/runs/02-i.before.json kept/10.0/runs/02-i.after.json" \
  >"$scratch/diff.txt" || status=$?
[ "$status" -eq 1 ] && tail -n 1 "$scratch/diff.txt" | grep -q '^summary: 2 adapters restarted, ' ||
  { cat "$scratch/diff.txt"; echo "winsim diff exited $status on the fresh system, without its summary"; exit 1; }
echo "the tarball's pkgcheck on a fresh Debian 12 gives the build tree's table ($(wc -l <"$scratch/fresh.txt") lines)"
echo "and its winsim shows the machine its pkgcheck kept after -i and what that -i changed"
