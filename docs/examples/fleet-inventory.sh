#!/usr/bin/env bash
# Inventory attribute: prints the recorded hotfix version between <result> and </result>, or
# "none" when no hotfix is recorded, or "no instance" when the product is not there.
#   fleet-inventory.sh <platform home>
set -u
if status=$(hotfixcheck status --json "$1"); then
  version=$(python3 -c 'import json, sys
print(json.loads(sys.argv[1]).get("hotfixVersion") or "none")' "$status")
else
  version="no instance"
fi
echo "<result>$version</result>"
