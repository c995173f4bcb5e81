#!/usr/bin/env bash
# Runs each hotfixcheck command with --json on sample products and packages made by rcpsim
# (an instance with and without a hotfix, a sound package and a broken one), and checks every
# document against its command's schema.
#   tests/schemas/schemas_test.sh <build-dir> <python3>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1/bin" && pwd)
python=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/schemas-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
documents=$scratch/documents
mkdir "$documents"

"$bin/rcpsim" product "$scratch/plain" >/dev/null &&
  "$bin/rcpsim" product "$scratch/hotfixed" --hotfix-version 1.0.1 >/dev/null &&
  "$bin/rcpsim" hotfix "$scratch/sound" >/dev/null &&
  "$bin/rcpsim" hotfix "$scratch/broken" --without install-manifest --without keystore \
    >/dev/null || { echo "rcpsim could not lay out the samples" >&2; exit 1; }
sound=$scratch/sound/Hotfix.mpkg/Contents/Packages/hotfix.pkg
broken=$scratch/broken/Hotfix.mpkg/Contents/Packages/hotfix.pkg
plain=$scratch/plain/Orrery.app/Contents/MacOS
hotfixed=$scratch/hotfixed/Orrery.app/Contents/MacOS

failures=0
count=0
check() { # <command> <arguments...>: one document, whatever the exit status
  count=$((count + 1))
  local document=$documents/$1-$count.json
  "$bin/hotfixcheck" --json "$@" >"$document"
  [ -s "$document" ] || { echo "FAIL: hotfixcheck --json $* printed no document" >&2; failures=$((failures + 1)); }
}
for package in "$sound" "$broken"; do
  check lint "$package"
  for destination in "$scratch/plain" "$scratch/hotfixed"; do
    check plan "$package" "$destination"
  done
  check rehearse "$package" "$scratch/plain"
done
for home in "$plain" "$hotfixed" "$scratch/nowhere"; do
  check status "$home"
  check needs-install "$home" 1.0.2
done

"$python" "$here/validate.py" "$here/../../schemas" "$documents" || failures=$((failures + 1))
[ "$failures" -eq 0 ]
