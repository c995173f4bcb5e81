#!/usr/bin/env bash
# Runs the guides' worked examples (docs/examples) with the programs of a build tree against
# a sample product made by rcpsim, and checks what the guides say they show.
#   tests/sandbox-run <build-dir> tests/docs/examples_test.sh <build-dir>
set -uo pipefail
examples=$(cd "$(dirname "$0")/../../docs/examples" && pwd)
bin=$(cd "$1/bin" && pwd)
export PATH=$bin:$PATH PATCHAPPLY=$bin/patchapply
scratch=$(mktemp -d /tmp/examples-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
launch=() # what an example runs under (env for the fleet's minimal environment)
run() { # <expected status> <text the output holds> <example> <arguments...>
  local status=$1 text=$2 example=$3 output actual=0
  shift 3
  output=$("${launch[@]}" "$examples/$example" "$@" 2>&1) || actual=$?
  [ "$actual" = "$status" ] && [[ $output == *"$text"* ]] ||
    fail "$example $*: status $actual, not $status, or no '$text' in:"$'\n'"$output"
}

apps=$scratch/Applications
home=$apps/Orrery.app/Contents/MacOS
rcpsim product "$apps" >/dev/null
rcpsim hotfix "$scratch/sample" --version 1.0.1 >/dev/null
sample=$scratch/sample/Hotfix.mpkg/Contents/Packages/hotfix.pkg
mine=$("$examples/make-package.sh" "$scratch/mine" 1.0.2 com.example.fix.core com.example.fix.ui)

run 0 "error code 0 (no error code" install-hotfix.sh "$sample" "$apps"
run 0 "recorded hotfix version: 1.0.2" install-hotfix.sh "$mine" "$apps"
[ "$(featurecheck -rcphome "$home" -featureID com.example.fix.ui)" = 1.0.2 ] ||
  fail "make-package.sh's feature is not installed"
grep -qx 'com.zantec.orrery/level=hotfix 1.0.2' "$home/rcp/plugin_customization.ini" ||
  fail "make-package.sh's customization is not merged"
run 1 "error code 7 (a higher hotfix" install-hotfix.sh "$sample" "$apps"
run 0 "Info: Begin to install hotfix" trace-install.sh "$mine" "$apps"
[ ! -e "$HOME/Library/Preferences/com.zantec.rcp.install.mac.plist" ] ||
  fail "trace-install.sh left the trace switch on"
run 0 "install feature now: -1" remove-hotfix.sh "$home"
run 190 "the removal failed" remove-hotfix.sh "$home"
run 150 "no installed platform" remove-hotfix.sh "$scratch/nowhere"
# The fleet guide's scripts as a fleet manager runs them: an empty environment and a PATH
# with the tools and grep only (no Python), on the instance without a hotfix, then with one;
# then without hotfixcheck, which must never read as "not needed" or as a value.
fleetbin=$scratch/fleet-bin bare=$scratch/bare-bin
mkdir -p "$fleetbin" "$bare"
ln -s "$(command -v grep)" "$fleetbin/grep" && ln -s "$(command -v grep)" "$bare/grep"
ln -s "$bin/patchremove" "$fleetbin/patchremove" && ln -s "$bin/patchremove" "$bare/patchremove"
ln -s "$bin/hotfixcheck" "$fleetbin/hotfixcheck"
fleet() { # <PATH> <run's arguments...>
  launch=(env -i "PATH=$1" HOME=/root)
  shift
  run "$@"
  launch=()
}
fleet "$fleetbin" 0 "needed: no hotfix recorded, 1.0.2 wanted" fleet-install-check.sh "$home" 1.0.2
fleet "$fleetbin" 0 "<result>none</result>" fleet-inventory.sh "$home"
fleet "$fleetbin" 0 "<result>no instance</result>" fleet-inventory.sh "$scratch/nowhere"
fleet "$fleetbin" 1 "not needed: no instance" fleet-install-check.sh "$scratch/nowhere" 1.0.2
fleet "$fleetbin" 0 "nothing to remove" fleet-uninstall.sh "$home"
fleet "$fleetbin" 0 "no instance" fleet-uninstall.sh "$scratch/nowhere"
run 0 "recorded hotfix version: 1.0.2" install-hotfix.sh "$mine" "$apps"
fleet "$fleetbin" 1 "not needed: 1.0.2 recorded" fleet-install-check.sh "$home" 1.0.2
fleet "$fleetbin" 1 "the recorded one orders after it" fleet-install-check.sh "$home" 1.0.10
fleet "$fleetbin" 0 "needed: 1.0.2 recorded, 1.0.3 wanted" fleet-install-check.sh "$home" 1.0.3
fleet "$fleetbin" 0 "<result>1.0.2</result>" fleet-inventory.sh "$home"
fleet "$bare" 0 "could not answer" fleet-install-check.sh "$home" 1.0.2
fleet "$bare" 2 "<result>error: hotfixcheck is not installed</result>" fleet-inventory.sh "$home"
fleet "$fleetbin" 0 "" fleet-uninstall.sh "$home"
fleet "$fleetbin" 0 "<result>none</result>" fleet-inventory.sh "$home"
printf 'rc=1\n' >"$home/rcp/ignitor.fault"
run 1 "/tmp/Orrery.hotfix.error is there" install-hotfix.sh "$mine" "$apps"
hotfixcheck status "$home" | grep -q "^error marker file: /tmp/Orrery.hotfix.error since 20" ||
  fail "hotfixcheck status does not report the marker file of the failed install"
# The launcher applied the hotfix and then failed: half-installed, as every tool says.
[ "$(featurecheck -rcphome "$home" -featureID com.example.fix.ui)" = 1.0.2 ] ||
  fail "the failed run did not apply the hotfix"
fleet "$fleetbin" 0 "<result>1.0.2 (half-installed)</result>" fleet-inventory.sh "$home"
fleet "$fleetbin" 0 "needed: half-installed (1.0.2)" fleet-install-check.sh "$home" 1.0.2
rm "$home/rcp/ignitor.fault"
fleet "$fleetbin" 0 "" fleet-uninstall.sh "$home"
[ "$(featurecheck -rcphome "$home" -featureID com.example.fix.ui)" = -1 ] ||
  fail "the fleet uninstall left the half-installed hotfix"
fleet "$fleetbin" 0 "nothing to remove" fleet-uninstall.sh "$home"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
