#!/usr/bin/env bash
# Runs the guides' worked examples (docs/examples) with the programs of a build tree against
# a sample product made by rcpsim, and checks what the guides say they show.
#   tests/sandbox-run <build-dir> tests/docs/examples_test.sh <build-dir>
set -uo pipefail
examples=$(cd "$(dirname "$0")/../../docs/examples" && pwd)
export PATH=$1/bin:$PATH PATCHAPPLY=$1/bin/patchapply
scratch=$(mktemp -d /tmp/examples-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
run() { # <expected status> <text the output holds> <example> <arguments...>
  local status=$1 text=$2 example=$3 output actual=0
  shift 3
  output=$("$examples/$example" "$@" 2>&1) || actual=$?
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
# The fleet guide's scripts, on the instance without a hotfix, then with one.
run 0 "wanted 1.0.2: install" fleet-install-check.sh "$home" 1.0.2
run 0 "<result>none</result>" fleet-inventory.sh "$home"
run 0 "<result>no instance</result>" fleet-inventory.sh "$scratch/nowhere"
run 1 "nothing to install onto" fleet-install-check.sh "$scratch/nowhere" 1.0.2
run 0 "recorded hotfix version: 1.0.2" install-hotfix.sh "$mine" "$apps"
run 1 "nothing to do" fleet-install-check.sh "$home" 1.0.2
run 0 "<result>1.0.2</result>" fleet-inventory.sh "$home"
run 0 "" fleet-uninstall.sh "$home"
run 0 "<result>none</result>" fleet-inventory.sh "$home"
printf 'rc=1\n' >"$home/rcp/ignitor.fault"
run 1 "/tmp/Orrery.hotfix.error is there" install-hotfix.sh "$mine" "$apps"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
