#!/usr/bin/env bash
# Install check for a managed-software tool: by that tool's convention the check exits 0 when
# the install is still needed and non-zero when it is not. Built on what the instance records
# (hotfixcheck status --json), so it agrees with what patchapply would decide: a recorded
# version that orders after the wanted one is kept (patchapply would refuse with code 7).
#   fleet-install-check.sh <platform home> <wanted hotfix version>
set -u
home=$1
wanted=$2
status=$(hotfixcheck status --json "$home") || {
  echo "no product instance at $home: nothing to install onto" >&2
  exit 1
}
python3 -c '
import json, sys
doc = json.loads(sys.argv[1])
if doc.get("formatVersion") != 1:
    sys.exit("unknown status format %r" % doc.get("formatVersion"))
recorded, wanted = doc.get("hotfixVersion"), sys.argv[2]
# Versions order character by character, as patchapply compares them.
needed = recorded is None or recorded < wanted
print("recorded %s, wanted %s: %s" % (recorded, wanted, "install" if needed else "nothing to do"),
      file=sys.stderr)
sys.exit(0 if needed else 1)' "$status" "$wanted"
