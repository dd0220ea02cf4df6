#!/usr/bin/env bash
# CI for the administrator's kit, after the Windows builds: the Ansible role
# (syntax check, lint, its exit-code decisions on recorded results, the
# recorders that stand in for its Windows modules, its playbook run on hosts
# whose Windows modules are those recorders), the
# release made by the guide's own build commands, its listings and checksums,
# the Linux tarball's pkgcheck on a fresh Debian 12 chroot, and the guide's
# deployment commands run beside the release, the playbook on recorded hosts.
# Ends with "admin kit: N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_INVENTORY_UNPARSED_FAILED=true
passed=0
failed=0
started=$(date +%s)

step() {
  local name=$1
  shift
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
    echo "PASS $name ($(($(date +%s) - started)) s)"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
  fi
}

in_role_dir() { (cd deploy/ansible && "$@"); }

exit_decisions() {
  ANSIBLE_FILTER_PLUGINS=deploy/ansible/roles/mpio/filter_plugins \
    ansible-playbook -i localhost, tests/ansible/exit_decisions.yml
}

# The guide's "sh source" blocks, at the top of the clone.
guide_build() {
  python3 tests/docs/check_usage.py shell docs/usage.md source >"$scratch/build.sh" &&
    bash -ev "$scratch/build.sh"
}

# The guide's "sh release" blocks, in a directory that holds only the release
# (both archives and SHA256SUMS).  Packages must be installed already
# (scripts/bootstrap.sh installs what the guide names); Ansible reaches no
# Windows host: the playbook runs go to the example inventory's hosts with
# recorders in place of the Windows modules.
guide_deploy() {
  local release=$scratch/release
  mkdir -p "$release" && cp build/windows-x64/mpio-installer-*-windows.zip \
    build/windows-x64/mpio-installer-*-linux-x86_64.tar.gz build/windows-x64/SHA256SUMS "$release/" || return 1
  {
    cat <<'EOF'
set -euo pipefail
sudo() { "$@"; }
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
  for a in "$@"; do [[ $a == --ask-pass || $a == -k ]] || args+=("$a"); done
}
# The inventory must name hosts.  The playbook runs go to those hosts, reached
# locally, whose Windows modules are recorders (tests/ansible/collections), with
# the release's example package in place of the one rollout.yml would name.
ansible() {
  offline "$@"
  local hosts
  hosts=$(command ansible "${args[@]}" --list-hosts) && echo "$hosts" && ! grep -q 'hosts (0)' <<<"$hosts"
}
ansible-playbook() {
  offline "$@"
  local example
  example=$(cd ../../examples/package && pwd)
  command ansible-playbook "${args[@]}" -e ansible_connection=recorded.hosts.local -e "ansible_python_interpreter=$(command -v python3)" \
    -e "{\"mpio_package_dir\": \"$example\", \"mpio_dsm_inf\": \"qvxdsm.inf\", \"mpio_dsm_hwid\": \"Root\\\\QVXDSM\"}" \
    -e mpio_allow_example_package=true
}
set -v
EOF
    python3 "$root/tests/docs/check_usage.py" shell "$root/docs/usage.md" release
  } >"$release/guide.sh" || return 1
  # Each example host: fresh; the guide installs, uninstalls, then installs again.
  cat >"$scratch/hosts.json" <<'EOF'
{"storage01.example.net": {"state": {"generation": 10, "service": "absent", "driver_version": null,
   "supported_devices": [], "multipath_feature": "Disabled"},
 "runs": [{"switch": "-i", "rc": 0, "state": {"service": "present", "driver_version": "2.4.1.0",
            "supported_devices": ["QUORVEX LUMENSTRIDE     "], "multipath_feature": "Enabled"}},
          {"switch": "-u", "rc": 1, "state": {"service": "marked for deletion", "driver_version": null,
            "supported_devices": [], "multipath_feature": "Disable Pending"},
           "at_reboot": {"service": "absent", "multipath_feature": "Disabled"}},
          {"switch": "-i", "rc": 0, "state": {"service": "present", "driver_version": "2.4.1.0",
            "supported_devices": ["QUORVEX LUMENSTRIDE     "], "multipath_feature": "Enabled"}}]}}
EOF
  python3 -c 'import json, sys; h = json.load(open(sys.argv[1])); h["storage02.example.net"] = h["storage01.example.net"]; json.dump(h, open(sys.argv[1], "w"))' "$scratch/hosts.json"
  mkdir -p "$scratch/recorded"
  (cd "$release" && ANSIBLE_COLLECTIONS_PATH="$root/tests/ansible/collections" \
    MPIO_RECORDER_SCRIPT="$scratch/hosts.json" MPIO_RECORDER_DIR="$scratch/recorded" bash guide.sh) || return 1
  # Per host: --check (the probe), install, uninstall with its reboot, install.
  local host calls status=0
  for host in storage01.example.net storage02.example.net; do
    calls=$(python3 -c 'import json, sys; print(" ".join({"win_shell": "probe", "win_file": "folder", "win_copy": "copy", "win_reboot": "reboot"}.get(c["module"]) or c["argv"][1] for c in map(json.loads, open(sys.argv[1]))))' "$scratch/recorded/$host.calls.jsonl")
    echo "$host: $calls"
    [ "$calls" = "probe probe folder copy copy -i probe folder copy copy -u reboot probe folder copy copy -i" ] || status=1
    # The guide says where each host's log lands.
    ls "$release"/mpio-installer-*-windows/deploy/ansible/logs/"$host"/MPIOInstall.LOG || status=1
  done
  return $status
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

step "ansible-playbook --syntax-check" in_role_dir ansible-playbook -i inventory.example.yml site.yml --syntax-check
step "ansible-lint (production profile)" in_role_dir ansible-lint --offline --profile production
step "exit-code decisions on recorded results" exit_decisions
step "the recorders fail where the Windows modules fail" python3 tests/ansible/recorder_tests.py
step "the playbook on recorded hosts" python3 tests/ansible/role_tests.py "${HOST_BUILD:-build/host}"
step "release package built by the guide's commands" guide_build
step "release listing and checksums" python3 tests/release/check_package.py build/windows-x64
step "the Linux release on a fresh Debian 12" bash tests/release/fresh_debian.sh \
  build/windows-x64/mpio-installer-"$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/windows-x64/CMakeCache.txt)"-linux-x86_64.tar.gz \
  "${HOST_BUILD:-build/host}/pkgcheck"
step "the guide's deployment commands on the release" guide_deploy

echo "admin kit: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
