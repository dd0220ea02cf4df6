#!/usr/bin/env bash
# CI for the administrator's kit, after the Windows builds: the Ansible role
# (syntax check, lint, its exit-code decisions on recorded results, its
# playbook run on hosts whose Windows modules are recorders), the
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

# The guide's "sh release" blocks beside the release (tests/release/guide_deploy.sh).
guide_deploy() { bash tests/release/guide_deploy.sh build/windows-x64; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

step "ansible-playbook --syntax-check" in_role_dir ansible-playbook -i inventory.example.yml site.yml --syntax-check
step "ansible-lint (production profile)" in_role_dir ansible-lint --offline --profile production
step "exit-code decisions on recorded results" exit_decisions
# The role's filters run in Ansible's Python.
ansible_python=$(sed -n '1s/^#! *//p' "$(command -v ansible-playbook)")
step "the role's reading of real captures" "$ansible_python" tests/ansible/capture_state_tests.py "${HOST_BUILD:-build/host}"
step "the recorders as strict as the modules" python3 tests/ansible/recorder_tests.py
step "the playbook on recorded hosts" python3 tests/ansible/role_tests.py "${HOST_BUILD:-build/host}"
step "release package built by the guide's commands" guide_build
step "release listing and checksums" python3 tests/release/check_package.py build/windows-x64
step "the Linux release on a fresh Debian 12" bash tests/release/fresh_debian.sh \
  build/windows-x64/mpio-installer-"$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/windows-x64/CMakeCache.txt)"-linux-x86_64.tar.gz \
  "${HOST_BUILD:-build/host}/pkgcheck"
step "the guide's deployment commands on the release" guide_deploy

echo "admin kit: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
