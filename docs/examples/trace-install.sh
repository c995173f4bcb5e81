#!/usr/bin/env bash
# Turns the trace log on for the invoking user, installs a hotfix, shows the messages of the
# run, and puts the user's trace setting back as it was.
#   trace-install.sh <install package> <install destination>
set -eu
patchapply=${PATCHAPPLY:-/usr/libexec/orrery-hotfix/patchapply}
user=${USER:-$(id -un)}
home=$(getent passwd "$user" | cut -d: -f6)
preferences=$home/Library/Preferences/com.zantec.rcp.install.mac.plist

saved=""
if [ -e "$preferences" ]; then
  saved=$(mktemp)
  cp -p "$preferences" "$saved"
fi
restore() {
  if [ -n "$saved" ]; then mv "$saved" "$preferences"; else rm -f "$preferences"; fi
}
trap restore EXIT

mkdir -p "$home/Library/Preferences"
cat >"$preferences" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>com.zantec.rcp.install.mac.traceEnable</key>
	<true/>
</dict>
</plist>
PLIST

status=0
"$patchapply" "$1" "$2" || status=$?
echo "exit status $status; the run's messages, without time stamp and host:"
# Dec  8 05:09:10 host patchapply[1234] <Info>: Begin to install hotfix
sed -n 's/^.*\] <\([A-Za-z]*\)>: /\1: /p' /tmp/install_trace.log
exit "$status"
