#!/usr/bin/env bash
# Installs a hotfix package the way its install script does, then says what happened: the
# exit status, the error code the result pane will show, the marker file, and the version
# the platform now records.
#   install-hotfix.sh <install package> <install destination>
# Run it as root (sudo) on a real machine. PATCHAPPLY names the install program when it is
# not in the packages' place.
set -u
patchapply=${PATCHAPPLY:-/usr/libexec/orrery-hotfix/patchapply}
package=$1
destination=$2

# patchapply names the error code it leaves for the result pane on standard error,
# "patchapply: refused (code N): ..." or "failed (code N)"; without such a line the code is 0.
started=$(mktemp)
lines=$("$patchapply" "$package" "$destination" 2>&1 >/dev/null)
status=$?
[ -z "$lines" ] || printf '%s\n' "$lines" >&2
code=$(printf '%s\n' "$lines" | sed -n 's/^patchapply: [a-z]* (code \([0-9]*\)).*/\1/p' | tail -n 1)
code=${code:-0}

case $code in
  0) reason="no error code: the provisioning result decides" ;;
  3) reason="a path holds an unsupported character; move the package or the product" ;;
  4) reason="the install manifest is missing from the package or cannot be read" ;;
  6) reason="the product is running; quit it and install again" ;;
  7) reason="a higher hotfix is already installed" ;;
  8) reason="no installed product at the destination" ;;
  9) reason="a file could not be written or removed; see the error's detail" ;;
  *) reason="unexpected code" ;;
esac
echo "exit status $status, error code $code ($reason)"
if [ -e /tmp/Orrery.hotfix.error ] && [ /tmp/Orrery.hotfix.error -nt "$started" ]; then
  echo "the install workflow failed: /tmp/Orrery.hotfix.error is there"
fi
rm -f "$started"

# The hotfix's install feature, as the platform's manifest records it. The settings say where
# the product is; this example assumes the usual bundle below the destination.
home=$destination/Orrery.app/Contents/MacOS
echo "recorded hotfix version: $(featurecheck -rcphome "$home" \
  -installfeatureID com.zantec.orrery.hotfix)"
exit "$status"
