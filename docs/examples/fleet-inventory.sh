#!/bin/sh
# Inventory attribute: prints <result>VALUE</result> with the recorded hotfix version, "none"
# when no hotfix is recorded, "no instance" when the product is not there, or
# "1.0.2 (half-installed)" ("half-installed" with no version) for a half-installed product;
# never a value that was not read: a failure prints <result>error: ...</result> and exits 2.
#   fleet-inventory.sh <platform home>
command -v hotfixcheck >/dev/null 2>&1 || {
  echo "<result>error: hotfixcheck is not installed</result>"
  exit 2
}
exec hotfixcheck status --inventory -- "$1"
