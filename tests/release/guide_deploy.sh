#!/usr/bin/env bash
# The "sh release" blocks of the guide a release ships (the ZIP's own
# docs/usage.md), run in a directory that holds only the release: both
# archives and SHA256SUMS.  Packages must be installed already
# (scripts/bootstrap.sh installs what the guide names); as root the guide
# must not call sudo (a Debian without it has none).  Ansible reaches no
# Windows host: the playbook runs go to the example inventory's hosts with
# recorders in place of the Windows modules (tests/ansible/collections), and
# with the package the release bundles.  The vault password comes from a
# file, and the editor that ansible-vault opens writes a password into the
# vault, which the inventory's hosts must then have.
#   guide_deploy.sh BUILD_DIR [PACKAGE_FOLDER DSM_INF DSM_HWID]
# BUILD_DIR holds the release; the package defaults to the example's,
# examples/package qvxdsm.inf Root\QVXDSM.  Exits non-zero when a command
# fails or a host did not see the guide's installs and uninstall.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
folder=${2:-examples/package} dsm_inf=${3:-qvxdsm.inf} dsm_hwid=${4:-'Root\QVXDSM'}
export ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_INVENTORY_UNPARSED_FAILED=true
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

release=$scratch/release
mkdir -p "$release" && cp "$build"/mpio-installer-*-windows.zip "$build"/mpio-installer-*-linux-x86_64.tar.gz \
  "$build/SHA256SUMS" "$release/" || exit 1
zip=$(ls "$release"/mpio-installer-*-windows.zip)
python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); sys.stdout.buffer.write(z.read([n for n in z.namelist() if n.endswith("/docs/usage.md")][0]))' \
  "$zip" >"$scratch/usage.md" || exit 1
{
  cat <<'EOF'
set -euo pipefail
sudo() {
  [ "$(id -u)" -ne 0 ] || { echo "sudo called as root"; return 1; }
  "$@"
}
apt-get() {
  [ "$1" = install ] || { echo "apt-get $1 is not checked"; return 1; }
  shift
  local p
  for p in "$@"; do
    [[ $p == -* ]] && continue
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      { echo "$p is not installed; scripts/bootstrap.sh must install it"; return 1; }
  done
}
offline() {
  args=()
  local a
  for a in "$@"; do [[ $a == --ask-pass || $a == -k || $a == --ask-vault-pass || $a == -J ]] || args+=("$a"); done
}
# The inventory must name hosts.  The playbook runs go to those hosts, reached
# locally, whose Windows modules are recorders, with the release's package in
# place of the one rollout.yml would name.
ansible() {
  offline "$@"
  local hosts
  hosts=$(command ansible "${args[@]}" --list-hosts) && echo "$hosts" && ! grep -q 'hosts (0)' <<<"$hosts"
}
ansible-playbook() {
  offline "$@"
  local package
  package=$(cd "../../$MPIO_GUIDE_FOLDER" && pwd)
  command ansible-playbook "${args[@]}" -e ansible_connection=recorded.hosts.local -e "ansible_python_interpreter=$(command -v python3)" \
    -e "$(python3 -c 'import json, sys; print(json.dumps(dict(zip(("mpio_package_dir", "mpio_dsm_inf", "mpio_dsm_hwid"), sys.argv[1:]))))' \
          "$package" "$MPIO_GUIDE_INF" "$MPIO_GUIDE_HWID")" \
    -e mpio_allow_example_package=true
}
set -v
EOF
  python3 "$root/tests/docs/check_usage.py" shell "$scratch/usage.md" release
} >"$release/guide.sh" || exit 1
printf '%s\n' "vault password of the guide's test" >"$scratch/vault-password"
printf '#!/bin/sh\nprintf "ansible_password: %%s\\n" "password of the guide'"'"'s test" >"$1"\n' >"$scratch/editor"
chmod +x "$scratch/editor"
# Each example host: the host build's default machine, written by the release's
# winsim; the guide installs, uninstalls, then installs again, on that machine
# (the recorders run the release's capture and install on it).
linux=$(basename "$release"/mpio-installer-*-linux-x86_64.tar.gz .tar.gz) &&
  tar xzf "$release/$linux.tar.gz" -C "$scratch" || exit 1
"$scratch/$linux/winsim" default "$scratch/default.json" >/dev/null || exit 1
python3 -c 'import json, sys
machine = json.load(open(sys.argv[1]))
host = {"machine": machine, "runs": [{"switch": "-i"}, {"switch": "-u"}, {"switch": "-i"}]}
json.dump({"storage01.example.net": host, "storage02.example.net": host}, open(sys.argv[2], "w"))' \
  "$scratch/default.json" "$scratch/hosts.json" || exit 1
mkdir -p "$scratch/recorded"
export ANSIBLE_VAULT_PASSWORD_FILE="$scratch/vault-password" EDITOR="$scratch/editor"
(cd "$release" && ANSIBLE_COLLECTIONS_PATH="$root/tests/ansible/collections" \
  MPIO_RECORDER_SCRIPT="$scratch/hosts.json" MPIO_RECORDER_DIR="$scratch/recorded" MPIO_HOST_BUILD="$scratch/$linux" \
  MPIO_GUIDE_FOLDER="$folder" MPIO_GUIDE_INF="$dsm_inf" MPIO_GUIDE_HWID="$dsm_hwid" bash guide.sh) || exit 1
# Per host: --check (the capture), install, the canary run and the run --limit
# gives it (a capture each), uninstall with its reboot, install.
status=0
for host in storage01.example.net storage02.example.net; do
  # The capture's own folder, copy and removal are part of "capture".
  calls=$(python3 -c 'import json, sys
temp = lambda c: (c.get("dest") or c.get("path") or "").lower().startswith("c:\\windows\\temp\\")
words = ["capture" if c["module"] == "win_command" and len(c["argv"]) == 2 else
         c["argv"][1] if c["module"] == "win_command" else
         {"win_file": "folder", "win_copy": "copy", "win_reboot": "reboot"}[c["module"]]
         for c in map(json.loads, open(sys.argv[1])) if c["module"] != "win_tempfile" and not temp(c)]
print(" ".join(words))' "$scratch/recorded/$host.calls.jsonl")
  echo "$host: $calls"
  [ "$calls" = "capture capture folder copy copy -i capture capture capture folder copy copy -u reboot capture folder copy copy -i" ] || status=1
  # The guide says where each host's log, capture and twin land.
  ls "$release"/mpio-installer-*-windows/deploy/ansible/logs/"$host"/{MPIOInstall.LOG,capture.json,twin/MPIOInstall.LOG} || status=1
done
# The vault the guide made is encrypted and is where the hosts' password is read from.
cd "$release"/mpio-installer-*-windows/deploy/ansible || exit 1
head -c 14 group_vars/windows/vault.yml | grep -qx '$ANSIBLE_VAULT' || { echo "the vault is not encrypted"; status=1; }
for host in storage01.example.net storage02.example.net; do
  ansible -i inventory.yml "$host" -c local -m ansible.builtin.debug -a var=ansible_password |
    grep -q "\"ansible_password\": \"password of the guide's test\"" || { echo "$host has not the vault's password"; status=1; }
done
exit $status
