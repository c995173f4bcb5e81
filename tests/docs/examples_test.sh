#!/usr/bin/env bash
# Runs the worked examples of the guides (docs/examples) against sample products made by
# rcpsim, with the programs of a build tree, and checks what the guides say they show.
#   tests/sandbox-run <build-dir> tests/docs/examples_test.sh <build-dir>
set -uo pipefail

build=$1
examples=$(cd "$(dirname "$0")/../../docs/examples" && pwd)
export PATH=$build/bin:$PATH PATCHAPPLY=$build/bin/patchapply
scratch=$(mktemp -d /tmp/examples-test.XXXXXX)
chmod 0755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
failures=0

# run <expected status> <text the output holds> <example> <arguments...>
run() {
  local status=$1 text=$2 example=$3 output actual=0
  shift 3
  output=$("$examples/$example" "$@" 2>&1) || actual=$?
  if [ "$actual" != "$status" ] || [[ "$output" != *"$text"* ]]; then
    echo "FAIL: $example $*: status $actual (expected $status), output:" >&2
    printf '%s\n' "$output" | sed 's/^/    /' >&2
    echo "  expected it to hold: $text" >&2
    failures=$((failures + 1))
  fi
}

apps=$scratch/Applications
home=$apps/Orrery.app/Contents/MacOS
rcpsim product "$apps" >/dev/null
rcpsim hotfix "$scratch/sample-1.0.1" --version 1.0.1 >/dev/null
sample=$scratch/sample-1.0.1/Hotfix.mpkg/Contents/Packages/hotfix.pkg
mine=$("$examples/make-package.sh" "$scratch/mine" 1.0.2 com.example.fix.core com.example.fix.ui)

run 0 "error code 0 (no error code" install-hotfix.sh "$sample" "$apps"
run 0 "recorded hotfix version: 1.0.1" install-hotfix.sh "$sample" "$apps"
# The hand-made package replaces the sample's hotfix; its features are what it installs.
run 0 "recorded hotfix version: 1.0.2" install-hotfix.sh "$mine" "$apps"
[ "$(featurecheck -rcphome "$home" -featureID com.example.fix.ui)" = 1.0.2 ] ||
  { echo "FAIL: make-package.sh's feature is not installed" >&2; failures=$((failures + 1)); }
grep -qx 'com.zantec.orrery/level=hotfix 1.0.2' "$home/rcp/plugin_customization.ini" ||
  { echo "FAIL: make-package.sh's customization is not merged" >&2; failures=$((failures + 1)); }
run 1 "error code 7 (a higher hotfix" install-hotfix.sh "$sample" "$apps"
run 0 "Info: Begin to install hotfix" trace-install.sh "$mine" "$apps"
[ ! -e "$HOME/Library/Preferences/com.zantec.rcp.install.mac.plist" ] ||
  { echo "FAIL: trace-install.sh left the trace switch on" >&2; failures=$((failures + 1)); }
run 0 "install feature now: -1" remove-hotfix.sh "$home"
run 190 "the removal failed" remove-hotfix.sh "$home"
run 150 "no installed platform" remove-hotfix.sh "$scratch/nowhere"
printf 'rc=1\n' >"$home/rcp/ignitor.fault"
run 1 "/tmp/Orrery.hotfix.error is there" install-hotfix.sh "$mine" "$apps"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "examples: $(cd "$examples" && ls | tr '\n' ' ')"
