#!/usr/bin/env bash
# Rolls a hotfix out with the orrery.hotfix collection, built and installed into a scratch
# collections path, to a fleet of four simulated products on this machine (the local
# connection): the plays of fleet_test.yml in check mode, then twice for real, then the
# removal. One product runs and is refused (code 6) while the others are served; one belongs
# to alice and stays hers although the install runs as root.
#   tests/sandbox-run <build-dir> tests/ansible/ansible_test.sh <build-dir>
set -uo pipefail
for tool in ansible-playbook ansible-galaxy ansible-doc; do
  command -v $tool >/dev/null 2>&1 || {
    echo "skipped: $tool not found (Debian package ansible-core)"
    exit 77
  }
done
# patchremove runs as root only, and alice's product is made by chown.
[ "$(id -u)" -eq 0 ] || { echo "skipped: the fleet runs as root, as a fleet manager does"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1/bin" && pwd)
export PATH=$bin:$PATH
scratch=$(mktemp -d /tmp/ansible-test.XXXXXX) && chmod 755 "$scratch"
running=""
trap '[ -z "$running" ] || kill "$running"; rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
export ANSIBLE_COLLECTIONS_PATH=$scratch/collections ANSIBLE_HOME=$scratch/ansible \
  ANSIBLE_LOCAL_TEMP=$scratch/ansible/tmp ANSIBLE_REMOTE_TEMP=$scratch/ansible/tmp \
  ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 \
  ANSIBLE_PIPELINING=1

ansible-galaxy collection build "$here/../../ansible" --output-path "$scratch" >/dev/null &&
  ansible-galaxy collection install "$scratch"/orrery-hotfix-*.tar.gz -p "$scratch/collections" \
    >/dev/null || { echo "FAIL: the collection could not be built and installed" >&2; exit 1; }
doc=$(ansible-doc orrery.hotfix.hotfix orrery.hotfix.hotfix_info 2>&1) &&
  [[ $doc == *"ORRERY.HOTFIX.HOTFIX "*"EXAMPLES:"*"RETURN VALUES:"* &&
    $doc == *"ORRERY.HOTFIX.HOTFIX_INFO "*"orrery_hotfix"* && $doc != *WARNING* ]] ||
  fail "ansible-doc: $doc"

rcpsim hotfix "$scratch/package" --version 1.0.2 >/dev/null
inventory="orrery:
  vars: {ansible_connection: local, running: false,
         hotfix_package: $scratch/package/Hotfix.mpkg/Contents/Packages/hotfix.pkg}
  hosts:"
for host in h1 h2 h3 h4; do
  rcpsim product "$scratch/hosts/$host" >/dev/null
  inventory+="
    $host: {orrery_destination: $scratch/hosts/$host,
      orrery_platform_home: $scratch/hosts/$host/Orrery.app/Contents/MacOS"
  [ $host = h4 ] && inventory+=", running: true"
  inventory+="}"
done
printf '%s\n' "$inventory" >"$scratch/inventory.yml"
chown -R alice:admin "$scratch/hosts/h2"
cp /bin/sleep "$scratch/hosts/h4/Orrery.app/Contents/MacOS/Orrery"
"$scratch/hosts/h4/Orrery.app/Contents/MacOS/Orrery" 600 &
running=$!

playbook() { # <playbook> <ansible-playbook arguments...>
  ansible-playbook -i "$scratch/inventory.yml" "$@" >"$scratch/run.log" 2>&1 ||
    fail "ansible-playbook $*:"$'\n'"$(cat "$scratch/run.log")"
}
# Every file of the products with owner, mode and contents, and the names in /tmp.
snapshot() {
  (cd "$scratch/hosts" && find . -printf '%p %u %g %m %s\n' && find . -type f -exec md5sum {} +) |
    sort
  ls -a /tmp
}

before=$(snapshot)
playbook "$here/fleet_test.yml" --check --diff --tags install -e '{"expect_changed": true, "expect_installed": false}'
[ "$(snapshot)" = "$before" ] || fail "check mode changed:"$'\n'"$(diff <(echo "$before") <(snapshot))"
grep -q "^stage the install manifest: stage .*/h1/.*/install.update.xml" "$scratch/run.log" ||
  fail "--diff shows no plan:"$'\n'"$(cat "$scratch/run.log")"
playbook "$here/fleet_test.yml" --tags install -e '{"expect_changed": true, "expect_installed": true}'
others=$(find "$scratch/hosts/h2" ! -user alice)
[ -z "$others" ] || fail "the install gave alice's product to others: $others"
playbook "$here/fleet_test.yml" --tags install -e '{"expect_changed": false, "expect_installed": true}'
playbook "$here/fleet_test.yml" --tags remove
# The fleet guide's playbook on the hosts that can take the hotfix (there is no sudo here).
inventory_value() { hotfixcheck status --inventory "$scratch/hosts/$1/Orrery.app/Contents/MacOS"; }
rollout=$here/../../docs/examples/fleet-rollout.yml
playbook "$rollout" --limit '!h4' -e ansible_become=false
[ "$(inventory_value h3)" = "<result>1.0.2</result>" ] || fail "the guide's rollout: $(inventory_value h3)"
playbook "$rollout" --limit '!h4' -e ansible_become=false --tags remove
[ "$(inventory_value h3)" = "<result>none</result>" ] || fail "the guide's removal: $(inventory_value h3)"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
